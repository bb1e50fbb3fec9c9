#include "measurement/wire/nano_message.h"

#include "measurement/wire/encode.h"

NANOMessageBase::NANOMessageBase(const NANOMessageBase& other)
    : type_(other.type_), info_(other.info_ ? wire::copyMessageInfo(*other.info_) : nullptr) {}

NANOMessageBase& NANOMessageBase::operator=(const NANOMessageBase& other) {
  if (this != &other) {
    type_ = other.type_;
    info_ = other.info_ ? wire::copyMessageInfo(*other.info_) : nullptr;
  }
  return *this;
}

std::optional<os::Data> NANOMessageBase::protoBuffer() const {
  if (!info_) return std::nullopt;
  return wire::encodeMessageInfo(*info_);
}
