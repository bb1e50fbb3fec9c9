// The nanopb struct of one message while the glue decodes or encodes it: scratch storage, and
// where each field's value, presence flag and callback lie in it. For use by the decoder and the
// encoder only.
#pragma once

#include <pb.h>

#include <cstddef>
#include <cstring>
#include <memory>

#include "measurement/wire/message.h"

namespace wire::internal {

// Zeroed storage for the nanopb struct of `type`: on the stack for the small structs of the
// messages that nest deeply, on the heap for the few large ones.
class NanopbStruct {
 public:
  explicit NanopbStruct(const MessageType& type) {
    if (type.structSize > sizeof(inline_)) {
      heap_ = std::make_unique<std::max_align_t[]>(type.structSize / sizeof(std::max_align_t) + 1);
      data_ = reinterpret_cast<char*>(heap_.get());
    }
    std::memset(data_, 0, type.structSize);
  }
  NanopbStruct(const NanopbStruct&) = delete;
  NanopbStruct& operator=(const NanopbStruct&) = delete;

  char* data() { return data_; }

 private:
  alignas(std::max_align_t) char inline_[256];
  std::unique_ptr<std::max_align_t[]> heap_;
  char* data_ = inline_;
};

inline bool& presenceIn(char* nano, const FieldInfo& field) {
  return *reinterpret_cast<bool*>(nano + field.presenceOffset);
}

inline pb_callback_t& callbackIn(char* nano, const FieldInfo& field) {
  return *reinterpret_cast<pb_callback_t*>(nano + field.valueOffset);
}

// A static scalar of kind `kind` between its nanopb member at `member` and a slot value.
inline Value readScalar(int32_t kind, const char* member) {
  Value value{.bits = 0};
  if (kind & kBool) {
    value.bits = *reinterpret_cast<const bool*>(member) ? 1 : 0;
  } else if (kind & (kEnum | kInt32 | kUInt32)) {
    uint32_t bits;
    std::memcpy(&bits, member, sizeof bits);
    value.bits = bits;
  } else if (kind & kFloat) {
    std::memcpy(&value.f, member, sizeof value.f);
  } else {
    std::memcpy(&value.bits, member, sizeof value.bits);
  }
  return value;
}

inline void writeScalar(int32_t kind, Value value, char* member) {
  if (kind & kBool) {
    *reinterpret_cast<bool*>(member) = value.bits != 0;
  } else if (kind & (kEnum | kInt32 | kUInt32)) {
    const uint32_t bits = static_cast<uint32_t>(value.bits);
    std::memcpy(member, &bits, sizeof bits);
  } else if (kind & kFloat) {
    std::memcpy(member, &value.f, sizeof value.f);
  } else {
    std::memcpy(member, &value.bits, sizeof value.bits);
  }
}

}  // namespace wire::internal
