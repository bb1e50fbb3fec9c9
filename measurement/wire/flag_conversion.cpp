#include "measurement/wire/flag_conversion.h"

#include <fmt/format.h>
#include <fmt/ostream.h>

#include <utility>

#include "measurement/wire/access.h"
#include "os/log/log.h"
#include "os/sync/mutex.h"

namespace wire {
namespace {

// The sink the foundation installs, read on whichever thread converts a flag.
struct SinkHolder {
  os::Mutex mutex;
  FlagMonitorSink sink OS_GUARDED_BY(mutex);
};

SinkHolder& sinkHolder() {
  static SinkHolder holder;
  return holder;
}

void complain(int code, std::string_view message,
              const std::optional<std::string>& context = std::nullopt) {
  FlagMonitorSink sink;
  {
    SinkHolder& holder = sinkHolder();
    os::MutexLock lock(holder.mutex);
    sink = holder.sink;
  }
  constexpr int kErrorLevel = 1;
  if (sink) {
    sink(kErrorLevel, code, message, context);
  } else {
    os::log::write(os::log::Level::Error,
                   fmt::format("I-ACS{:06d} {} {}", code, message, context.value_or("")));
  }
}

}  // namespace

void setFlagMonitorSink(FlagMonitorSink sink) {
  SinkHolder& holder = sinkHolder();
  os::MutexLock lock(holder.mutex);
  holder.sink = std::move(sink);
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
    wire::complain(850001, "Flag name must be a string",
                   fmt::format("{}", fmt::streamed(name.type())));
    return std::nullopt;
  }
  if (!value.isNumber() && !value.isBool() && !value.isString()) {
    wire::complain(850002, "Flag value is invalid", fmt::format("{}", fmt::streamed(value.type())));
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
