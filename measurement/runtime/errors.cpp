#include "measurement/runtime/errors.h"

namespace measurement::runtime {

namespace {

bool setOnce(os::Error* error, const char* domain, int64_t code) {
  if (failed(error)) return false;
  error->domain = domain;
  error->code = code;
  return false;
}

}  // namespace

bool runtimeError(os::Error* error, int64_t code) {
  return setOnce(error, kRuntimeErrorDomain, code);
}

bool editingError(os::Error* error, int64_t code) {
  return setOnce(error, kEditingErrorDomain, code);
}

}  // namespace measurement::runtime
