#include "measurement/wire/encode.h"

#include <pb_encode.h>

#include <cstdio>
#include <limits>

#include "measurement/wire/nanopb_struct.h"

namespace wire {
namespace {

using internal::NanopbStruct;

size_t varintSize(uint64_t value) {
  size_t size = 1;
  for (; value >= 0x80; value >>= 7) ++size;
  return size;
}

size_t measure(const Message& message);

// What a value of kind `kind` takes after its tag. Signed 32-bit kinds are sign-extended to ten
// bytes when negative, as nanopb writes them; repeated integers go through our callback, which
// writes the whole 64-bit cell.
size_t valueSize(int32_t kind, Value value) {
  if (kind & kMessage) {
    const size_t size = measure(*value.message);
    return varintSize(size) + size;
  }
  if (kind & (kString | kBytes)) return varintSize(value.bytes->size()) + value.bytes->size();
  if (kind & kFloat) return 4;
  if (kind & kDouble) return 8;
  if (kind & kBool) return 1;
  if (kind & (kEnum | kInt32)) {
    return varintSize(static_cast<uint64_t>(int64_t{static_cast<int32_t>(value.bits)}));
  }
  if ((kind & kUInt32) && !(kind & kRepeated)) return varintSize(static_cast<uint32_t>(value.bits));
  return varintSize(value.bits);
}

// The encoded size of `message`, remembered in it for the writing pass.
size_t measure(const Message& message) {
  size_t size = 0;
  for (int32_t index = 0; index < message.fieldCount(); ++index) {
    const FieldInfo& field = message.field(index);
    const Slot& slot = message.slot(index);
    const size_t tagSize = varintSize(uint64_t{field.tag} << 3);
    if (field.isRepeated()) {
      for (uint32_t i = 0; i < slot.count; ++i)
        size += tagSize + valueSize(field.kind, slot.items[i]);
    } else if (slot.count) {
      size += tagSize + valueSize(field.kind, slot.value);
    }
  }
  message.setEncodedSize(size);
  return size;
}

bool encodeInto(pb_ostream_t* stream, const Message& message);

bool encodeItemMessage(pb_ostream_t* stream, const Message& item) {
  const size_t size = item.encodedSize();
  if (!pb_encode_varint(stream, size)) return false;
  // nanopb measuring an enclosing static sub-message: the size is already known.
  if (stream->callback == nullptr) return pb_write(stream, nullptr, size);
  const size_t start = stream->bytes_written;
  if (!encodeInto(stream, item)) return false;
  if (stream->bytes_written - start != size) PB_RETURN_ERROR(stream, "submessage size changed");
  return true;
}

bool encodeText(pb_ostream_t* stream, const Bytes* bytes) {
  return pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(bytes->data()), bytes->size());
}

// The callback of every present string and non-empty repeated field.
bool encodeField(pb_ostream_t* stream, const pb_field_iter_t* iter, void* const* arg) {
  const Message& message = *static_cast<const Message*>(*arg);
  const int32_t index = message.type().indexOfTag(iter->tag);
  const FieldInfo& field = message.field(index);
  const Slot& slot = message.slot(index);
  if (!field.isRepeated()) {
    return pb_encode_tag_for_field(stream, iter) && encodeText(stream, slot.value.bytes);
  }
  for (uint32_t i = 0; i < slot.count; ++i) {
    const Value item = slot.items[i];
    if (!pb_encode_tag_for_field(stream, iter)) return false;
    const bool written = field.isMessage() ? encodeItemMessage(stream, *item.message)
                         : field.isText()  ? encodeText(stream, item.bytes)
                                           : pb_encode_varint(stream, item.bits);
    if (!written) return false;
  }
  return true;
}

void fillStruct(const Message& message, char* nano) {
  for (int32_t index = 0; index < message.fieldCount(); ++index) {
    const FieldInfo& field = message.field(index);
    const Slot& slot = message.slot(index);
    if (slot.count == 0) continue;
    if (field.isRepeated() || field.isText()) {
      internal::callbackIn(nano, field).funcs.encode = encodeField;
      internal::callbackIn(nano, field).arg = const_cast<Message*>(&message);
      continue;
    }
    internal::presenceIn(nano, field) = true;
    if (field.isMessage()) {
      fillStruct(*slot.value.message, nano + field.valueOffset);
    } else {
      internal::writeScalar(field.kind, slot.value, nano + field.valueOffset);
    }
  }
}

bool encodeInto(pb_ostream_t* stream, const Message& message) {
  NanopbStruct nano(message.type());
  fillStruct(message, nano.data());
  return pb_encode(stream, message.type().descriptor, nano.data());
}

}  // namespace

std::optional<os::Data> encodeMessageInfo(const Message& message) {
  const size_t size = measure(message);
  if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    std::printf("<ERROR> %s encoder failed: %zu bytes is too big\n", message.name(), size);
    return std::nullopt;
  }
  os::Data bytes(size);
  pb_ostream_t stream = pb_ostream_from_buffer(bytes.data(), size);
  if (!encodeInto(&stream, message) || stream.bytes_written != size) {
    std::printf("<ERROR> %s encoder failed: %s\n", message.name(), PB_GET_ERROR(&stream));
    return std::nullopt;
  }
  return bytes;
}

}  // namespace wire
