#include "os/value/error.h"

#include <cstring>

namespace os {

std::string Error::localizedDescription() const {
  if (!description.empty()) return description;
  if (const std::string* text = userInfo["NSLocalizedDescription"].asString()) {
    if (!text->empty()) return *text;
  }
  return "The operation couldn\u2019t be completed. (" + domain + " error " + std::to_string(code) +
         ".)";
}

bool fail(Error* out, Error value) {
  if (out) *out = std::move(value);
  return false;
}

Error posixError(int errnoValue, std::string_view context) {
  char buffer[256];
  // The GNU strerror_r returns the text (in `buffer` or a static string); it is thread-safe.
  const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
  std::string description;
  if (!context.empty()) {
    description.append(context);
    description += ": ";
  }
  description += text;
  return Error(kPOSIXErrorDomain, errnoValue, std::move(description));
}

}  // namespace os
