#include "measurement/runtime/event_editing.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <iostream>

#include "measurement/runtime/modules.h"
#include "measurement/runtime/test_support.h"
#include "testsupport/memory.h"

namespace measurement::runtime {
namespace {

using testing::describe;

// Integers print with an "i" so that a kind change shows: count=10i, ratio=2.5.
std::string describeHost(const os::Value& value) {
  if (value.isInteger()) return std::to_string(value.integerValue()) + "i";
  if (const os::Array* array = value.asArray()) {
    std::string out = "[";
    for (const os::Value& element : *array) out += describeHost(element) + ";";
    return out + "]";
  }
  if (const os::Dictionary* dictionary = value.asDictionary()) {
    std::string out = "{";
    for (const auto& [key, element] : *dictionary) out += key + "=" + describeHost(element) + ";";
    return out + "}";
  }
  return value.description();
}

std::string describe(const EditEvent& event) {
  std::string out = event.name + "@" + os::Value(event.timestamp).description();
  for (const auto& [key, value] : event.parameters) out += " " + key + "=" + describeHost(value);
  return out;
}

EditEvent installerEvent() {
  return EditEvent{"Install_SW",
                   1000,
                   {{"ea", "Launch"}, {"count", 10}, {"ratio", 2.5}, {"_c", 1}, {"label", "x"}}};
}

// A program whose rule registers `callbacks` (statements using "register" and "log").
std::string program(std::string_view callbacks, std::string_view topLevel = "") {
  return std::string(R"(("52" "register" ("require" "internal.registerCallback"))
                        ("52" "log" ("require" "internal.eventLogger")))") +
         std::string(topLevel) + R"(("50" "rule" ("7" "o") )" + std::string(callbacks) +
         R"() (activity "rule" ("8")))";
}

std::string callback(std::string_view type, std::string_view body, std::string_view priority = "") {
  std::string options = priority.empty() ? "" : " \"priority\" " + std::string(priority);
  return R"(("register" 0 ("51" "cb" ("7" "e") )" + std::string(body) + R"() ("8" "type" ")" +
         std::string(type) + "\"" + options + "))";
}

std::string call(std::string_view method, std::string_view arguments = "") {
  return R"(("2" ("15" "e") ")" + std::string(method) + R"(" ("46" )" + std::string(arguments) +
         "))";
}

struct Outcome {
  std::string result;
  std::string output;
  std::string created;
};

Outcome handle(APMPEventEditing& editing, const EditEvent& event) {
  os::Error error;
  bool changed = editing.handleEvent(event, &error);
  Outcome outcome;
  outcome.result = failed(&error) ? describe(error) : changed ? "YES" : "NO";
  outcome.output = describe(editing.eventContext().outputEvent());
  for (const EditEvent& created : editing.eventContext().eventsToLog()) {
    outcome.created += "[" + describe(created) + "]";
  }
  return outcome;
}

std::string load(APMPEventEditing& editing, std::string_view text) {
  os::Error error;
  editing.loadProgram(measurement::pixie::program(text), &error);
  return failed(&error) ? describe(error) : "loaded";
}

struct EditRow {
  std::string callbacks;
  std::string result;
  std::string output;
  std::string created = "";
};

TEST(EventEditingTest, HandlingTable) {
  const std::string base = "Install_SW@1000 _c=1i count=10i ea=Launch label=x ratio=2.5";
  const EditRow rows[] = {
      {"", "NO", base},
      {callback("edit", call("setEventName", "\"renamed\"") + " 0"), "YES",
       "renamed@1000 _c=1i count=10i ea=Launch label=x ratio=2.5"},
      // Without a number the edit is undone (-1); 2 undoes it too; 0, 1, 3 keep it.
      {callback("edit", call("setEventName", "\"renamed\"")), "NO", base},
      {callback("edit", call("setEventName", "\"renamed\"") + " 2"), "NO", base},
      {callback("edit", call("setEventName", "\"renamed\"") + " 3"), "YES",
       "renamed@1000 _c=1i count=10i ea=Launch label=x ratio=2.5"},
      {callback("edit", call("setEventName", "(\"45\")")), "error 10", base},
      {callback("edit", call("setParamValue", "\"count\" 2.5") + " 0"), "YES",
       "Install_SW@1000 _c=1i count=2i ea=Launch label=x ratio=2.5"},
      {callback("edit", call("setParamValue", "\"_c\" 2.5") + " 0"), "NO", base},
      {callback("edit", call("setParamValue", "\"_el\" 2.5") + " 0"), "YES",
       "Install_SW@1000 _c=1i _el=2i count=10i ea=Launch label=x ratio=2.5"},
      {callback("edit", call("setParamValue", "\"label\" 2.5") + " 0"), "YES",
       "Install_SW@1000 _c=1i count=10i ea=Launch label=2.5 ratio=2.5"},
      {callback("edit", call("setParamValue", "\"fresh\" 2.5") + " 0"), "YES",
       "Install_SW@1000 _c=1i count=10i ea=Launch fresh=2.5 label=x ratio=2.5"},
      {callback("edit", call("setParamValue", "\"ratio\" 3") + " 0"), "YES",
       "Install_SW@1000 _c=1i count=10i ea=Launch label=x ratio=3"},
      {callback("edit", call("setParamValue", "\"ea\" (\"44\")") + " 0"), "YES",
       "Install_SW@1000 _c=1i count=10i ea= label=x ratio=2.5"},
      // Removing a parameter is an edit (it must not be stored and uploaded anyway).
      {callback("edit", call("setParamValue", "\"label\" (\"45\")") + " 0"), "YES",
       "Install_SW@1000 _c=1i count=10i ea=Launch ratio=2.5"},
      {callback("edit", call("setParamValue", "\"obj\" (\"8\" \"a\" (\"7\" 1 (\"45\")))") + " 0"),
       "YES", base.substr(0, base.find(" ratio")) + " obj={a=[1;];} ratio=2.5"},
      // The first callback's edit stays when the second fails; no create callback runs.
      {callback("edit", call("setEventName", "\"one\"") + " 0", "1") +
           callback("edit", call("setEventName", "\"two\"") + " (\"3\" \"undeclared\" 1)", "2") +
           callback("create", "(\"log\" \"created\" 5 (\"8\"))"),
       "error 2", "one@1000 _c=1i count=10i ea=Launch label=x ratio=2.5"},
      {callback("create",
                "(\"log\" \"made\" 5.9 (\"8\" \"count\" 3.7 \"n\" (\"45\") \"u\" (\"44\")))"),
       "YES", base, "[made@5 count=3i u=]"},
      {callback("create", "(\"log\" \"made\" 5 1)"), "error 10", base},
      {callback("create", "(\"log\" \"made\" 5)"), "error 9", base},
      // An event logged by an undone edit callback stays logged.
      {callback("edit", "(\"log\" \"kept\" 1 (\"8\")) 2"), "YES", base, "[kept@1]"},
      {callback("edit", "(\"36\" " + call("getEventName") + ")"), "NO", base},
      {callback("edit", call("setEventName", "(\"0\" " + call("getParamValue", "\"ea\"") + " " +
                                                 call("getTimestamp") + ")") +
                            " 0"),
       "YES", "Launch1000@1000 _c=1i count=10i ea=Launch label=x ratio=2.5"},
      // A missing parameter reads as null, and null is no event name.
      {callback("edit", call("setEventName", call("getParamValue", "\"missing\"")) + " 0"),
       "error 10", base},
      {callback("edit",
                call("setEventName", "(\"16\" " + call("getParams") + " \"count\")") + " 0"),
       "YES", "10@1000 _c=1i count=10i ea=Launch label=x ratio=2.5"},
      {callback("edit", call("getEventName", "1")), "error 9", base},
      {callback("edit", call("unknownMethod")), "error 17", base},
  };
  for (const EditRow& row : rows) {
    APMPEventEditing editing;
    ASSERT_EQ(load(editing, program(row.callbacks)), "loaded") << row.callbacks;
    Outcome outcome = handle(editing, installerEvent());
    EXPECT_EQ(outcome.result, row.result) << row.callbacks;
    EXPECT_EQ(outcome.output, row.output) << row.callbacks;
    EXPECT_EQ(outcome.created, row.created) << row.callbacks;
  }
}

TEST(EventEditingTest, LoadingAndRegistrationTable) {
  struct Row {
    std::string text;
    std::string expected;
  };
  const Row rows[] = {
      {program(""), "loaded"},
      {program("") + R"(("36"))", "editing error 5"},
      {R"(("36") 1)", "loaded"},
      {R"(("50" "rule" ("7" "o")) (activity "rule" 5))", "editing error 6"},
      {R"((activity "nobody" ("8")))", "editing error 7"},
      {program(R"(("register" 0 ("51" "cb" ("7" "e")) ("8")))"), "editing error 2"},
      {program(R"(("register" 0 ("51" "cb" ("7" "e")) ("8" "type" "Edit")))"), "editing error 3"},
      {program(R"(("register" 0 1 ("8" "type" "edit")))"), "error 10"},
      {program(R"(("register" 0 ("51" "cb" ("7" "e")) 1))"), "error 10"},
      {program(R"(("register" 0 ("51" "cb" ("7" "e"))))"), "error 9"},
      {R"((raw 9))", "error 12"},
  };
  for (const Row& row : rows) {
    APMPEventEditing editing;
    EXPECT_EQ(load(editing, row.text), row.expected) << row.text;
  }
}

TEST(EventEditingTest, PrioritiesAreUniquePerTypeAndBounded) {
  APMPEventEditing editing;
  ASSERT_EQ(load(editing, program(callback("edit", "0", "5") + callback("edit", "0", "5") +
                                  callback("edit", "0", "5") + callback("create", "0", "5") +
                                  callback("create", "0") + callback("create", "0"))),
            "loaded");
  std::vector<int32_t> edit;
  for (const auto& [priority, function] : editing.callbackHandler().editCallbacks()) {
    edit.push_back(priority);
  }
  std::vector<int32_t> create;
  for (const auto& [priority, function] : editing.callbackHandler().createCallbacks()) {
    create.push_back(priority);
  }
  EXPECT_EQ(edit, (std::vector<int32_t>{5, 6, 7}));
  EXPECT_EQ(create, (std::vector<int32_t>{5, 1000, 1001}));

  APMPEventEditing top;
  EXPECT_EQ(
      load(top, program(callback("edit", "0", "2147483647") + callback("edit", "0", "2147483647"))),
      "editing error 4");
}

TEST(EventEditingTest, AThousandCallbacksAtMost) {
  APMPEventEditing editing;
  std::string loop = R"(("41" "i") ("3" "i" 0)
      ("42" ("23" ("15" "i") 1000) ("3" "i" ("0" ("15" "i") 1)) false
            ("46" )" +
                     callback("edit", "0") + R"()))";
  ASSERT_EQ(load(editing, program(loop)), "loaded");
  EXPECT_EQ(load(editing, program(callback("invalid type", "0"))), "editing error 4");
}

TEST(EventEditingTest, ClosuresSurviveCollectionAndRunScopesAreEmptied) {
  APMPEventEditing editing;
  // The callback counts events in an object captured two functions deep.
  std::string text = program(R"(("41" "outer") ("3" "outer" ("51" "outer" ("7")
        ("52" "state" ("8" "n" 0))
        ("51" "inner" ("7" "e")
           ("43" ("15" "state") "n" ("0" ("16" ("15" "state") "n") 1))
           )" + call("setParamValue", R"("seen" ("16" ("15" "state") "n"))") +
                             R"( 0)))
      ("register" 0 ("outer") ("8" "type" "edit")))");
  ASSERT_EQ(load(editing, text), "loaded");
  size_t trackedAfterFirst = 0;
  for (int i = 1; i <= 1000; ++i) {
    Outcome outcome = handle(editing, installerEvent());
    ASSERT_EQ(outcome.result, "YES");
    ASSERT_NE(outcome.output.find(" seen=" + std::to_string(i)), std::string::npos)
        << outcome.output;
    if (i == 1) trackedAfterFirst = editing.runtime().objectManager().trackedListSize();
  }
  EXPECT_EQ(editing.runtime().objectManager().trackedListSize(), trackedAfterFirst);

  // A map left only in a run scope is emptied by the collection after the event.
  APMPRuntime& runtime = editing.runtime();
  Ref<APMPScope> run = runtime.getRunScope();
  Value map = APMPObjectManager::mapValueWithScope(*run);
  map.asMap()->propertyMap().setValue(makeName(u"k"), Value::number(1));
  runtime.collectGarbage();
  EXPECT_EQ(map.asMap()->propertyMap().size(), 0u);
}

TEST(EventEditingTest, EqualityLooksAtKindsNamesAndTimestamps) {
  EditEvent a = installerEvent();
  EditEvent b = a;
  EXPECT_TRUE(isEqualToEvent(a, b));
  b.timestamp += 1e-17;
  EXPECT_TRUE(isEqualToEvent(a, b));
  b.timestamp += 1e-3;
  EXPECT_FALSE(isEqualToEvent(a, b));
  b = a;
  b.parameters["count"] = 10.0;
  EXPECT_FALSE(isEqualToEvent(a, b));
  b = a;
  b.parameters["extra"] = 1;
  EXPECT_FALSE(isEqualToEvent(a, b));
  EXPECT_FALSE(isEqualToEvent(b, a));
}

// Hostile programs, each in a child process: the event fails with the stated error in bounded
// memory, the next event is handled normally, and the event comes back unedited.
struct HostileRow {
  const char* name;
  std::string callbacks;
  std::string topLevel = "";
  std::string error = "error 18";
};

// The child's exit status: 0 when the row behaves. The engine is gone before the child exits.
int hostileOutcome(const HostileRow& row) {
  APMPEventEditing editing;
  int lines = 0;
  auto logger = std::make_shared<APMPixieLogger>(
      [&](int, int64_t, const std::string&, const std::vector<std::string>&) { ++lines; });
  editing.setModuleCreator(u"internal.logger", [logger] {
    return Value(Ref<APMPMessageLogger>(new APMPMessageLogger(logger)));
  });
  if (load(editing, program(row.callbacks + callback("create", R"(("log" "next" 1 ("8")))"),
                            row.topLevel)) != "loaded") {
    std::cerr << "load failed\n";
    return 2;
  }
  size_t before = testsupport::residentBytes();
  os::Error error;
  EditEvent event = installerEvent();
  bool changed = editing.handleEvent(event, &error);
  size_t grown = testsupport::residentBytes() - std::min(before, testsupport::residentBytes());
  if (changed || describe(error) != row.error) {
    std::cerr << row.name << ": " << describe(error) << "\n";
    return 3;
  }
  if (testsupport::residentMemoryIsMeaningful() && grown > (size_t{256} << 20)) {
    std::cerr << row.name << ": grew " << grown << "\n";
    return 4;
  }
  if (!(editing.eventContext().inputEvent() == event)) return 5;
  // The next event runs afresh: the hostile callback fails again, but only after the budget
  // was reset, so the failure is the same and the process is still healthy.
  os::Error next;
  editing.handleEvent(event, &next);
  if (describe(next) != row.error) return 6;
  if (lines > 2 * 100) return 7;
  return 0;
}

void runHostile(const HostileRow& row) { std::exit(hostileOutcome(row)); }

TEST(EventEditingHostileTest, EveryHostileProgramEndsWithErrorEighteen) {
  const std::string endless = R"(("42" true 0 false ("46" 1)))";
  const HostileRow rows[] = {
      {"endless loop", callback("edit", endless)},
      {"shadowed counter", callback("edit", R"(("52" "runtime.counter" 0) )" + endless),
       R"(("52" "runtime.counter" 0))"},
      {"deep recursion",
       callback("edit", R"(("50" "f" ("7" "n") ("f" ("0" ("15" "n") 1))) ("f" 0))")},
      {"string doubling", callback("edit", R"(("41" "s") ("3" "s" "ab")
          ("42" true ("3" "s" ("0" ("15" "s") ("15" "s"))) false ("46" 1)))")},
      {"huge index", callback("edit", R"(("43" ("7") 4000000000 1))")},
      {"huge length", callback("edit", R"(("43" ("7") "length" 4294967295))")},
      {"cyclic join", callback("edit", R"(("41" "a") ("3" "a" ("7" 1))
          ("2" ("15" "a") "push" ("46" ("15" "a"))) ("2" ("15" "a") "join" ("46"))
          )" + endless)},
      {"backtracking regex",
       callback("edit", R"(("41" "s") ("3" "s" "")
          ("41" "i") ("3" "i" 0)
          ("42" ("23" ("15" "i") 10000) ("3" "i" ("0" ("15" "i") 1)) false
                ("46" ("3" "s" ("0" ("15" "s") "a"))))
          ("2" ("15" "s") "match" ("46" "(a+)+b")) )" +
                            endless),
       "", "NSCocoaErrorDomain 2048"},
      {"million created events",
       callback("create", R"(("42" true 0 false ("46" ("log" "x" 1 ("8")))))")},
      {"million log calls", callback("edit", R"(("52" "l" ("require" "internal.logger"))
          ("42" true 0 false ("46" ("2" ("15" "l") "log" ("46" "line")))))")},
  };
  for (const HostileRow& row : rows) {
    EXPECT_EXIT(runHostile(row), ::testing::ExitedWithCode(0), "") << row.name;
  }
}

// Statements that declare `name` and double the text `start` `times` times over.
std::string doubled(std::string_view name, std::string_view start, int times) {
  std::string n(name);
  return R"(("41" ")" + n + R"(") ("3" ")" + n + R"(" ")" + std::string(start) +
         R"(") ("41" "k") ("3" "k" 0)
            ("42" ("23" ("15" "k") )" +
         std::to_string(times) + R"() ("3" "k" ("0" ("15" "k") 1)) false
                  ("46" ("3" ")" +
         n + R"(" ("0" ("15" ")" + n + R"(") ("15" ")" + n + R"(")))))
         )";
}

std::string endlessly(std::string_view statement) {
  return R"(("42" true 0 false ("46" )" + std::string(statement) + ")) ";
}

// Native work that no step used to pay for: each program ends its event with error 18.
struct WorkRow {
  const char* name;
  std::string hostile;
};

// The child's exit status: 0 when the row behaves. The hostile statements run in the first event
// only; the same callback's ordinary edit must then work in the next one.
int workOutcome(const WorkRow& row) {
  if (testsupport::residentMemoryIsMeaningful()) {
    // The sanitizer reserves far more address space than this; the normal build runs within it.
    rlimit limit{size_t{2} << 30, size_t{2} << 30};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 2;
  }
  APMPEventEditing editing;
  std::string body = R"(("22" ("15" "first") ("46" ("3" "first" false) )" + row.hostile + ")) " +
                     call("setParamValue", R"("ea" "edited")") + " 0";
  if (load(editing, program(callback("edit", body), R"(("41" "first") ("3" "first" true))")) !=
      "loaded") {
    return 3;
  }
  size_t before = testsupport::residentBytes();
  bool peakKnown = testsupport::resetPeakResidentBytes();
  Outcome first = handle(editing, installerEvent());
  size_t grown =
      testsupport::peakResidentBytes() - std::min(before, testsupport::peakResidentBytes());
  if (first.result != "error 18") {
    std::cerr << row.name << ": " << first.result << "\n";
    return 4;
  }
  if (editing.runtime().getInstructionCount() > 1'000'000) return 5;
  if (testsupport::residentMemoryIsMeaningful() && peakKnown && grown > (size_t{200} << 20)) {
    std::cerr << row.name << ": grew " << grown << "\n";
    return 6;
  }
  Outcome next = handle(editing, installerEvent());
  if (next.result != "YES" || next.output.find("ea=edited") == std::string::npos) {
    std::cerr << row.name << ": next " << next.result << " " << next.output << "\n";
    return 7;
  }
  return 0;
}

void runWork(const WorkRow& row) { std::exit(workOutcome(row)); }

TEST(EventEditingHostileTest, NativeWorkIsChargedAndBulkMemoryRefused) {
  const std::string bigString = doubled("s", "x", 24);  // 16,777,216 units: the longest allowed
  const WorkRow rows[] = {
      // The separators alone would make 4 million million units.
      {"join of holes", doubled("sep", "x", 20) + R"(("41" "a") ("3" "a" ("7"))
           ("43" ("15" "a") "length" 4000000)
           ("2" ("15" "a") "join" ("46" ("15" "sep"))))"},
      {"for-of over a long string", bigString + R"(("41" "c") ("64" "c" ("15" "s") ("46")))"},
      {"for-in over a long string", bigString + R"(("41" "c") ("47" "c" ("15" "s") ("46")))"},
      {"split into units", doubled("s", "x", 23) + R"(("2" ("15" "s") "split" ("46" "")))"},
      {"three sorts", doubled("s", "ab", 17) + R"(("41" "a")
           ("3" "a" ("2" ("15" "s") "split" ("46" "")))
           ("2" ("15" "a") "sort" ("46")) ("2" ("15" "a") "sort" ("46"))
           ("2" ("15" "a") "sort" ("46")))"},
      // A direct search would compare a million units at each of eight million places.
      {"long needle", doubled("s", "a", 23) + R"(("41" "n")
           ("3" "n" ("0" ("2" ("15" "s") "slice" ("46" 0 1000000)) "b")) )" +
                          endlessly(R"(("2" ("15" "s") "indexOf" ("46" ("15" "n"))))")},
      // Upper case doubles every sharp s: refused before it is built.
      {"growing case mapping",
       doubled("s", "\u00df", 24) + R"(("2" ("15" "s") "toUpperCase" ("46")))"},
      {"array copies", R"(("41" "a") ("3" "a" ("7")) ("43" ("15" "a") "length" 4000000) )" +
                           endlessly(R"(("2" ("15" "a") "slice" ("46")))")},
      {"comparing long texts", doubled("s", "x", 23) +
                                   R"(("41" "t") ("3" "t" ("0" ("15" "s") "")) )" +
                                   endlessly(R"(("20" ("15" "s") ("15" "t")))")},
      {"number form of a long text", doubled("s", "1", 23) + endlessly(R"(("26" ("15" "s") 1))")},
      {"shifting a long array",
       R"(("41" "a") ("3" "a" ("7")) ("43" ("15" "a") "length" 4000000) )" +
           endlessly(R"(("2" ("15" "a") "shift" ("46")))")},
  };
  for (const WorkRow& row : rows) {
    EXPECT_EXIT(runWork(row), ::testing::ExitedWithCode(0), "") << row.name;
  }
}

TEST(EventEditingHostileTest, CyclicParameterValueFailsWithErrorTen) {
  APMPEventEditing editing;
  ASSERT_EQ(load(editing, program(callback("edit", R"(("41" "a") ("3" "a" ("7" 1))
      ("2" ("15" "a") "push" ("46" ("15" "a"))) )" + call("setParamValue", R"("p" ("15" "a"))") +
                                                       " 0"))),
            "loaded");
  Outcome outcome = handle(editing, installerEvent());
  EXPECT_EQ(outcome.result, "error 10");
}

}  // namespace
}  // namespace measurement::runtime
