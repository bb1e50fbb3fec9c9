#include <gtest/gtest.h>

#include <cmath>

#include "measurement/runtime/evaluator.h"
#include "measurement/runtime/test_support.h"

namespace measurement::runtime {
namespace {

using testing::Row;
using testing::run;

void expectRows(std::initializer_list<Row> rows) {
  for (const Row& row : rows) EXPECT_EQ(run(row.program), row.expected) << row.program;
}

TEST(EvaluationTest, DispatchAndStatementLists) {
  expectRows({
      // An unknown name calls nothing and still counts one step.
      {R"(("nosuch" 1 2))", "undefined"},
      {R"(("11" 1) ("31") ("48") ("49") ("14"))", "undefined"},
      {R"(("07" 1 2))", "undefined"},
      // A break in a block stops it there; the third statement does not run.
      {R"(("41" "x") ("5" ("46" ("3" "x" 1) ("4") ("3" "x" 2))) ("15" "x"))", "1"},
      {R"(("5" ("46" 1 ("4") 3)))", "control"},
      // A failing argument stops the arguments after it.
      {R"(("41" "x") ("7" 1 ("3" "undeclared" 2) ("3" "x" 3)))", "error 2"},
      {R"((raw 0))", "error 12"},
      {R"(("7" (raw 4 1)))", "error 14"},
      {R"((raw 5))", "error 12"},
  });
}

TEST(EvaluationTest, IntegerConversions) {
  EXPECT_EQ(toInt32(3.9), 3);
  EXPECT_EQ(toInt32(-3.9), -3);
  EXPECT_EQ(toInt32(std::nan("")), 0);
  EXPECT_EQ(toInt32(4294967296.0 + 5), 5);
  EXPECT_EQ(toInt32(2147483648.0), -2147483648);
  EXPECT_EQ(toInt32(-2147483649.0), 2147483647);
  EXPECT_EQ(toInt32(3e9), -1294967296);
  EXPECT_EQ(toUint32(-1), 4294967295u);
  EXPECT_EQ(toInteger(-2.5), -2);
  EXPECT_EQ(toInteger(INFINITY), INFINITY);
  EXPECT_EQ(toInteger(std::nan("")), 0);
}

TEST(OperatorsTest, Table) {
  expectRows({
      {R"(("0" 1 "2"))", "'12'"},
      {R"(("0" 1 ("45")))", "1"},
      {R"(("0" true 1))", "2"},
      {R"(("0" ("7" 1 2) 3))", "'1,23'"},
      {R"(("0" ("8") 1))", "'[object Object]1'"},
      {R"(("0" ("44") 1))", "NaN"},
      {R"(("25" 5 0))", "NaN"},
      {R"(("25" -5 3))", "-2"},
      {R"(("25" 5 Infinity))", "5"},
      {R"(("10" 1 0))", "Infinity"},
      {R"(("10" 0 0))", "NaN"},
      {R"(("26" "3" "4"))", "12"},
      {R"(("37" "x" 1))", "NaN"},
      {R"(("10" 1 ("27" 0)))", "-Infinity"},
      {R"(("12" ("44") ("45")))", "true"},
      {R"(("12" ("44") 0))", "false"},
      {R"(("12" "1" 1))", "true"},
      {R"(("12" NaN NaN))", "false"},
      {R"(("12" ("8") "[object Object]"))", "true"},
      {R"(("12" ("7" 1) ("7" 1)))", "false"},
      {R"(("12" ("7" 1 2) "1,2"))", "true"},
      {R"(("29" 1 2))", "true"},
      {R"(("20" 1 1))", "true"},
      {R"(("20" 1 "1"))", "false"},
      {R"(("20" true 1))", "false"},
      {R"(("21" NaN NaN))", "true"},
      {R"(("23" NaN 1))", "false"},
      {R"(("19" NaN 1))", "false"},
      {R"(("18" 1 NaN))", "false"},
      {R"(("23" "10" "9"))", "true"},
      {R"(("23" "10" 9))", "false"},
      {R"(("24" 2 2))", "true"},
      {R"(("18" 3 2))", "true"},
      // The count is checked before either statement runs.
      {R"(("41" "x") ("12" ("3" "x" 1) 1 1))", "error 9"},
      {R"(("1" 0 ("3" "undeclared" 1)))", "0"},
      {R"(("1" 1 "b"))", "'b'"},
      {R"(("30" "" "b"))", "'b'"},
      {R"(("30" "a" ("3" "undeclared" 1)))", "'a'"},
      {R"(("1" 1))", "error 9"},
      {R"(("28" ""))", "true"},
      {R"(("59" 4294967295 0))", "-1"},
      {R"(("61" -1 0))", "4294967295"},
      {R"(("57" 1 32))", "1"},
      {R"(("57" 1 31))", "-2147483648"},
      {R"(("60" -8 1))", "-4"},
      {R"(("61" -8 28))", "15"},
      {R"(("56" 12 10))", "8"},
      {R"(("62" 12 10))", "6"},
      {R"(("58" 0))", "-1"},
      {R"(("34" 1 2))", "error 9"},
      {R"(("32" 1 2))", "1"},
      {R"(("35" "a"))", "'a'"},
      {R"(("0" 1))", "error 9"},
  });
}

TEST(VariablesTest, Table) {
  expectRows({
      {R"(("3" "x" 1))", "error 2"},
      {R"(("41" "x") ("3" "x" 1) ("15" "x"))", "1"},
      {R"(("52" "c" 1) ("3" "c" 2))", "2"},
      {R"(("52" "c" 1) ("3" "c" 2) ("15" "c"))", "1"},
      {R"(("52" "c" 1) ("52" "c" 2) ("15" "c"))", "1"},
      {R"(("41" "v") ("3" "v" 5) ("52" "v" 6) ("3" "v" 7) ("15" "v"))", "6"},
      {R"(("41" "x") ("3" "x" 5) ("41" "x") ("15" "x"))", "undefined"},
      {R"(("15" "nobody"))", "undefined"},
      {R"(("15" 1))", "error 10"},
      {R"(("41" "a" 1))", "error 10"},
      {R"(("41" "a" 1) ("15" "a"))", "error 10"},
      {R"(("52" "a" 1 "b"))", "error 9"},
      {R"(("8" 1 "a" "1" "b"))", "{1:'b'}"},
      {R"(("8" "a"))", "error 9"},
      {R"(("8" true 1 ("45") 2))", "{true:1,null:2}"},
      {R"(("7"))", "[]"},
      {R"(("16" "abc" "length"))", "3"},
      {R"(("16" "a\ud83d\ude00" "length"))", "3"},
      {R"(("16" "abc" 1))", "'b'"},
      {R"(("16" "abc" "1"))", "'b'"},
      {R"(("16" "abc" 3))", "undefined"},
      {R"(("16" "abc" -1))", "undefined"},
      {R"(("16" "abc" 1.5))", "undefined"},
      {R"(("16" ("45") "x"))", "undefined"},
      {R"(("17" ("44") "x"))", "undefined"},
      {R"(("16" 5 "x"))", "undefined"},
      {R"(("43" ("45") "x" 1))", "error 6"},
      {R"(("43" 5 "x" 1))", "1"},
      {R"(("41" "o") ("3" "o" ("8")) ("43" ("15" "o") 7 "v") ("16" ("15" "o") "7"))", "'v'"},
      {R"(("41" "a") ("3" "a" ("7")) ("43" ("15" "a") 2 "v") ("15" "a"))", "[<hole>,<hole>,'v']"},
      {R"(("41" "a") ("3" "a" ("7" 1 2 3)) ("43" ("15" "a") "length" 1) ("15" "a"))", "[1]"},
      {R"(("43" ("7") "length" -1))", "error 11"},
      {R"(("43" ("7") "length" 1.5))", "error 11"},
      {R"(("16" ("7" 1 2) "length"))", "2"},
      {R"(("40" ("45")))", "'object'"},
      {R"(("40" ("7")))", "'object'"},
      {R"(("40" ("15" "require")))", "'function'"},
      {R"(("40" ("44")))", "'undefined'"},
      {R"(("40" true))", "'boolean'"},
      {R"(("40" 1))", "'number'"},
      {R"(("40" "s"))", "'string'"},
      {R"(("44" ("3" "undeclared" 1)))", "error 2"},
      {R"(("45" 1 2 3))", "null"},
  });
}

TEST(ControlTest, Table) {
  expectRows({
      {R"(("4" 1))", "error 9"},
      {R"(("6" 1))", "error 9"},
      {R"(("13" 1 ("4")))", "error 10"},
      {R"(("13" 1 2))", "2"},
      {R"(("13"))", "error 9"},
      {R"(("22" true 5))", "5"},
      {R"(("22" false 5))", "undefined"},
      {R"(("22" false 5 ("46" 6 7)))", "7"},
      {R"(("22"))", "error 9"},
      {R"(("22" 1 2 3 4))", "error 9"},
      {R"(("39" 0 ("3" "undeclared" 1) "no"))", "'no'"},
      {R"(("39" 1 2))", "error 9"},
      // Switch with cases [1, 2] and bodies [A, B, D]: fall-through into the default.
      {R"(("41" "s") ("3" "s" "")
          ("38" 1 ("46" 1 2) ("46" ("3" "s" ("0" ("15" "s") "A")) ("3" "s" ("0" ("15" "s") "B"))
                                   ("3" "s" ("0" ("15" "s") "D"))))
          ("15" "s"))",
       "'ABD'"},
      {R"(("41" "s") ("3" "s" "")
          ("38" 3 ("46" 1 2) ("46" ("3" "s" "A") ("3" "s" "B") ("3" "s" "D"))) ("15" "s"))",
       "'D'"},
      {R"(("41" "s") ("3" "s" "")
          ("38" "1" ("46" 1 2) ("46" ("3" "s" "A") ("3" "s" "B"))) ("15" "s"))",
       "''"},
      {R"(("41" "s") ("3" "s" "")
          ("38" 1 ("46" 1 2) ("46" ("5" ("46" ("3" "s" "A") ("4"))) ("3" "s" "B"))) ("15" "s"))",
       "'A'"},
      {R"(("38" 1 2 ("46")))", "error 9"},
      {R"(("38" 1 ("46")))", "error 9"},
      {R"(("36" 1 2))", "error 9"},
      {R"(("50" "f" ("7") ("36")) ("f"))", "undefined"},
      {R"(("50" "f" ("7" "a" "b") ("0" ("15" "a") ("15" "b"))) ("f" 1 2 3))", "3"},
      {R"(("50" "f" ("7" "a" "b") ("15" "b")) ("f" 1))", "undefined"},
      {R"(("51" "f"))", "error 9"},
      {R"(("51" "f" 1))", "error 10"},
      {R"(("51" "f" ("7")))", "function f"},
      // A closure made in a block still reads the block's variable after the block ended.
      {R"(("41" "g") ("53" ("41" "inner") ("3" "inner" 7) ("3" "g" ("51" "" ("7") ("15" "inner"))))
          ("2" ("15" "g") "call" ("46")))",
       "error 17"},
      {R"(("41" "g") ("53" ("41" "inner") ("3" "inner" 7) ("3" "g" ("51" "h" ("7") ("15" "inner"))))
          ("41" "h") ("3" "h" ("15" "g")) ("h"))",
       "7"},
      {R"(("53" ("41" "y") ("3" "y" 1)) ("15" "y"))", "undefined"},
      // A declaration binds where the name already lives.
      {R"(("41" "f") ("53" ("50" "f" ("7") 1)) ("40" ("15" "f")))", "'function'"},
      {R"(("2" ("45") "toString" ("46")))", "error 7"},
      {R"(("2" 1 2 ("46")))", "error 10"},
      {R"(("2" 1 "toString" 3))", "error 10"},
      {R"(("2" 1.5 "toString" ("46")))", "'1.5'"},
      {R"(("2" 1 "nope" ("46")))", "error 17"},
      {R"(("2" ("8" "m" ("51" "m" ("7" "x") ("0" ("15" "x") 1))) "m" ("46" 41)))", "42"},
      {R"(("2" ("8" "m" 1) "m" ("46")))", "error 17"},
      {R"(("2" ("8" "hasOwnProperty" ("51" "h" ("7") "own")) "hasOwnProperty" ("46" "x")))",
       "'own'"},
      {R"(("2" ("8" "a" 1) "hasOwnProperty" ("46" "a")))", "true"},
      {R"(("2" ("8" "a" 1) "hasOwnProperty" ("46")))", "error 9"},
      {R"(("2" ("8") "toString" ("46")))", "'[object Object]'"},
  });
}

