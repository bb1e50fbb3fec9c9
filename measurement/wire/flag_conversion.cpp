#include "measurement/wire/flag_conversion.h"

#include <fmt/format.h>

#include <mutex>
#include <sstream>
#include <utility>

#include "measurement/wire/access.h"
#include "os/log.h"

namespace wire {
namespace {

std::mutex sinkMutex;
FlagMonitorSink& sinkStorage() {
  static FlagMonitorSink sink;
  return sink;
}

void complain(int code, std::string_view message,
              const std::optional<std::string>& context = std::nullopt) {
  FlagMonitorSink sink;
  {
    std::lock_guard lock(sinkMutex);
    sink = sinkStorage();
  }
  constexpr int kErrorLevel = 1;
  if (sink) {
    sink(kErrorLevel, code, message, context);
  } else {
    os::log::write(os::log::Level::Error,
                   fmt::format("I-ACS{:06d} {} {}", code, message, context.value_or("")));
  }
}

std::string typeName(const os::Value& value) {
  std::ostringstream name;
  name << value.type();
  return name.str();
}

}  // namespace

void setFlagMonitorSink(FlagMonitorSink sink) {
  std::lock_guard lock(sinkMutex);
  sinkStorage() = std::move(sink);
}

}  // namespace wire

os::Value flagValueFromProto(const APMPBFlag* flag) {
  if (flag == nullptr) return nullptr;
  if (APMPBHasField(*flag, kFlag_int_value)) return APMPBGetInt64(*flag, kFlag_int_value);
  if (APMPBHasField(*flag, kFlag_double_value)) return APMPBGetDouble(*flag, kFlag_double_value);
  if (APMPBHasField(*flag, kFlag_string_value)) {
    return APMPBGetString(*flag, kFlag_string_value).value_or(std::string());
  }
  if (APMPBHasField(*flag, kFlag_bool_value)) return APMPBGetBool(*flag, kFlag_bool_value);
  return nullptr;
}

std::optional<APMPBFlag> flagProtoWithNameAndValue(const os::Value& name, const os::Value& value) {
  if (name.isNull()) {
    wire::complain(850000, "Flag name must not be nil");
    return std::nullopt;
  }
  if (!name.isString()) {
    wire::complain(850001, "Flag name must be a string", wire::typeName(name));
    return std::nullopt;
  }
  if (!value.isNumber() && !value.isBool() && !value.isString()) {
    wire::complain(850002, "Flag value is invalid", wire::typeName(value));
    return std::nullopt;
  }
  APMPBFlag flag;
  APMPBSetString(flag, kFlag_name, *name.asString());
  if (const std::string* text = value.asString()) {
    APMPBSetString(flag, kFlag_string_value, *text);
  } else if (const double* real = value.asReal()) {
    APMPBSetDouble(flag, kFlag_double_value, *real);
  } else if (const uint64_t* unsignedValue = value.asUnsigned()) {
    APMPBSetInt64(flag, kFlag_int_value, static_cast<int64_t>(*unsignedValue));
  } else {
    APMPBSetInt64(flag, kFlag_int_value, value.integerValue());
  }
  return flag;
}
