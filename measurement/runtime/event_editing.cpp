#include "measurement/runtime/event_editing.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <string_view>

#include "measurement/runtime/conversion.h"
#include "measurement/runtime/evaluator.h"
#include "measurement/wire/access.h"
#include "os/text/text.h"

namespace measurement::runtime {

namespace {

bool isFloatingPoint(const os::Value& value) { return value.type() == os::Value::Type::Real; }

os::Value truncated(const os::Value& number) { return os::Value(number.integerValue()); }

// The object every callback of one event receives: the six event functions, else a plain map.
class APMPEventNativeFunctions : public APMPMapValue {
  enum class Method {
    kNone,
    kGetEventName,
    kGetParams,
    kGetTimestamp,
    kGetParamValue,
    kSetEventName,
    kSetParamValue
  };

  // Callbacks call these in loops: the name is matched once, against views of known length.
  static Method methodNamed(std::u16string_view name) {
    using namespace std::string_view_literals;
    if (name == u"getEventName"sv) return Method::kGetEventName;
    if (name == u"getParams"sv) return Method::kGetParams;
    if (name == u"getTimestamp"sv) return Method::kGetTimestamp;
    if (name == u"getParamValue"sv) return Method::kGetParamValue;
    if (name == u"setEventName"sv) return Method::kSetEventName;
    if (name == u"setParamValue"sv) return Method::kSetParamValue;
    return Method::kNone;
  }

  static size_t argumentCount(Method method) {
    switch (method) {
      case Method::kGetParamValue:
      case Method::kSetEventName:
        return 1;
      case Method::kSetParamValue:
        return 2;
      default:
        return 0;
    }
  }

 public:
  explicit APMPEventNativeFunctions(APMPEventContext* context) : context_(context) {}

  Value applyWithName(const APMPStringValue& name, std::span<const Value> arguments,
                      APMPScope& scope, os::Error* error) override {
    const Method method = methodNamed(name.text());
    if (method == Method::kNone) return APMPMapValue::applyWithName(name, arguments, scope, error);
    if (!checkArgumentCount(arguments.size(), argumentCount(method), error)) return Value();
    ValueList values;
    if (!evaluateArguments(arguments, scope, &values, error)) return Value();
    EditEvent& output = context_->outputEvent();
    switch (method) {
      case Method::kGetEventName:
        return makeString(os::text::toUtf16(output.name));
      case Method::kGetTimestamp:
        return Value::number(output.timestamp);
      case Method::kGetParams: {
        Value map = APMPObjectManager::mapValueWithScope(scope);
        for (const auto& [key, host] : output.parameters) {
          Value value = runtimeValueFromHost(host, scope, error);
          if (failed(error)) return Value();
          map.asMap()->propertyMap().setValue(makeName(os::text::toUtf16(key)), value);
        }
        return map;
      }
      case Method::kSetEventName: {
        if (values[0].isUndefined() || values[0].isNull()) {
          runtimeError(error, kWrongKind);
          return Value();
        }
        std::u16string newName = stringForm(values[0], error);
        if (failed(error)) return Value();
        output.name = os::text::fromUtf16(newName);
        return makeString(std::move(newName));
      }
      default:
        break;
    }
    std::u16string key = stringForm(values[0], error);
    if (failed(error)) return Value();
    std::string parameter = os::text::fromUtf16(key);
    if (method == Method::kGetParamValue) {
      auto found = output.parameters.find(parameter);
      if (found == output.parameters.end()) return Value::null();
      Value value = runtimeValueFromHost(found->second, scope, error);
      return failed(error) ? Value() : value;
    }
    std::optional<os::Value> host = hostFromRuntimeValue(values[1], error);
    if (failed(error)) return Value();
    setParameter(output, parameter, std::move(host));
    return values[1];
  }