// Calls reuse the storage of scopes and return values that nothing else holds: whatever a script
// still holds must keep its own.
TEST(CallsTest, ReusedStorageNeverReachesWhatScriptsHold) {
  expectRows({
      // Closures keep their call's scope, with calls of other functions in between.
      {R"(("50" "counter" ("7" "start")
             ("36" ("51" "next" ("7") ("3" "start" ("0" ("15" "start") 1)) ("36" ("15" "start")))))
          ("52" "a" ("counter" 10) "b" ("counter" 20))
          ("7" ("a") ("a") ("b") ("a")))",
       "[11,12,21,13]"},
      // A return value kept in an array keeps its data through later returns; running the array
      // as a block in a function returns that data.
      {R"(("50" "keep" ("7") ("7" ("36" 1)))
          ("50" "two" ("7") ("36" 2))
          ("50" "replay" ("7" "block") ("5" ("15" "block")))
          ("52" "saved" ("keep"))
          ("two")
          ("replay" ("15" "saved")))",
       "1"},
      // Recursion deeper than the spare scopes a runtime keeps.
      {R"(("50" "sum" ("7" "n")
             ("22" ("23" ("15" "n") 1) ("46" ("36" 0)))
             ("36" ("0" ("15" "n") ("sum" ("37" ("15" "n") 1)))))
          ("sum" 200))",
       "20100"},
      // Two parameters of one name: the later argument wins, as before.
      {R"(("50" "f" ("7" "x" "x") ("36" ("15" "x"))) ("f" 1 2))", "2"},
      // A block's child scope captured by a closure survives the block.
      {R"(("41" "g") ("53" ("41" "y") ("3" "y" 7) ("3" "g" ("51" "h" ("7") ("36" ("15" "y")))))
          ("53" ("41" "y") ("3" "y" 8))
          ("g"))",
       "7"},
  });
}

