#include "measurement/config/runtime_event_editing.h"

#include <gtest/gtest.h>

#include "measurement/foundation/monitor_capture.h"
#include "measurement/privacy/test_support.h"
#include "measurement/runtime/errors.h"
#include "measurement/runtime/pixie/pixie_asm.h"

namespace measurement {
namespace {

// A program whose one edit rule runs `body` on each event "e"; a body that ends in 0 keeps
// its edits.
std::string editProgram(std::string_view body) {
  return std::string(R"(("52" "register" ("require" "internal.registerCallback"))
      ("50" "rule" ("7" "o") ("register" 0 ("51" "cb" ("7" "e") )") +
         std::string(body) + R"() ("8" "type" "edit"))) (activity "rule" ("8")))";
}

std::string setParameter(std::string_view name, std::string_view value) {
  return R"(("2" ("15" "e") "setParamValue" ("46" ")" + std::string(name) + "\" " +
         std::string(value) + "))";
}

// The modules the remote configuration registers, as scripts reach them through the runtime.
TEST(RuntimeEventEditingTest, ScriptsReachTheRegisteredModules) {
  PrivacySandbox sandbox;
  RuntimeEventEditing editing;
  editing.setModuleCreator("internal.remoteConfig", [] {
    return KeyValueStoreModule{[](const std::string& key) -> std::optional<std::string> {
      if (key == "measurement.upload.interval") return "7200000";
      return std::nullopt;
    }};
  });
  int made = 0;
  editing.setModuleCreator("internal.appMetadata", [&made] {
    ++made;
    return ObjectProviderModule{[] { return os::Value(os::Dictionary{{"platform", "macos"}}); }};
  });
  editing.setModuleCreator("internal.logger", [] { return MessageLoggerModule{}; });
  EXPECT_EQ(made, 0);  // created at the first require

  std::string body = setParameter("interval", R"(("2" ("require" "internal.remoteConfig") "getValue"
                                      ("46" "measurement.upload.interval" "none")))") +
                     setParameter("missing", R"(("2" ("require" "internal.remoteConfig") "getValue"
                                     ("46" "measurement.missing" "fallback")))") +
                     R"(("52" "meta" ("require" "internal.appMetadata")))" +
                     setParameter("platform", R"(("16" ("meta") "platform"))") +
                     R"(("2" ("require" "internal.logger") "log" ("46" 5 "from a script")) 0)";
  os::Error error;
  editing.loadProgram(measurement::pixie::program(editProgram(body)), &error);
  ASSERT_EQ(error, os::Error()) << error.description;

  MonitorCapture capture;
  EXPECT_TRUE(editing.editing().handleEvent(EditEvent{"Install_SW", 1000, {}}, &error))
      << error.domain << " " << error.code << " " << error.description;
  const EditEvent& edited = editing.editing().eventContext().outputEvent();
  EXPECT_EQ(edited.parameters.at("interval").stringValue(), "7200000");
  EXPECT_EQ(edited.parameters.at("missing").stringValue(), "fallback");
  EXPECT_EQ(edited.parameters.at("platform").stringValue(), "macos");
  EXPECT_EQ(made, 1);
  EXPECT_TRUE(capture.contains(24005));  // the script's log line, through the monitor
}

TEST(RuntimeEventEditingTest, AProgramThatCannotLoadLeavesAnError) {
  RuntimeEventEditing editing;
  os::Error error;
  editing.loadProgram(measurement::pixie::program("(raw 9)"), &error);
  EXPECT_EQ(error.domain, runtime::kRuntimeErrorDomain);
  EXPECT_EQ(error.code, 12);

  std::shared_ptr<EventEditing> made = runtimeEventEditingFactory(nullptr)();
  ASSERT_TRUE(std::dynamic_pointer_cast<RuntimeEventEditing>(made));
  os::Error none;
  made->loadProgram(APMPBProgram(), &none);
  EXPECT_EQ(none, os::Error());
}

}  // namespace
}  // namespace measurement
