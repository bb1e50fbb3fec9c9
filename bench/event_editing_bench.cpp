// The event-editing runtime against Lua 5.4, MuJS and Duktape embedded in this process: fib(30)
// by recursion, and an edit callback that writes an event parameter 200,000 times. The step limit
// is lifted for these runs. handleEvent of a three-callback program on an installer-sized event
// shows the cost per event with the normal limits. The ratios to read are ours over theirs.
// AssignOuter/0 and /40 compare a loop over an outer variable at two nesting depths: the second
// should cost little more than the first.
#include <benchmark/benchmark.h>
#include <duktape.h>
#include <lua5.4/lauxlib.h>
#include <lua5.4/lua.h>
#include <lua5.4/lualib.h>
#include <mujs.h>

#include <limits>
#include <string>
#include <string_view>

#include "measurement/runtime/event_editing.h"
#include "measurement/runtime/pixie/pixie_asm.h"

namespace {

using measurement::EditEvent;
using measurement::runtime::APMPEventEditing;
using measurement::runtime::RuntimeLimits;

constexpr const char* kFibAsm = R"(
  ("50" "fib" ("7" "n")
     ("22" ("23" ("15" "n") 2) ("46" ("36" ("15" "n"))))
     ("36" ("0" ("fib" ("37" ("15" "n") 1)) ("fib" ("37" ("15" "n") 2)))))
  ("fib" 30))";

constexpr const char* kLoopAsm = R"(
  ("52" "register" ("require" "internal.registerCallback"))
  ("50" "rule" ("7" "o")
     ("register" 0 ("51" "cb" ("7" "e")
        ("41" "i") ("3" "i" 0)
        ("42" ("23" ("15" "i") 200000) ("3" "i" ("0" ("15" "i") 1)) false
              ("46" ("2" ("15" "e") "setParamValue" ("46" "n" ("15" "i")))))
        0)
      ("8" "type" "edit")))
  (activity "rule" ("8")))";

constexpr const char* kFibJs =
    "function fib(n) { if (n < 2) return n; return fib(n - 1) + fib(n - 2); } fib(30);";
constexpr const char* kLoopJs =
    "var e = { params: {}, setParamValue: function (k, v) { this.params[k] = v; } };"
    "for (var i = 0; i < 200000; i = i + 1) e.setParamValue('n', i);";
constexpr const char* kFibLua =
    "local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end "
    "return fib(30)";
constexpr const char* kLoopLua =
    "local e = { params = {} } function e:setParamValue(k, v) self.params[k] = v end "
    "for i = 0, 199999 do e:setParamValue('n', i) end";

RuntimeLimits unlimited() {
  RuntimeLimits limits;
  limits.instructions = std::numeric_limits<int64_t>::max();
  limits.bytesPerBudget = std::numeric_limits<size_t>::max();
  return limits;
}

EditEvent installerEvent() {
  return EditEvent{"Install_SW",
                   1.7e9,
                   {{"ea", "Launch App"},
                    {"el", "Success"},
                    {"install_trackversion", "1.0"},
                    {"install_productversion", "7.2.1"},
                    {"soft_os_version", "Debian 12"},
                    {"isPro", 0}}};
}

// Loads `text` into a fresh engine without limits on every iteration.
void loadEachTime(benchmark::State& state, std::string_view text) {
  auto program = measurement::pixie::program(text);
  for (auto _ : state) {
    APMPEventEditing editing(nullptr, unlimited());
    os::Error error;
    editing.loadProgram(program, &error);
    if (!error.domain.empty()) state.SkipWithError("the program failed");
  }
}

void BM_Ours_Fib30(benchmark::State& state) { loadEachTime(state, kFibAsm); }

void BM_Ours_Loop200k(benchmark::State& state) {
  APMPEventEditing editing(nullptr, unlimited());
  os::Error error;
  editing.loadProgram(measurement::pixie::program(kLoopAsm), &error);
  for (auto _ : state) {
    editing.handleEvent(installerEvent(), &error);
    if (!error.domain.empty()) state.SkipWithError("loop failed");
  }
}