 private:
  APMPEventContext* context_;
};

class APMPEventLogger : public APMPFunctionValue {
 public:
  explicit APMPEventLogger(APMPEventContext* context)
      : APMPFunctionValue(u"internal.eventLogger"), context_(context) {}

  Value invoke(std::span<const Value> arguments, APMPScope& scope, os::Error* error) override {
    if (!checkArgumentCount(arguments.size(), 3, error)) return Value();
    ValueList values;
    if (!evaluateArguments(arguments, scope, &values, error)) return Value();
    std::u16string name = stringForm(values[0], error);
    double timestamp = toInteger(numberForm(values[1], error));
    if (failed(error)) return Value();
    const APMPMapValue* map = values[2].asMap();
    if (!map) {
      runtimeError(error, kWrongKind);
      return Value();
    }
    os::Dictionary parameters = dictionaryFromMapValue(*map, error);
    if (failed(error)) return Value();
    context_->logEventWithName(os::text::fromUtf16(name), timestamp, parameters, error);
    return Value();
  }

 private:
  APMPEventContext* context_;
};

class APMPRegisterCallbackNativeFunctionValue : public APMPFunctionValue {
 public:
  explicit APMPRegisterCallbackNativeFunctionValue(APMPEditingCallbackHandler* handler)
      : APMPFunctionValue(u"internal.registerCallback"), handler_(handler) {}

  Value invoke(std::span<const Value> arguments, APMPScope& scope, os::Error* error) override {
    if (!checkArgumentCount(arguments.size(), 3, error)) return Value();
    ValueList values;
    if (!evaluateArguments(arguments, scope, &values, error)) return Value();
    APMPFunctionValue* callback = values[1].asFunction();
    const APMPMapValue* options = values[2].asMap();
    if (!callback || !options) {
      runtimeError(error, kWrongKind);
      return Value();
    }
    const Value* type = options->propertyMap().find(u"type");
    if (!type) {
      editingError(error, kNoRuleType);
      return Value();
    }
    std::u16string ruleType = stringForm(*type, error);
    if (failed(error)) return Value();
    int32_t priority = APMPEditingCallbackHandler::kDefaultPriority;
    if (const Value* given = options->propertyMap().find(u"priority")) {
      double number = numberForm(*given, error);
      if (failed(error)) return Value();
      priority = toInt32(number);
    }
    handler_->registerWithPriority(priority, Ref<APMPFunctionValue>(callback), ruleType, error);
    return Value();
  }

