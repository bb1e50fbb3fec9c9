// String and array methods.
#include <gtest/gtest.h>

#include "measurement/runtime/test_support.h"

namespace measurement::runtime {
namespace {

using testing::Row;
using testing::run;

// ("2" receiver "method" ("46" arguments...)) as text.
std::string method(std::string_view receiver, std::string_view name,
                   std::string_view arguments = "") {
  return "(\"2\" " + std::string(receiver) + " \"" + std::string(name) + "\" (\"46\" " +
         std::string(arguments) + "))";
}

struct MethodRow {
  std::string receiver;
  std::string name;
  std::string arguments;
  std::string expected;
};

void expectMethods(std::initializer_list<MethodRow> rows) {
  for (const MethodRow& row : rows) {
    std::string program = method(row.receiver, row.name, row.arguments);
    EXPECT_EQ(run(program), row.expected) << program;
  }
}

TEST(StringMethodsTest, Table) {
  expectMethods({
      {"\"abc\"", "charAt", "5", "''"},
      {"\"abc\"", "charAt", "-1", "''"},
      {"\"abc\"", "charAt", "Infinity", "''"},
      {"\"abc\"", "charAt", "NaN", "'a'"},
      {"\"abc\"", "charAt", "", "'a'"},
      {"\"abc\"", "charAt", "1 2", "error 9"},
      {"\"ab\"", "concat", "1 (\"45\")", "'ab1null'"},
      {"\"abc\"", "hasOwnProperty", "\"length\"", "true"},
      {"\"abc\"", "hasOwnProperty", "2", "true"},
      {"\"abc\"", "hasOwnProperty", "3", "false"},
      {"\"abc\"", "hasOwnProperty", "1.5", "false"},
      {"\"abc\"", "hasOwnProperty", "\"x\"", "false"},
      {"\"abcabc\"", "indexOf", "\"c\" 3", "5"},
      {"\"abc\"", "indexOf", "\"\"", "-1"},
      {"\"a undefined\"", "indexOf", "", "2"},
      {"\"abcabc\"", "lastIndexOf", "\"abc\" 2", "0"},
      {"\"abcabc\"", "lastIndexOf", "\"abc\"", "3"},
      {"\"abcabc\"", "lastIndexOf", "\"abc\" NaN", "3"},
      {"\"aXbX\"", "replace", "\"X\" \"-\"", "'a-bX'"},
      {"\"abc\"", "replace", "\"z\" \"-\"", "'abc'"},
      {"\"abc\"", "replace", "\"\" \"-\"", "'-abc'"},
      {"\"abc\"", "replace", "\"b\"", "'aundefinedc'"},
      {"\"abc\"", "replace", "\"b\" \"$&\"", "'a$&c'"},
      {"\"abc\"", "replace",
       "\"b\" (\"51\" \"f\" (\"7\" \"m\" \"i\" \"s\") (\"0\" (\"15\" \"m\") (\"15\" \"i\")))",
       "'ab1c'"},
      {"\"a1b22\"", "match", "\"[0-9]+\"", "['1']"},
      {"\"abc\"", "match", "\"x\"", "null"},
      {"\"abc\"", "match", "\"\"", "['']"},
      {"\"abc\"", "match", "\"(\"", "NSCocoaErrorDomain 2048"},
      {"\"a1\"", "search", "\"[0-9]\"", "1"},
      {"\"abc\"", "search", "\"\"", "0"},
      {"\"abcdef\"", "slice", "-2", "'ef'"},
      {"\"abcdef\"", "slice", "2 -1", "'cde'"},
      {"\"abcdef\"", "slice", "4 2", "''"},
      {"\"a,b,,c\"", "split", "\",\"", "['a','b','','c']"},
      {"\"a,b,,c\"", "split", "\",\" 2", "['a','b']"},
      {"\"a,b,,c\"", "split", "\",\" 0", "[]"},
      {"\"abc\"", "split", "\"\"", "['a','b','c']"},
      {"\"\"", "split", "\",\"", "['']"},
      {"\"abc\"", "split", "", "['abc']"},
      {"\"abcdef\"", "substring", "4 1", "'bcd'"},
      {"\"abcdef\"", "substring", "-3", "'abcdef'"},
      {"\"abcdef\"", "substring", "0 Infinity", "'abcdef'"},
      {"\"abcdef\"", "substring", "Infinity", "''"},
      {"\"Stra\\u00dfe\"", "toUpperCase", "", "'STRASSE'"},
      {"\"\\u0130\"", "toLowerCase", "", "'i\xcc\x87'"},
      {"\"  x \\n\"", "trim", "", "'x'"},
      {"\"abc\"", "toString", "1", "error 9"},
      {"\"abc\"", "nope", "(\"3\" \"undeclared\" 1)", "error 17"},
  });
}

TEST(ArrayMethodsTest, Table) {
  const std::string a123 = "(\"7\" 1 2 3)";
  expectMethods({
      {"(\"7\" 1 2)", "concat", "3 (\"7\" 4 (\"7\" 5))", "[1,2,3,4,[5]]"},
      {"(\"7\")", "every", "(\"51\" \"f\" (\"7\") false)", "true"},
      {"(\"7\")", "some", "(\"51\" \"f\" (\"7\") true)", "false"},
      {"(\"7\")", "every", "(\"51\" \"f\" (\"7\")) 1", "error 9"},
      {"(\"7\")", "every", "1", "error 10"},
      {a123, "every", "(\"51\" \"f\" (\"7\" \"x\") (\"23\" (\"15\" \"x\") 3))", "false"},
      {a123, "some", "(\"51\" \"f\" (\"7\" \"x\") (\"20\" (\"15\" \"x\") 3))", "true"},
      {a123, "filter", "(\"51\" \"f\" (\"7\" \"x\" \"i\") (\"18\" (\"15\" \"i\") 0))", "[2,3]"},
      {a123, "map", "(\"51\" \"f\" (\"7\" \"x\") (\"26\" (\"15\" \"x\") 2))", "[2,4,6]"},
      {a123, "forEach", "(\"51\" \"f\" (\"7\" \"x\") 1)", "undefined"},
      {a123, "indexOf", "2 -1", "-1"},
      {a123, "indexOf", "3 -1", "2"},
      {"(\"7\" 1)", "indexOf", "1 5", "-1"},
      {"(\"7\" 1)", "indexOf", "\"1\"", "-1"},
      {"(\"7\" 1 2 1)", "lastIndexOf", "1", "2"},
      {"(\"7\" 1 2 1)", "lastIndexOf", "1 -2", "0"},
      {"(\"7\" 1 2 1)", "lastIndexOf", "1 -4", "-1"},
      {"(\"7\" 1 2)", "join", "", "'1,2'"},
      {"(\"7\" 1 2)", "join", "(\"44\")", "'12'"},
      {"(\"7\" 1 2)", "join", "(\"45\")", "'12'"},
      {"(\"7\" 1 2)", "join", "\"-\"", "'1-2'"},
      {"(\"7\")", "pop", "", "undefined"},
      {"(\"7\")", "shift", "", "undefined"},
      {"(\"7\" 1)", "push", "4 5", "3"},
      {"(\"7\")", "reduce", "(\"51\" \"f\" (\"7\" \"a\" \"b\") 0)", "error 8"},
      {"(\"7\")", "reduce", "(\"51\" \"f\" (\"7\" \"a\" \"b\") 0) 7", "7"},
      {a123, "reduceRight",
       "(\"51\" \"f\" (\"7\" \"a\" \"b\") (\"37\" (\"15\" \"a\") (\"15\" \"b\")))", "0"},
      {a123, "reduce", "(\"51\" \"f\" (\"7\" \"a\" \"b\") (\"0\" (\"15\" \"a\") (\"15\" \"b\")))",
       "6"},
      {"(\"7\" 1 2 3 4)", "slice", "-2", "[3,4]"},
      {"(\"7\" 1 2 3 4)", "slice", "2 1", "[]"},
      {"(\"7\" 1 2)", "slice", "", "[1,2]"},
      {"(\"7\" 10 9 1)", "sort", "", "[1,10,9]"},
      {"(\"7\" 10 9 1)", "sort",
       "(\"51\" \"f\" (\"7\" \"a\" \"b\") (\"37\" (\"15\" \"a\") (\"15\" \"b\")))", "[1,9,10]"},
      {"(\"7\" 3 (\"44\") 1)", "sort", "", "[1,3,undefined]"},
      {"(\"7\" 5)", "sort", "7", "[5]"},
      {"(\"7\" 5 6)", "sort", "7", "error 10"},
      {"(\"7\" 1 2 3 4)", "splice", "1 2 \"a\"", "[2,3]"},
      {"(\"7\" 1 2 3 4)", "splice", "-1", "[4]"},
      {"(\"7\" 1 2 3 4)", "splice", "", "[]"},
      {"(\"7\" 1 2 3 4)", "splice", "Infinity", "[]"},
      {"(\"7\" 1 2)", "reverse", "", "[2,1]"},
      {"(\"7\" 1 2)", "toString", "", "'1,2'"},
      {"(\"7\" 1 2)", "hasOwnProperty", "\"length\"", "true"},
      {"(\"7\" 1 2)", "hasOwnProperty", "1", "true"},
      {"(\"7\" 1 2)", "nope", "(\"3\" \"undeclared\" 1)", "error 17"},
  });
}

TEST(ArrayMethodsTest, MutationsAndCallbacksThatChangeTheArray) {
  const Row rows[] = {
      {R"(("41" "a") ("3" "a" ("7" 1)) ("2" ("15" "a") "push" ("46" 4 5)) ("15" "a"))", "[1,4,5]"},
      {R"(("41" "a") ("3" "a" ("7" 1)) ("2" ("15" "a") "unshift" ("46" 4 5)) ("15" "a"))",
       "[4,5,1]"},
      {R"(("41" "a") ("3" "a" ("7" 1 2 3 4)) ("2" ("15" "a") "splice" ("46" 1 2 "a")) ("15" "a"))",
       "[1,'a',4]"},
      // A forEach that pushes does not see the new elements; one that shrinks the array skips.
      {R"(("41" "a" "n") ("3" "a" ("7" 1 2)) ("3" "n" 0)
          ("2" ("15" "a") "forEach" ("46" ("51" "f" ("7" "x")
              ("3" "n" ("0" ("15" "n") 1)) ("2" ("15" "a") "push" ("46" 9)))))
          ("15" "n"))",
       "2"},
      {R"(("41" "a" "n") ("3" "a" ("7" 1 2 3)) ("3" "n" 0)
          ("2" ("15" "a") "forEach" ("46" ("51" "f" ("7" "x")
              ("3" "n" ("0" ("15" "n") 1)) ("2" ("15" "a") "pop" ("46")))))
          ("15" "n"))",
       "2"},
      // A comparison that empties the array cannot make the sort read out of bounds.
      {R"(("41" "a") ("3" "a" ("7" 3 1 2))
          ("2" ("15" "a") "sort" ("46" ("51" "f" ("7" "x" "y")
              ("43" ("15" "a") "length" 0) ("37" ("15" "x") ("15" "y")))))
          ("15" "a"))",
       "[1,2,3]"},
      // Holes leave through shift and pop as undefined.
      {R"(("41" "a") ("3" "a" ("7")) ("43" ("15" "a") 1 5) ("7" ("2" ("15" "a") "shift" ("46"))))",
       "[undefined]"},
      {R"(("41" "a") ("3" "a" ("7")) ("43" ("15" "a") 1 5) ("2" ("15" "a") "pop" ("46"))
          ("7" ("2" ("15" "a") "pop" ("46"))))",
       "[undefined]"},
      {R"(("41" "a") ("3" "a" ("7" 2 1))
          ("2" ("15" "a") "sort" ("46" ("51" "f" ("7" "x" "y") ("3" "undeclared" 1)))))",
       "error 2"},
  };
  for (const Row& row : rows) EXPECT_EQ(run(row.program), row.expected) << row.program;
}

}  // namespace
}  // namespace measurement::runtime