void runLua(benchmark::State& state, const char* source) {
  for (auto _ : state) {
    lua_State* lua = luaL_newstate();
    luaL_openlibs(lua);
    if (luaL_dostring(lua, source) != 0) state.SkipWithError("lua failed");
    lua_close(lua);
  }
}

void runMujs(benchmark::State& state, const char* source) {
  for (auto _ : state) {
    js_State* js = js_newstate(nullptr, nullptr, JS_STRICT);
    if (js_dostring(js, source) != 0) state.SkipWithError("mujs failed");
    js_freestate(js);
  }
}

void runDuktape(benchmark::State& state, const char* source) {
  for (auto _ : state) {
    duk_context* duk = duk_create_heap_default();
    if (duk_peval_string(duk, source) != 0) state.SkipWithError("duktape failed");
    duk_destroy_heap(duk);
  }
}

void BM_Lua_Fib30(benchmark::State& state) { runLua(state, kFibLua); }
void BM_Lua_Loop200k(benchmark::State& state) { runLua(state, kLoopLua); }
void BM_MuJS_Fib30(benchmark::State& state) { runMujs(state, kFibJs); }
void BM_MuJS_Loop200k(benchmark::State& state) { runMujs(state, kLoopJs); }
void BM_Duktape_Fib30(benchmark::State& state) { runDuktape(state, kFibJs); }
void BM_Duktape_Loop200k(benchmark::State& state) { runDuktape(state, kLoopJs); }

// A loop that counts an outer variable up 100,000 times from inside `state.range(0)` nested
// blocks: the cost of reading and assigning a variable bound that many scopes further out.
void BM_Ours_AssignOuter(benchmark::State& state) {
  std::string program = R"(("41" "i") ("3" "i" 0) )";
  for (int64_t depth = 0; depth < state.range(0); ++depth) program += R"(("53" )";
  program += R"(("42" ("23" ("15" "i") 100000) ("3" "i" ("0" ("15" "i") 1)) false ("46")))";
  program += std::string(size_t(state.range(0)), ')');
  loadEachTime(state, program);
}

// Three callbacks: rename, rewrite a parameter, and create nothing.
void BM_Ours_HandleEvent(benchmark::State& state) {
  APMPEventEditing editing;
  os::Error error;
  editing.loadProgram(measurement::pixie::program(R"(
    ("52" "register" ("require" "internal.registerCallback"))
    ("50" "rule" ("7" "o")
      ("register" 0 ("51" "a" ("7" "e")
          ("22" ("20" ("2" ("15" "e") "getEventName" ("46")) "Install_SW")
                ("46" ("2" ("15" "e") "setEventName" ("46" "install")))) 0)
        ("8" "type" "edit"))
      ("register" 0 ("51" "b" ("7" "e")
          ("2" ("15" "e") "setParamValue" ("46" "ea" ("2" ("2" ("15" "e") "getParamValue" ("46" "ea")) "toLowerCase" ("46")))) 0)
        ("8" "type" "edit"))
      ("register" 0 ("51" "c" ("7" "e") ("16" ("2" ("15" "e") "getParams" ("46")) "el"))
        ("8" "type" "create")))
    (activity "rule" ("8")))"),
                      &error);
  EditEvent event = installerEvent();
  for (auto _ : state) {
    editing.handleEvent(event, &error);
    if (!error.domain.empty()) state.SkipWithError("handleEvent failed");
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Ours_Fib30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lua_Fib30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MuJS_Fib30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Duktape_Fib30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours_Loop200k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lua_Loop200k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MuJS_Loop200k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Duktape_Loop200k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours_HandleEvent)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Ours_AssignOuter)->Arg(0)->Arg(40)->Unit(benchmark::kMillisecond);

}  // namespace
