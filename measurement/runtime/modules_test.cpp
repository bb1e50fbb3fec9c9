#include "measurement/runtime/modules.h"

#include <gtest/gtest.h>

#include "measurement/runtime/test_support.h"

namespace measurement::runtime {
namespace {

using testing::run;

struct LogLine {
  int level;
  int64_t code;
  std::string message;
  std::vector<std::string> context;
};

class ModulesTest : public ::testing::Test {
 protected:
  ModulesTest() {
    runtime_.setModuleCreator(u"internal.remoteConfig", [] {
      return Value(Ref<APMPKeyValueStore>(new APMPKeyValueStore(
          u"internal.remoteConfig", [](const std::string& key) -> std::optional<std::string> {
            if (key == "measurement.flag") return "on";
            return std::nullopt;
          })));
    });
    runtime_.setModuleCreator(u"internal.appMetadata", [] {
      return Value(Ref<APMPObjectProvider>(new APMPObjectProvider(u"internal.appMetadata", [] {
        return os::Value(os::Dictionary{{"platform", "macos"}, {"gmp_version", 120000}});
      })));
    });
    auto logger =
        std::make_shared<APMPixieLogger>([this](int level, int64_t code, const std::string& message,
                                                const std::vector<std::string>& context) {
          lines_.push_back({level, code, message, context});
        });
    runtime_.setModuleCreator(u"internal.logger", [logger] {
      return Value(Ref<APMPMessageLogger>(new APMPMessageLogger(logger)));
    });
    runtime_.setModuleCreator(u"nothing", [] { return std::nullopt; });
  }