// Reads and assignments by a literal name remember where they found the binding: whatever a
// program binds, freezes or reuses between two runs of the same statement must still be seen.
TEST(ScopingTest, RememberedBindingsFollowEveryChange) {
  expectRows({
      // A closure assigns the outer x; halfway through the loop the block that made the closure
      // declares its own x, which every later call must assign instead of the outer one.
      {R"(("41" "x" "log") ("3" "x" 0) ("3" "log" "")
          ("53" ("41" "i" "bump") ("3" "i" 0)
            ("3" "bump" ("51" "bump" ("7") ("3" "x" ("0" ("15" "x") 1))))
            ("42" ("23" ("15" "i") 4) ("3" "i" ("0" ("15" "i") 1)) false
              ("46" ("22" ("20" ("15" "i") 2) ("46" ("41" "x") ("3" "x" 100)))
                    ("bump") ("3" "log" ("0" ("15" "log") ("15" "x"))))))
          ("7" ("15" "x") ("15" "log")))",
       "[2,'12101102']"},
      // The same with the closure made one block further in, so that the new x lands in a scope
      // between the one the lookup walks from and the binding it found.
      {R"(("41" "x" "log" "bump") ("3" "x" 0) ("3" "log" "")
          ("53" ("41" "i") ("3" "i" 0)
            ("53" ("3" "bump" ("51" "bump" ("7") ("3" "x" ("0" ("15" "x") 1)))))
            ("42" ("23" ("15" "i") 4) ("3" "i" ("0" ("15" "i") 1)) false
              ("46" ("22" ("20" ("15" "i") 2) ("46" ("41" "x") ("3" "x" 100)))
                    ("bump") ("3" "log" ("0" ("15" "log") ("15" "x"))))))
          ("7" ("15" "x") ("15" "log")))",
       "[2,'12101102']"},
      // A constant declared later between the assignment and the variable: the assignments after
      // it are ignored and the outer variable keeps what it had.
      {R"(("41" "c" "log") ("3" "log" "")
          ("53" ("41" "i") ("3" "i" 0)
            ("42" ("23" ("15" "i") 3) ("3" "i" ("0" ("15" "i") 1)) false
              ("46" ("22" ("20" ("15" "i") 1) ("46" ("52" "c" 50)))
                    ("53" ("3" "c" ("15" "i")))
                    ("3" "log" ("0" ("15" "log") ("15" "c"))))))
          ("7" ("15" "c") ("15" "log")))",
       "[0,'05050']"},
      // An outer constant assigned from deep inside a loop, again and again: never written.
      {R"(("52" "k" 1)
          ("53" ("53" ("41" "i") ("3" "i" 0)
            ("42" ("23" ("15" "i") 3) ("3" "i" ("0" ("15" "i") 1)) false ("46" ("3" "k" ("15" "i"))))))
          ("15" "k"))",
       "1"},
      // Closures made in per-iteration copies each assign their own copy of i, through one
      // statement, twice over; the outer i is untouched.
      {R"(("41" "i" "fs" "out") ("3" "i" 0) ("3" "fs" ("7")) ("3" "out" "")
          ("63" ("7" "i") ("23" ("15" "i") 3) ("3" "i" ("0" ("15" "i") 1))
                ("46" ("2" ("15" "fs") "push"
                       ("46" ("51" "f" ("7") ("3" "i" ("0" ("15" "i") 10)) ("36" ("15" "i")))))))
          ("64" "g" ("15" "fs") ("46" ("41" "h") ("3" "h" ("15" "g"))
                                      ("3" "out" ("0" ("15" "out") ("0" ("h") ",")))))
          ("64" "g" ("15" "fs") ("46" ("41" "h") ("3" "h" ("15" "g"))
                                      ("3" "out" ("0" ("15" "out") ("0" ("h") ",")))))
          ("0" ("15" "out") ("15" "i")))",
       "'10,11,12,20,21,22,0'"},
      // Recursion: each call's closure assigns that call's n, while the scopes of finished calls
      // are reused by later ones.
      {R"(("41" "out") ("3" "out" "")
          ("50" "f" ("7" "n")
            ("41" "g") ("3" "g" ("51" "g" ("7") ("3" "n" ("0" ("15" "n") 100))))
            ("22" ("18" ("15" "n") 0) ("46" ("f" ("37" ("15" "n") 1))))
            ("g")
            ("3" "out" ("0" ("15" "out") ("0" ("15" "n") ",")))
            ("36" ("15" "n")))
          ("7" ("f" 3) ("f" 1) ("15" "out")))",
       "[103,101,'100,101,102,103,100,101,']"},
      // Closures of one function made in different calls: each call of theirs may get the storage
      // of the last one's scope, under a different parent, and must read its own v.
      {R"(("50" "h" ("7" "v") ("36" ("51" "a" ("7") ("53" ("36" ("15" "v"))))))
          ("41" "a1" "a2") ("3" "a1" ("h" 1)) ("3" "a2" ("h" 2))
          ("7" ("a1") ("a2") ("a1")))",
       "[1,2,1]"},
      // Recursion deeper than the spare scopes, counting in an outer variable.
      {R"(("41" "calls") ("3" "calls" 0)
          ("50" "r" ("7" "n") ("3" "calls" ("0" ("15" "calls") 1))
            ("22" ("18" ("15" "n") 0) ("46" ("r" ("37" ("15" "n") 1)))))
          ("r" 100) ("15" "calls"))",
       "101"},
      // A parameter shadows the outer name inside the call only.
      {R"(("41" "x") ("3" "x" 1)
          ("50" "f" ("7" "x") ("3" "x" ("0" ("15" "x") 10)) ("36" ("15" "x")))
          ("7" ("f" 5) ("f" 6) ("15" "x")))",
       "[15,16,1]"},
      // Undeclared names stay errors however deep, also after other names were assigned there.
      {R"(("53" ("53" ("3" "nope" 1))))", "error 2"},
      {R"(("41" "x") ("53" ("53" ("41" "i") ("3" "i" 0)
          ("42" ("23" ("15" "i") 3) ("3" "i" ("0" ("15" "i") 1)) false
            ("46" ("3" "x" ("15" "i")) ("22" ("20" ("15" "i") 2) ("46" ("3" "nope" 1))))))))",
       "error 2"},
  });
}