 private:
  APMPEditingCallbackHandler* handler_;
};

// The result code of one callback: 2 on an error, ToInt32 of a number, -1 for anything else.
int32_t invokeCallback(APMPScope& scope, APMPFunctionValue& callback, const Value& eventHandler,
                       os::Error* error) {
  Value arguments[] = {eventHandler};
  Value result = callback.invoke(arguments, scope, error);
  if (failed(error)) return 2;
  return result.isNumber() ? toInt32(result.numberPayload()) : -1;
}

using CallbackList = std::vector<Ref<APMPFunctionValue>>;

// A snapshot: a callback may register further callbacks while the list runs.
CallbackList snapshot(const std::map<int32_t, Ref<APMPFunctionValue>>& callbacks) {
  CallbackList list;
  for (const auto& [priority, callback] : callbacks) list.push_back(callback);
  return list;
}

}  // namespace

os::Value normalizeEventParameterValue(const std::string& name, const os::Value* oldValue,
                                       os::Value newValue) {
  if (!newValue.isNumber()) return newValue;
  if (name == "_syn" || name == "_err" || name == "_el") return truncated(newValue);
  if (!oldValue) return newValue;
  if (oldValue->isNumber()) {
    if (isFloatingPoint(*oldValue)) return newValue;
    if (!name.empty() && name[0] == '_') return *oldValue;
    return truncated(newValue);
  }
  if (oldValue->isString()) return os::Value(newValue.description());
  return newValue;
}

void setParameter(EditEvent& event, const std::string& name, std::optional<os::Value> value) {
  if (!value) {
    event.parameters.erase(name);
    return;
  }
  auto found = event.parameters.find(name);
  if (found == event.parameters.end()) {
    event.parameters.emplace(name, normalizeEventParameterValue(name, nullptr, std::move(*value)));
    return;
  }
  found->second = normalizeEventParameterValue(name, &found->second, std::move(*value));
}

bool isEqualToEvent(const EditEvent& a, const EditEvent& b) {
  if (&a == &b) return true;
  if (std::fabs(a.timestamp - b.timestamp) > DBL_EPSILON) return false;
  if (a.name != b.name) return false;
  // Both name sets count: an edit that only removes a parameter is an edit.
  if (a.parameters.size() != b.parameters.size()) return false;
  for (const auto& [name, value] : a.parameters) {
    auto other = b.parameters.find(name);
    if (other == b.parameters.end() || !(value == other->second)) return false;
    if (value.isNumber() && isFloatingPoint(value) != isFloatingPoint(other->second)) return false;
  }
  return true;
}

void APMPEventContext::setInputEvent(EditEvent event) {
  input_ = std::move(event);
  output_ = input_;
  logged_.clear();
}

bool APMPEventContext::logEventWithName(std::string name, double timestamp,
                                        const os::Dictionary& parameters, os::Error* error) {
  if (logged_.size() >= kMaxCreatedEvents) return runtimeError(error, kLimit);
  EditEvent event{std::move(name), timestamp, {}};
  for (const auto& [key, value] : parameters) {
    auto old = input_.parameters.find(key);
    event.parameters[key] = normalizeEventParameterValue(
        key, old == input_.parameters.end() ? nullptr : &old->second, value);
  }
  logged_.push_back(std::move(event));
  return true;
}

bool APMPEditingCallbackHandler::registerWithPriority(int32_t priority,
                                                      Ref<APMPFunctionValue> callback,
                                                      const std::u16string& ruleType,
                                                      os::Error* error) {
  if (edit_.size() + create_.size() >= kMaxCallbacks) return editingError(error, kTooManyCallbacks);
  std::map<int32_t, Ref<APMPFunctionValue>>* callbacks = ruleType == u"edit"     ? &edit_
                                                         : ruleType == u"create" ? &create_
                                                                                 : nullptr;
  if (!callbacks) return editingError(error, kBadRuleType);
  if (callbacks->count(priority)) {
    int32_t highest = callbacks->rbegin()->first;
    if (highest == std::numeric_limits<int32_t>::max()) {
      return editingError(error, kTooManyCallbacks);
    }
    priority = highest + 1;
  }
  (*callbacks)[priority] = std::move(callback);
  return true;
}

bool APMPEditingCallbackHandler::triggerCallbacks(APMPScope& scope, APMPEventContext& context,
                                                  os::Error* error) {
  Ref<APMPEventNativeFunctions> functions(new APMPEventNativeFunctions(&context));
  // Scripts may store values on it, cycles included: let the collections see it.
  if (APMPObjectManager* manager = scope.objectManager()) manager->addObject(functions.get());
  Value eventHandler(functions);
  for (const Ref<APMPFunctionValue>& callback : snapshot(edit_)) {
    EditEvent kept = context.outputEvent();
    int32_t code = invokeCallback(scope, *callback, eventHandler, error);
    if (failed(error) || code == 2 || code == -1) context.setOutputEvent(std::move(kept));
    if (failed(error)) return false;
  }
  for (const Ref<APMPFunctionValue>& callback : snapshot(create_)) {
    invokeCallback(scope, *callback, eventHandler, error);
    if (failed(error)) return false;
  }
  return true;
}

void APMPEditingCallbackHandler::mark(Marker& marker) const {
  for (const auto& [priority, callback] : edit_) marker.markValue(Value(callback));
  for (const auto& [priority, callback] : create_) marker.markValue(Value(callback));
}

APMPEventEditing::APMPEventEditing(std::shared_ptr<os::DispatchQueue> queue, RuntimeLimits limits)
    : queue_(std::move(queue)), runtime_(std::make_unique<APMPRuntime>(limits)) {
  runtime_->addGarbageCollectionRoot(&handler_);
  runtime_->setModuleCreator(u"internal.registerCallback", [this] {
    return Value(Ref<APMPRegisterCallbackNativeFunctionValue>(
        new APMPRegisterCallbackNativeFunctionValue(&handler_)));
  });
  runtime_->setModuleCreator(u"internal.eventLogger", [this] {
    return Value(Ref<APMPEventLogger>(new APMPEventLogger(&context_)));
  });
}

APMPEventEditing::~APMPEventEditing() = default;

void APMPEventEditing::setModuleCreator(std::u16string name, ModuleCreator creator) {
  if (queue_) OS_CHECK_ON(queue_);
  runtime_->setModuleCreator(std::move(name), std::move(creator));
}

void APMPEventEditing::loadProgram(const APMPBProgram& program, os::Error* error) {
  if (queue_) OS_CHECK_ON(queue_);
  os::Error local;
  os::Error* failure = error ? error : &local;
  APMPRuntime::Run run(*runtime_);
  Value last = runtime_->executeStatements(
      APMPBGetArray<APMPBRuntimeEntity>(program, kProgram_instructions), failure);
  if (failed(failure)) return;
  if (last.isControl()) {
    editingError(failure, kControlAtTopLevel);
    return;
  }
  std::optional<APMPBOgtActivities> activities =
      APMPBGetMessage<APMPBOgtActivities>(program, kProgram_ogt_activities);
  if (activities) {
    for (const APMPBOgtActivity& activity :
         APMPBGetArray<APMPBOgtActivity>(*activities, kOgtActivities_activities)) {
      if (!loadActivityData(activity, failure)) return;
    }
  }
  runtime_->collectGarbage();
}

bool APMPEventEditing::loadActivityData(const APMPBOgtActivity& activity, os::Error* error) {
  std::u16string name = os::text::toUtf16(APMPBGetString(activity, kOgtActivity_name).value_or(""));
  for (const APMPBRuntimeEntity& entity :
       APMPBGetArray<APMPBRuntimeEntity>(activity, kOgtActivity_data)) {
    Value rule = runtime_->executeStatements(std::span(&entity, 1), error);
    if (failed(error)) return false;
    if (!rule.isMap()) return editingError(error, kRuleDataNotObject);
    if (!registerRule(name, rule, error)) return false;
  }
  return true;
}

bool APMPEventEditing::registerRule(const std::u16string& name, const Value& rule,
                                    os::Error* error) {
  Ref<APMPScope> scope = runtime_->getRunScope();
  APMPStringValue key(name);
  Value function = scope->valueForName(key);
  APMPFunctionValue* callee = function.asFunction();
  if (!callee) return editingError(error, kRuleNotFunction);
  Value arguments[] = {rule};
  callee->invoke(arguments, *scope, error);
  return !failed(error);
}

bool APMPEventEditing::handleEvent(const EditEvent& event, os::Error* error) {
  if (queue_) OS_CHECK_ON(queue_);
  os::Error local;
  os::Error* failure = error ? error : &local;
  context_.setInputEvent(event);
  runtime_->resetInstructionCount();
  bool ok;
  {
    APMPRuntime::Run run(*runtime_);
    Ref<APMPScope> scope = runtime_->getRunScope();
    ok = handler_.triggerCallbacks(*scope, context_, failure);
  }
  runtime_->collectGarbage();
  if (!ok) return false;
  return !isEqualToEvent(context_.outputEvent(), context_.inputEvent()) || hasCreatedEvents();
}

bool APMPEventEditing::hasEdits() const {
  return !isEqualToEvent(context_.outputEvent(), context_.inputEvent());
}

}  // namespace measurement::runtime
