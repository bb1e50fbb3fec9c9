#include "measurement/model/error_parameters.h"

#include <unicode/utf8.h>

#include <utility>

#include "measurement/foundation/data_extensions.h"
#include "os/sync/mutex.h"
#include "os/sync/thread_annotations.h"

namespace measurement {
namespace {

os::Mutex loggerMutex;
InternalEventLogger internalEventLogger OS_GUARDED_BY(loggerMutex);

}  // namespace

void logInternalEvent(std::string_view origin, std::string_view name, Parameters parameters) {
  InternalEventLogger logger;
  {
    os::MutexLock lock(loggerMutex);
    logger = internalEventLogger;
  }
  if (logger) logger(origin, name, std::move(parameters));
}

void setInternalEventLogger(InternalEventLogger logger) {
  os::MutexLock lock(loggerMutex);
  internalEventLogger = std::move(logger);
}

std::string trimmedToLimit(std::string_view text, int32_t limit) {
  if (limit < 0) limit = 0;
  if (apm_UTF32Length(text) <= static_cast<size_t>(limit)) return std::string(text);
  // The first `limit` scalars, as the UTF-32 form carries them (ill-formed bytes as U+FFFD).
  os::Data scalars = apm_getUTF32Bytes(text, 4 * static_cast<size_t>(limit));
  std::string trimmed;
  for (size_t i = 0; i + 4 <= scalars.size(); i += 4) {
    UChar32 scalar = scalars[i] | scalars[i + 1] << 8 | scalars[i + 2] << 16 | scalars[i + 3] << 24;
    char bytes[U8_MAX_LENGTH];
    int32_t length = 0;
    U8_APPEND_UNSAFE(bytes, length, scalar);
    trimmed.append(bytes, length);
  }
  return trimmed + "...";
}

int64_t errorValueLength(const Value& value) {
  if (const std::string* text = value.stringValue()) {
    return static_cast<int64_t>(apm_UTF32Length(*text));
  }
  if (const os::Array* items = value.arrayValue()) return static_cast<int64_t>(items->size());
  return 0;
}

void setErrorCodeIfAbsent(Parameters& parameters, int64_t code) {
  parameters.try_emplace("_err", code);
}

void addErrorValueParameters(Parameters& parameters, std::optional<std::string_view> name,
                             int32_t limit, const Value* value) {
  if (parameters.contains("_ev") || parameters.contains("_el")) return;
  parameters.insert_or_assign("_ev", Value(trimmedToLimit(name.value_or("(nil)"), limit)));
  if (value) parameters.insert_or_assign("_el", Value(errorValueLength(*value)));
}

void addErrorParameters(Parameters& parameters, int64_t code, std::optional<std::string_view> name,
                        int32_t limit, const Value* value) {
  if (parameters.contains("_ev") || parameters.contains("_el") || parameters.contains("_err")) {
    return;
  }
  parameters.insert_or_assign("_err", Value(code));
  addErrorValueParameters(parameters, name, limit, value);
}

void logErrorEvent(int64_t code) {
  if (code == 0) return;
  logInternalEvent("auto", "_err", Parameters{{"_err", Value(code)}});
}

void logErrorEventWithNameAndValue(int64_t code, std::optional<std::string_view> name,
                                   int32_t limit, const Value* value) {
  if (code == 0) return;
  Parameters parameters{{"_err", Value(code)}};
  bool longString = value && value->isString() && errorValueLength(*value) > limit;
  bool recordLength = longString || code == 4 || code == 7;
  addErrorValueParameters(parameters, name, limit, recordLength ? value : nullptr);
  logInternalEvent("auto", "_err", std::move(parameters));
}

}  // namespace measurement