// A statement whose assignment failed for want of a declaration succeeds once one exists, and
// from then on writes that binding even when a closer one of the same name appears.
TEST(ScopingTest, AssignmentFindsNamesDeclaredBetweenRuns) {
  APMPRuntime runtime;
  EXPECT_EQ(run(runtime, R"(("41" "set") ("3" "set" ("51" "set" ("7" "v") ("3" "late" ("15" "v"))))
                          ("set" 1))"),
            "error 2");
  EXPECT_EQ(run(runtime, R"(("41" "late") ("set" 2) ("15" "late"))"), "2");
  EXPECT_EQ(run(runtime, R"(("53" ("41" "late") ("set" 3) ("15" "late")))"), "undefined");
  EXPECT_EQ(run(runtime, R"(("15" "late"))"), "3");
}

TEST(LoopsTest, Table) {
  expectRows({
      {R"(("41" "s") ("3" "s" "") ("55" "k" "ab" ("46" ("3" "s" ("0" ("15" "s") ("15" "k"))))) ("15" "s"))",
       "'01'"},
      {R"(("41" "s") ("3" "s" "") ("66" "k" "ab" ("46" ("3" "s" ("0" ("15" "s") ("15" "k"))))) ("15" "s"))",
       "'ab'"},
      {R"(("55" "k" 5 ("46" ("3" "undeclared" 1))))", "undefined"},
      {R"(("55" "k" ("44") ("46" ("3" "undeclared" 1))))", "undefined"},
      {R"(("66" "k" 5 ("46")))", "error 16"},
      {R"(("66" "k" ("8") ("46")))", "error 16"},
      {R"(("55" "k" ("44") 1))", "error 10"},
      {R"(("66" "k" ("44") 1))", "error 16"},
      {R"(("47" "k" ("7" 1 2) ("46")) ("15" "k"))", "'1'"},
      {R"(("41" "s") ("3" "s" "") ("54" "k" ("7" 1 2) ("46" ("3" "k" 9) ("3" "s" ("0" ("15" "s") ("15" "k"))))) ("15" "s"))",
       "'01'"},
      {R"(("41" "s") ("3" "s" "") ("55" "k" ("7" 1 2) ("46" ("3" "k" 9) ("3" "s" ("0" ("15" "s") ("15" "k"))))) ("15" "s"))",
       "'99'"},
      {R"(("41" "s") ("3" "s" "") ("64" "v" ("7" 1 2 3) ("46" ("22" ("20" ("15" "v") 2) ("46" ("6"))) ("3" "s" ("0" ("15" "s") ("15" "v"))))) ("15" "s"))",
       "'13'"},
      {R"(("41" "s") ("3" "s" "") ("64" "v" ("7" 1 2 3) ("46" ("22" ("20" ("15" "v") 2) ("46" ("4"))) ("3" "s" ("0" ("15" "s") ("15" "v"))))) ("15" "s"))",
       "'1'"},
      {R"(("50" "f" ("7") ("64" "v" ("7" 1 2) ("46" ("36" ("15" "v")))) 9) ("f"))", "1"},
      // while (i < 3) { i = i + 1 }, with the update run after each body.
      {R"(("41" "i") ("3" "i" 0) ("42" ("23" ("15" "i") 3) ("3" "i" ("0" ("15" "i") 1)) false ("46")) ("15" "i"))",
       "3"},
      {R"(("41" "n") ("3" "n" 0) ("42" false 0 false ("46" ("3" "n" 1))) ("15" "n"))", "0"},
      {R"(("41" "n") ("3" "n" 0) ("42" false 0 true ("46" ("3" "n" ("0" ("15" "n") 1)))) ("15" "n"))",
       "1"},
      {R"(("42" true 0 false 1))", "error 10"},
      {R"(("42" true 0 false))", "error 9"},
      // Per-iteration copies: closures read 0, 1 and 2; the outer i keeps its value.
      {R"(("41" "i" "fs") ("3" "i" 0) ("3" "fs" ("7"))
          ("63" ("7" "i") ("23" ("15" "i") 3) ("3" "i" ("0" ("15" "i") 1))
                ("46" ("2" ("15" "fs") "push" ("46" ("51" "f" ("7") ("15" "i"))))))
          ("7" ("15" "i") ("2" ("15" "fs") "map" ("46" ("51" "call" ("7" "f") ("2" ("15" "f") "call" ("46")))))))",
       "error 17"},
      {R"(("41" "i" "fs" "out") ("3" "i" 0) ("3" "fs" ("7")) ("3" "out" "")
          ("63" ("7" "i") ("23" ("15" "i") 3) ("3" "i" ("0" ("15" "i") 1))
                ("46" ("2" ("15" "fs") "push" ("46" ("51" "f" ("7") ("15" "i"))))))
          ("64" "g" ("15" "fs") ("46" ("41" "h") ("3" "h" ("15" "g")) ("3" "out" ("0" ("15" "out") ("h")))))
          ("0" ("15" "out") ("15" "i")))",
       "'0120'"},
      {R"(("63" 1 true 0 ("46")))", "error 10"},
  });
}

}  // namespace
}  // namespace measurement::runtime
