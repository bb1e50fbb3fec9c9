#include "measurement/runtime/modules.h"

#include <fmt/format.h>

#include <cmath>

#include "measurement/runtime/conversion.h"
#include "measurement/runtime/evaluator.h"
#include "measurement/runtime/runtime.h"
#include "measurement/runtime/scope.h"
#include "os/log/log.h"
#include "os/text/text.h"

namespace measurement::runtime {

namespace {

void setProperty(APMPFunctionValue& function, std::u16string name, Value value) {
  function.propertyMap().setValue(makeName(std::move(name)), std::move(value));
}

class APMPFunctionGetVersion : public APMPFunctionValue {
 public:
  APMPFunctionGetVersion() : APMPFunctionValue(u"getVersion") {}
  Value invoke(std::span<const Value>, APMPScope&, os::Error*) override {
    return Value::number(double(APMPRuntime::runtimeVersion()));
  }
};

class APMPKeyValueStoreGetValue : public APMPFunctionValue {
 public:
  explicit APMPKeyValueStoreGetValue(APMPKeyValueStore::GetValueBlock block)
      : APMPFunctionValue(u"getValue"), block_(std::move(block)) {}

  Value invoke(std::span<const Value> arguments, APMPScope& scope, os::Error* error) override {
    if (!checkArgumentCount(arguments.size(), 2, error)) return Value();
    ValueList values;
    if (!evaluateArguments(arguments, scope, &values, error)) return Value();
    std::u16string key = stringForm(values[0], error);
    if (failed(error)) return Value();
    std::optional<std::string> text = block_ ? block_(os::text::fromUtf16(key)) : std::nullopt;
    return text ? makeString(os::text::toUtf16(*text)) : values[1];
  }

 private:
  APMPKeyValueStore::GetValueBlock block_;
};

class APMPFunctionLog : public APMPFunctionValue {
 public:
  APMPFunctionLog(std::shared_ptr<APMPLoggerDelegate> logger, bool silent, bool monitored)
      : APMPFunctionValue(u"log"),
        logger_(std::move(logger)),
        silent_(silent),
        monitored_(monitored) {}

  Value invoke(std::span<const Value> arguments, APMPScope& scope, os::Error* error) override {
    if (!checkArgumentCountAtLeast(arguments.size(), 1, error)) return Value();
    ValueList values;
    if (!evaluateArguments(arguments, scope, &values, error)) return Value();
    int64_t level = 4;
    std::u16string message;
    std::vector<std::string> context;
    if (values.size() == 1) {
      message = stringForm(values[0], error);
    } else {
      double number = numberForm(values[0], error);
      level = std::isfinite(number) ? int64_t(std::trunc(number)) : 0;
      message = stringForm(values[1], error);
      for (size_t i = 2; i < values.size() && i < 5; ++i) {
        context.push_back(os::text::fromUtf16(stringForm(values[i], error)));
      }
    }
    if (failed(error)) return Value();
    if (APMPRuntime* runtime = scope.runtime(); runtime && !runtime->takeLogLine()) return Value();
    logger_->logWithLevel(level, os::text::fromUtf16(message), context, silent_, monitored_);
    return Value();
  }

 private:
  std::shared_ptr<APMPLoggerDelegate> logger_;
  bool silent_;
  bool monitored_;
};

// "silent" and "unmonitored": calling them gives the function itself; their "log" logs with
// their flags.
class APMPLogVariant : public APMPFunctionValue {
 public:
  APMPLogVariant(std::u16string name, std::shared_ptr<APMPLoggerDelegate> logger, bool silent,
                 bool monitored)
      : APMPFunctionValue(std::move(name)) {
    setProperty(
        *this, u"log",
        Value(Ref<APMPFunctionLog>(new APMPFunctionLog(std::move(logger), silent, monitored))));
  }
  Value invoke(std::span<const Value>, APMPScope&, os::Error*) override { return Value(this); }
};

}  // namespace

APMPRequire::APMPRequire(const APMPDynamicProvider* provider)
    : APMPFunctionValue(u"require"), provider_(provider) {}

Value APMPRequire::invoke(std::span<const Value> arguments, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(arguments.size(), 1, error)) return Value();
  ValueList values;
  if (!evaluateArguments(arguments, scope, &values, error)) return Value();
  std::u16string name = stringForm(values[0], error);
  if (failed(error)) return Value();
  auto cached = modules_.find(name);
  if (cached != modules_.end()) return cached->second;
  Value module = provider_->moduleForName(name, error);
  if (failed(error)) return Value();
  // Cached modules stay reachable through the cache; tracking them lets the runtime's end break
  // any cycle a script made through their properties.
  APMPObjectManager* manager = scope.objectManager();
  if (APMPContainerValue* container = asContainer(module); container && manager) {
    manager->addObject(container);
  }
  modules_.emplace(std::move(name), module);
  return module;
}

