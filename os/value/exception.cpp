#include "os/value/exception.h"

namespace os {

Exception::Exception(std::string name, std::string reason, Value userInfo)
    : name_(std::move(name)),
      reason_(std::move(reason)),
      userInfo_(std::move(userInfo)),
      what_(name_ + ": " + reason_) {}

}  // namespace os