  APMPRuntime runtime_;
  std::vector<LogLine> lines_;
};

TEST_F(ModulesTest, Table) {
  const testing::Row rows[] = {
      {R"(("20" ("require" "internal.platform") ("require" "internal.platform")))", "true"},
      {R"(("2" ("require" "internal.platform") "getVersion" ("46")))", "0"},
      {R"(("require" "internal.platform"))", "function internal.platform"},
      {R"(("require"))", "error 9"},
      {R"(("require" "unknown"))", "undefined"},
      {R"(("require" "nothing"))", "error 15"},
      {R"(("2" ("require" "internal.remoteConfig") "getValue" ("46" "measurement.flag" 0)))",
       "'on'"},
      {R"(("2" ("require" "internal.remoteConfig") "getValue" ("46" "missing" 7)))", "7"},
      {R"(("2" ("require" "internal.remoteConfig") "getValue" ("46" "missing" ("8" "a" 1))))",
       "{a:1}"},
      {R"(("2" ("require" "internal.remoteConfig") "getValue" ("46" "missing")))", "error 9"},
      {R"(("52" "store" ("require" "internal.remoteConfig")) ("store" ("3" "undeclared" 1)))",
       "error 2"},
      {R"(("52" "meta" ("require" "internal.appMetadata")) ("meta"))",
       "{gmp_version:120000,platform:'macos'}"},
      {R"(("2" ("require" "internal.logger") "silent" ("46")))", "function silent"},
  };
  for (const auto& row : rows) EXPECT_EQ(run(runtime_, row.program), row.expected) << row.program;
}

TEST_F(ModulesTest, UnknownModulesStayUnknown) {
  EXPECT_EQ(run(runtime_, R"(("require" "late"))"), "undefined");
  runtime_.setModuleCreator(u"late", [] { return Value::number(1); });
  EXPECT_EQ(run(runtime_, R"(("require" "late"))"), "undefined");
}

TEST_F(ModulesTest, LogLevelsAndContexts) {
  ASSERT_EQ(run(runtime_, R"(("52" "l" ("require" "internal.logger"))
      ("2" ("15" "l") "log" ("46" 42))
      ("2" ("2" ("15" "l") "silent" ("46")) "log" ("46" 5 "quiet"))
      ("2" ("2" ("15" "l") "unmonitored" ("46")) "log" ("46" 6 "plain"))
      ("2" ("15" "l") "log" ("46" 5 "warn"))
      ("2" ("15" "l") "log" ("46" 9 "odd"))
      ("2" ("15" "l") "log" ("46" 2 "seven" "a" "b" "c" "d" "e"))
      ("2" ("15" "l") "log" ("46")))"),
            "error 9");
  ASSERT_EQ(lines_.size(), 6u);
  EXPECT_EQ(lines_[0].level, 6);
  EXPECT_EQ(lines_[0].message, "42");
  EXPECT_EQ(lines_[0].code, 24005);
  EXPECT_EQ(lines_[1].level, 5);
  EXPECT_EQ(lines_[2].level, 0);
  EXPECT_EQ(lines_[3].level, 4);
  EXPECT_EQ(lines_[4].level, 6);
  EXPECT_EQ(lines_[5].level, 8);
  EXPECT_EQ(lines_[5].context, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(APMPixieLogger::monitorLevel(3, true, true), 7);
  EXPECT_EQ(APMPixieLogger::monitorLevel(6, true, false), 2);
}

TEST(ConversionTest, EntitiesAndHostValues) {
  EXPECT_EQ(run(R"((raw 2))"), "NaN");
  EXPECT_EQ(run(R"((raw 1))"), "''");
  EXPECT_EQ(run(R"((raw 3))"), "false");
  EXPECT_EQ(run(R"(("7" ("7" ("7" (raw 4)))))"), "error 14");

  APMPRuntime runtime;
  os::Error error;
  Value converted =
      runtimeValueFromHost(os::Dictionary{{"flag", true}, {"n", 1}, {"list", os::Array{1, "a"}}},
                           runtime.globalScope(), &error);
  EXPECT_EQ(testing::describe(converted), "{flag:true,list:[1,'a'],n:1}");
  runtimeValueFromHost(os::Value(os::Data{1}), runtime.globalScope(), &error);
  EXPECT_EQ(error.code, kBadHostObject);

  auto host = [](const Value& value) {
    os::Error conversion;
    std::optional<os::Value> result = hostFromRuntimeValue(value, &conversion);
    if (failed(&conversion)) return testing::describe(conversion);
    return result ? result->description() : std::string("nothing");
  };
  EXPECT_EQ(host(makeString(u"12")), "12");
  EXPECT_EQ(host(makeString(u"  ")), "0");
  EXPECT_EQ(host(makeString(u"abc")), "abc");
  EXPECT_EQ(host(Value::null()), "nothing");
  EXPECT_EQ(host(Value()), "");
  EXPECT_EQ(host(Value::boolean(true)), "1");
  EXPECT_EQ(host(Value(Ref<APMPArrayValue>(new APMPArrayValue({Value::null(), Value::number(1)})))),
            "(\n    1\n)");
  EXPECT_EQ(host(APMPControlValue::breakValue()), "error 5");
}

TEST(ScopesTest, BindingsConstantsAndCollection) {
  APMPRuntime runtime;
  Ref<APMPScope> run = runtime.getRunScope();
  Ref<APMPStringValue> name = makeName(u"g");
  runtime.globalScope().addValue(name, Value::number(1));
  run->setValue(name, Value::number(2));
  EXPECT_EQ(testing::describe(runtime.globalScope().valueForName(*name)), "2");
  Ref<APMPStringValue> local = makeName(u"local");
  run->setValue(local, Value::number(3));
  EXPECT_FALSE(runtime.globalScope().hasName(*local));
  Ref<APMPStringValue> constant = makeName(u"c");
  run->addImmutableValue(constant, Value::number(1));
  run->setValue(constant, Value::number(5));
  run->contents().removeValue(*constant);
  EXPECT_EQ(testing::describe(run->valueForName(*constant)), "1");

  Value kept = APMPObjectManager::mapValueWithScope(*run);
  kept.asMap()->propertyMap().setValue(makeName(u"k"), Value::number(1));
  runtime.globalScope().addValue(makeName(u"kept"), kept);
  Value dropped = APMPObjectManager::mapValueWithScope(*run);
  dropped.asMap()->propertyMap().setValue(makeName(u"k"), Value::number(1));
  run->addValue(makeName(u"dropped"), dropped);
  runtime.collectGarbage();
  EXPECT_EQ(kept.asMap()->propertyMap().size(), 1u);
  EXPECT_FALSE(kept.asMap()->isMarked());
  EXPECT_EQ(dropped.asMap()->propertyMap().size(), 0u);
}

// Assignment finds the binding in one walk; a frozen scope between the assignment and the
// binding stops the write, as it would stop an assignment handed up from scope to scope.
TEST(ScopesTest, AssignmentThroughFrozenAndDeepScopes) {
  APMPRuntime runtime;
  Ref<APMPStringValue> name = makeName(u"g");
  runtime.globalScope().addValue(name, Value::number(1));
  Ref<APMPScope> deep = runtime.getRunScope();
  for (int i = 0; i < 40; ++i) deep = deep->createChildScope();
  EXPECT_TRUE(deep->assign(name, Value::number(2)));
  EXPECT_EQ(testing::describe(runtime.globalScope().valueForName(*name)), "2");
  EXPECT_FALSE(deep->assign(makeName(u"unbound"), Value::number(3)));
  EXPECT_FALSE(deep->hasName(*makeName(u"unbound")));

  Ref<APMPScope> frozen = runtime.getRunScope();
  frozen->makeImmutable();
  Ref<APMPScope> inner = frozen->createChildScope();
  EXPECT_TRUE(inner->assign(name, Value::number(4)));
  inner->setValue(name, Value::number(4));
  EXPECT_EQ(testing::describe(runtime.globalScope().valueForName(*name)), "2");
  // An unbound name is bound where the assignment runs; only that scope's freeze matters.
  Ref<APMPStringValue> local = makeName(u"local");
  inner->setValue(local, Value::number(5));
  EXPECT_EQ(testing::describe(inner->valueForName(*local)), "5");
  frozen->setValue(local, Value::number(6));
  EXPECT_FALSE(frozen->hasName(*local));
}

TEST(ScopesTest, TheInstructionLimitIsExact) {
  RuntimeLimits limits;
  limits.instructions = 10;
  APMPRuntime runtime(limits);
  // Nine plain values and the tenth: all counted, all allowed; the eleventh fails.
  EXPECT_EQ(run(runtime, "1 2 3 4 5 6 7 8 9 10"), "10");
  runtime.resetInstructionCount();
  EXPECT_EQ(run(runtime, "1 2 3 4 5 6 7 8 9 10 11"), "error 18");
  EXPECT_EQ(runtime.getInstructionCount(), 10);
}

// A return standing in a function body, one nested in a branch, and one with too many values:
// each costs the steps it always did, and the limit falls on the same step.
TEST(ScopesTest, ReturnsCountTheirSteps) {
  constexpr const char* kProgram = R"(
      ("50" "f" ("7" "x")
         ("22" ("23" ("15" "x") 1) ("46" ("36" ("15" "x"))))
         ("36" ("0" ("15" "x") ("f" ("37" ("15" "x") 1))))
         ("3" "x" 9))
      ("f" 3))";
  APMPRuntime counting;
  EXPECT_EQ(run(counting, kProgram), "6");
  const int32_t steps = counting.getInstructionCount();
  EXPECT_EQ(steps, 56);
  RuntimeLimits limits;
  limits.instructions = steps;
  APMPRuntime exact(limits);
  EXPECT_EQ(run(exact, kProgram), "6");
  limits.instructions = steps - 1;
  APMPRuntime oneShort(limits);
  EXPECT_EQ(run(oneShort, kProgram), "error 18");
  EXPECT_EQ(run(R"(("50" "f" ("7") ("36" 1 2) 3) ("f"))"), "error 9");
  EXPECT_EQ(run(R"(("50" "f" ("7") ("36") ("3" "undeclared" 1)) ("f"))"), "undefined");
}

}  // namespace
}  // namespace measurement::runtime
