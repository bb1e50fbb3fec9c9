#include "measurement/wire/decode.h"

#include <pb_decode.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

namespace wire {
namespace {

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

// The slot value of the static scalar of kind `kind` that nanopb decoded at `member`.
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

bool decodeInto(pb_istream_t* stream, Message& message);

// The rest of the field's substream as a string value.
Bytes* readBytes(pb_istream_t* stream) {
  const size_t length = stream->bytes_left;
  if (length > kMaxWireStringLength) {
    std::printf("Unable to process proto stream. Buffer is too big. %zu > %d\n", length,
                static_cast<int>(kMaxWireStringLength));
    return nullptr;
  }
  Bytes* bytes = Bytes::allocate(length);
  if (!pb_read(stream, reinterpret_cast<pb_byte_t*>(bytes->data()), length)) {
    Bytes::destroy(bytes);
    return nullptr;
  }
  return bytes;
}

bool decodeItemMessage(pb_istream_t* stream, const Message& parent, const FieldInfo& field,
                       Slot& slot) {
  if (parent.decodeDepth() >= kMaxNestingDepth) PB_RETURN_ERROR(stream, "nesting too deep");
  MessagePtr item = initMessageInfo(*field.itemType);
  item->setDecodeDepth(parent.decodeDepth() + 1);
  if (!decodeInto(stream, *item)) {
    std::printf("<ERROR> %s decoder failed: Unable to decode repeated %s\n", item->name(),
                item->name());
    return false;
  }
  appendItem(slot, Value{.message = item.release()});
  return true;
}

// The callback of every string and repeated field: one value (or one item) per call.
bool decodeField(pb_istream_t* stream, const pb_field_iter_t* iter, void** arg) {
  Message& message = *static_cast<Message*>(*arg);
  const int32_t index = message.type().indexOfTag(iter->tag);
  const FieldInfo& field = message.field(index);
  Slot& slot = message.slot(index);
  if (field.isRepeated() && field.isMessage())
    return decodeItemMessage(stream, message, field, slot);
  if (field.isRepeated() && !field.isText()) {
    uint64_t bits;
    if (!pb_decode_varint(stream, &bits)) return false;
    appendItem(slot, Value{.bits = bits});
    return true;
  }
  // The first occurrence of a singular string wins; later ones are read past.
  if (!field.isRepeated() && slot.count) return pb_read(stream, nullptr, stream->bytes_left);
  Bytes* bytes = readBytes(stream);
  if (bytes == nullptr) return false;
  if (field.isRepeated()) {
    appendItem(slot, Value{.bytes = bytes});
  } else {
    setSingular(slot, field.kind, Value{.bytes = bytes});
  }
  return true;
}

// Points the callbacks of `nano` at `message`. A singular sub-message is decoded by nanopb into
// the nested struct, so its message is created beforehand and dropped again when absent.
void bindDecoders(Message& message, char* nano) {
  for (int32_t index = 0; index < message.fieldCount(); ++index) {
    const FieldInfo& field = message.field(index);
    if (field.isRepeated() || field.isText()) {
      callbackIn(nano, field).funcs.decode = decodeField;
      callbackIn(nano, field).arg = &message;
    } else if (field.isMessage()) {
      MessagePtr child = initMessageInfo(*field.itemType);
      child->setDecodeDepth(message.decodeDepth() + 1);
      bindDecoders(*child, nano + field.valueOffset);
      setSingular(message.slot(index), field.kind, Value{.message = child.release()});
    }
  }
}

// Moves the static fields nanopb decoded into the message; only present ones, so that schema
// defaults never reach it.
void copyStatics(char* nano, Message& message) {
  for (int32_t index = 0; index < message.fieldCount(); ++index) {
    const FieldInfo& field = message.field(index);
    if (field.isRepeated() || field.isText()) continue;
    Slot& slot = message.slot(index);
    const bool present = presenceIn(nano, field);
    if (field.isMessage()) {
      if (present) {
        copyStatics(nano + field.valueOffset, *slot.value.message);
      } else {
        deallocMessageField(message, index);
      }
    } else if (present) {
      setSingular(slot, field.kind, readScalar(field.kind, nano + field.valueOffset));
    }
  }
}

bool decodeInto(pb_istream_t* stream, Message& message) {
  NanopbStruct nano(message.type());
  bindDecoders(message, nano.data());
  if (!pb_decode_ex(stream, message.type().descriptor, nano.data(), PB_DECODE_NOINIT)) {
    std::printf("<ERROR> %s decoder failed: %s\n", message.name(), PB_GET_ERROR(stream));
    return false;
  }
  copyStatics(nano.data(), message);
  return true;
}

}  // namespace

MessagePtr decodeMessageInfo(const MessageType& type, const uint8_t* bytes, size_t length) {
  MessagePtr message = initMessageInfo(type);
  pb_istream_t stream = pb_istream_from_buffer(bytes, length);
  if (!decodeInto(&stream, *message)) return nullptr;
  return message;
}

}  // namespace wire
