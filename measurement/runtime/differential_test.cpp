// Where the runtime agrees with ECMAScript (arithmetic, bitwise operators, number text, slice,
// substring, indexOf, lastIndexOf, split, join, splice), generated expressions must give the same
// text as MuJS and Duktape.
#include <duktape.h>
#include <gtest/gtest.h>
#include <mujs.h>

#include <random>
#include <string>

#include "measurement/runtime/test_support.h"

namespace measurement::runtime {
namespace {

struct Case {
  std::string asm_;
  std::string js;
};

class Generator {
 public:
  explicit Generator(uint64_t seed) : random_(seed) {}

  Case number(int depth) {
    if (depth == 0 || pick(3) == 0) {
      static const char* const kLeaves[] = {"0",   "1",  "-1",   "2.5",        "-0.5",
                                            "3",   "7",  "1e21", "1.5e-7",     "4294967295",
                                            "0.1", "-8", "31",   "2147483648", "123456.789"};
      std::string leaf = kLeaves[pick(std::size(kLeaves))];
      return {leaf, "(" + leaf + ")"};
    }
    static const std::pair<const char*, const char*> kOperators[] = {
        {"0", "+"},  {"37", "-"}, {"26", "*"},  {"10", "/"},  {"25", "%"},  {"56", "&"},
        {"59", "|"}, {"62", "^"}, {"57", "<<"}, {"60", ">>"}, {"61", ">>>"}};
    auto [opcode, op] = kOperators[pick(std::size(kOperators))];
    Case a = number(depth - 1);
    Case b = number(depth - 1);
    return {"(\"" + std::string(opcode) + "\" " + a.asm_ + " " + b.asm_ + ")",
            "(" + a.js + " " + op + " " + b.js + ")"};
  }

  std::string index() {
    static const char* const kIndices[] = {"-7", "-2", "0", "1", "3", "10", "2.7", "-0.5"};
    return kIndices[pick(std::size(kIndices))];
  }

  Case stringMethod() {
    static const char* const kReceivers[] = {"abcabc", "a,b,,c", "", "bcb"};
    std::string receiver = kReceivers[pick(std::size(kReceivers))];
    std::string quoted = "\"" + receiver + "\"";
    switch (pick(5)) {
      case 0:
      case 1: {
        const char* name = pick(2) ? "slice" : "substring";
        std::string a = index();
        std::string b = index();
        return {"(\"2\" " + quoted + " \"" + name + "\" (\"46\" " + a + " " + b + "))",
                "'" + receiver + "'." + name + "(" + a + "," + b + ")"};
      }
      case 2: {
        static const char* const kNeedles[] = {"a", "bc", "c", "x", ","};
        std::string needle = kNeedles[pick(std::size(kNeedles))];
        std::string from = index();
        const char* name = pick(2) ? "indexOf" : "lastIndexOf";
        return {"(\"2\" " + quoted + " \"" + name + "\" (\"46\" \"" + needle + "\" " + from + "))",
                "'" + receiver + "'." + name + "('" + needle + "'," + from + ")"};
      }
      default: {
        static const char* const kSeparators[] = {",", "b", ""};
        std::string separator = kSeparators[pick(std::size(kSeparators))];
        std::string limit = std::to_string(pick(4));
        return {"(\"2\" (\"2\" " + quoted + " \"split\" (\"46\" \"" + separator + "\" " + limit +
                    ")) \"join\" (\"46\" \"|\"))",
                "'" + receiver + "'.split('" + separator + "'," + limit + ").join('|')"};
      }
    }
  }

  Case arrayMethod() {
    std::string a = index();
    std::string b = index();
    switch (pick(3)) {
      case 0:
        return {
            R"(("41" "a" "r") ("3" "a" ("7" 1 2 3 4)) ("3" "r" ("2" ("15" "a") "splice" ("46" )" +
                a + " " + b +
                R"( "x"))) ("0" ("0" ("2" ("15" "r") "join" ("46" "|")) "/") ("2" ("15" "a") "join" ("46" "|"))))",
            "(function(){var a=[1,2,3,4];var r=a.splice(" + a + "," + b +
                ",'x');return r.join('|')+'/'+a.join('|');})()"};
      case 1:
        return {
            R"(("2" ("2" ("7" 1 2 3 4) "slice" ("46" )" + a + " " + b + R"()) "join" ("46" "|")))",
            "[1,2,3,4].slice(" + a + "," + b + ").join('|')"};
      default: {
        const char* name = pick(2) ? "indexOf" : "lastIndexOf";
        return {"(\"2\" (\"7\" 1 2 1 3) \"" + std::string(name) + "\" (\"46\" 1 " + a + "))",
                "[1,2,1,3]." + std::string(name) + "(1," + a + ")"};
      }
    }
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
  std::mt19937_64 random_;
};

// One interpreter of each engine for the whole run.
class Engines {
 public:
  Engines() : mujs_(js_newstate(nullptr, nullptr, 0)), duktape_(duk_create_heap_default()) {}
  ~Engines() {
    js_freestate(mujs_);
    duk_destroy_heap(duktape_);
  }

  std::string mujs(const std::string& expression) {
    std::string source = "var __result = String(" + expression + ");";
    if (js_dostring(mujs_, source.c_str()) != 0) return "mujs failed";
    js_getglobal(mujs_, "__result");
    std::string result = js_tostring(mujs_, -1);
    js_pop(mujs_, 1);
    return result;
  }

  std::string duktape(const std::string& expression) {
    std::string source = "String(" + expression + ")";
    std::string result = "duktape failed";
    if (duk_peval_string(duktape_, source.c_str()) == 0) result = duk_safe_to_string(duktape_, -1);
    duk_pop(duktape_);
    return result;
  }

 private:
  js_State* mujs_;
  duk_context* duktape_;
};

std::string ours(const std::string& program) {
  std::string described = testing::run(program);
  // Strings are described quoted; the engines print bare text.
  if (described.size() >= 2 && described.front() == '\'') {
    return described.substr(1, described.size() - 2);
  }
  return described;
}

TEST(DifferentialTest, AgreesWithMuJSAndDuktape) {
  Generator generator(2026);
  Engines engines;
  int compared = 0;
  for (int i = 0; i < 600; ++i) {
    Case c = i % 3 == 0   ? generator.number(3)
             : i % 3 == 1 ? generator.stringMethod()
                          : generator.arrayMethod();
    std::string expected = engines.mujs(c.js);
    // The engines differ in a few corners ("abc".slice(10, 1) in MuJS); only their common answer
    // is a reference.
    if (expected != engines.duktape(c.js)) continue;
    ++compared;
    EXPECT_EQ(ours(c.asm_), expected) << c.asm_ << "\n" << c.js;
  }
  EXPECT_GT(compared, 550);
}

}  // namespace
}  // namespace measurement::runtime
