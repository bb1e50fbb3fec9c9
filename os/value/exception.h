// os::Exception is a raised platform exception: a name and a reason. It is thrown only where a
// caller is ready to catch that very exception, close by; it never crosses a queue or thread
// boundary: queues catch, log and go on.
#pragma once

#include <exception>
#include <string>

#include "os/value/value.h"

namespace os {

class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason, Value userInfo = {});

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const Value& userInfo() const { return userInfo_; }
  // "<name>: <reason>", as uncaught-exception reports show it.
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
  Value userInfo_;
  std::string what_;
};

// Names of the platform exceptions that several libraries raise.
inline constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* kRangeException = "NSRangeException";
inline constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* kGenericException = "NSGenericException";

}  // namespace os