void APMPRequire::markCache(Marker& marker) const {
  for (const auto& [name, module] : modules_) marker.markValue(module);
}

APMPRuntimePlatform::APMPRuntimePlatform() : APMPFunctionValue(u"internal.platform") {
  setProperty(*this, u"getVersion",
              Value(Ref<APMPFunctionGetVersion>(new APMPFunctionGetVersion())));
}

Value APMPRuntimePlatform::invoke(std::span<const Value>, APMPScope&, os::Error*) {
  return Value();
}

APMPKeyValueStore::APMPKeyValueStore(std::u16string name, GetValueBlock block)
    : APMPFunctionValue(std::move(name)) {
  setProperty(
      *this, u"getValue",
      Value(Ref<APMPKeyValueStoreGetValue>(new APMPKeyValueStoreGetValue(std::move(block)))));
}

APMPObjectProvider::APMPObjectProvider(std::u16string name, ObjectBlock block)
    : APMPFunctionValue(std::move(name)), block_(std::move(block)) {}

Value APMPObjectProvider::invoke(std::span<const Value>, APMPScope& scope, os::Error* error) {
  return runtimeValueFromHost(block_ ? block_() : os::Value(), scope, error);
}

APMPixieLogger::APMPixieLogger(Sink sink) : sink_(std::move(sink)) {
  if (sink_) return;
  sink_ = [](int monitorLevel, int64_t code, const std::string& message,
             const std::vector<std::string>& context) {
    os::log::Level level = monitorLevel <= 2   ? os::log::Level::Error
                           : monitorLevel <= 5 ? os::log::Level::Warning
                           : monitorLevel == 6 ? os::log::Level::Notice
                                               : os::log::Level::Debug;
    os::log::write(level, fmt::format("<ZadOdavodivezi> [I-ACS{:06}] {} {}", code, message,
                                      fmt::join(context, ", ")));
  };
}

int APMPixieLogger::monitorLevel(int64_t level, bool silent, bool monitored) {
  switch (level) {
    case 2:
      return 8;
    case 3:
      return 7;
    case 4:
      return 6;
    case 5:
      return silent ? 5 : monitored ? 4 : 3;
    case 6:
      return silent ? 2 : monitored ? 1 : 0;
    default:
      return 6;
  }
}

void APMPixieLogger::logWithLevel(int64_t level, const std::string& message,
                                  const std::vector<std::string>& context, bool silent,
                                  bool monitored) {
  sink_(monitorLevel(level, silent, monitored), kMessageCode, message, context);
}

APMPMessageLogger::APMPMessageLogger(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPFunctionValue(u"internal.logger") {
  setProperty(*this, u"log", Value(Ref<APMPFunctionLog>(new APMPFunctionLog(logger, false, true))));
  setProperty(*this, u"silent",
              Value(Ref<APMPLogVariant>(new APMPLogVariant(u"silent", logger, true, true))));
  setProperty(*this, u"unmonitored",
              Value(Ref<APMPLogVariant>(new APMPLogVariant(u"unmonitored", logger, false, false))));
}

Value APMPMessageLogger::invoke(std::span<const Value>, APMPScope&, os::Error*) { return Value(); }

}  // namespace measurement::runtime
