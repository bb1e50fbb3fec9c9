#include "measurement/foundation/measurement_error.h"

namespace measurement {

os::Error measurementError(int64_t code, std::string_view description,
                           std::string_view monitorContext) {
  os::Dictionary userInfo;
  if (!description.empty()) userInfo[kLocalizedDescriptionKey] = description;
  if (!monitorContext.empty()) userInfo[kMonitorContextKey] = monitorContext;
  return os::Error(kMeasurementErrorDomain, code, std::string(description), std::move(userInfo));
}

void setErrorOutParameter(os::Error* out, int64_t code, std::string_view description) {
  setErrorOutParameterWithMonitorContext(out, code, description, {});
}

void setErrorOutParameterWithMonitorContext(os::Error* out, int64_t code,
                                            std::string_view description,
                                            std::string_view monitorContext) {
  if (out) *out = measurementError(code, description, monitorContext);
}

bool requireOrSetError(bool condition, os::Error* out, int64_t code, std::string_view description) {
  if (!condition) setErrorOutParameter(out, code, description);
  return condition;
}

bool requirePointerOrSetError(const void* pointer, os::Error* out, int64_t code,
                              std::string_view description) {
  return requireOrSetError(pointer != nullptr, out, code, description);
}

bool requireNonZeroOrSetError(uint64_t count, os::Error* out, int64_t code,
                              std::string_view description) {
  return requireOrSetError(count != 0, out, code, description);
}

std::string makeMonitorContextString(std::span<const MonitorContext> contexts) {
  std::string joined;
  for (const MonitorContext& context : contexts) {
    const auto* error = std::get_if<os::Error>(&context);
    if (!error || error->domain != kMeasurementErrorDomain) continue;
    const std::string* text = error->userInfo[kMonitorContextKey].asString();
    if (!text || text->empty()) continue;
    if (!joined.empty()) joined += ",";
    joined += *text;
  }
  return joined;
}

}  // namespace measurement
