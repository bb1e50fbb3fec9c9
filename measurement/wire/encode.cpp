#include "measurement/wire/encode.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>

namespace wire {
namespace {

// Encoding walks our own tables in tag order instead of nanopb's descriptors: nanopb's
// per-field descriptor walk and stream calls made encoding ten times slower than libprotobuf,
// and its sub-message encoder measures every level again below each level. Here every message
// is measured once, bottom-up, and the tree is then written in one pass into a buffer of exactly
// that size. The bytes are libprotobuf's (the differential test holds the two to that).

enum WireType : uint8_t { kVarint = 0, kFixed64 = 1, kDelimited = 2, kFixed32 = 5 };

WireType wireType(int32_t kind) {
  if (kind & (kString | kBytes | kMessage)) return kDelimited;
  if (kind & kFloat) return kFixed32;
  if (kind & kDouble) return kFixed64;
  return kVarint;
}

// The varint of an integer kind. Signed 32-bit kinds are sign-extended to ten bytes when
// negative; a singular uint32 is its low 32 bits, while repeated integers keep the whole 64-bit
// cell they were decoded from.
uint64_t varintOf(int32_t kind, Value value) {
  if (kind & (kEnum | kInt32))
    return static_cast<uint64_t>(int64_t{static_cast<int32_t>(value.bits)});
  if ((kind & kUInt32) && !(kind & kRepeated)) return static_cast<uint32_t>(value.bits);
  return value.bits;
}

// Most keys, lengths and values fit one byte: those take the short road.
size_t varintSize(uint64_t value) { return value < 0x80 ? 1 : (std::bit_width(value) + 6) / 7; }

uint8_t* putVarint(uint8_t* out, uint64_t value) {
  if (value < 0x80) {
    *out = static_cast<uint8_t>(value);
    return out + 1;
  }
  for (; value >= 0x80; value >>= 7) *out++ = static_cast<uint8_t>(value | 0x80);
  *out++ = static_cast<uint8_t>(value);
  return out;
}

size_t measure(const Message& message);

// What one value takes after its tag.
size_t valueSize(int32_t kind, WireType wire, Value value) {
  switch (wire) {
    case kFixed32:
      return 4;
    case kFixed64:
      return 8;
    case kVarint:
      return varintSize(varintOf(kind, value));
    case kDelimited:
      break;
  }
  const size_t size = (kind & kMessage) ? measure(*value.message) : value.bytes->size();
  return varintSize(size) + size;
}

// The encoded size of `message`, kept in it for the writing pass.
size_t measure(const Message& message) {
  const MessageType& type = message.type();
  const Slot* slots = &message.slot(0);
  size_t size = 0;
  for (int32_t index = 0, count = type.fieldCount; index < count; ++index) {
    const Slot& slot = slots[index];
    if (!slot.count) continue;  // absent, or an empty list
    const FieldInfo& field = type.fields[index];
    const int32_t kind = field.kind;
    const WireType wire = wireType(kind);
    size += slot.count * varintSize(uint64_t{field.tag} << 3);
    if (!field.isRepeated()) {
      size += valueSize(kind, wire, slot.value);
    } else if (kind & kMessage) {
      // Lists of messages (events, parameters, items) are most of a batch: no dispatch per item.
      for (uint32_t i = 0; i < slot.count; ++i) {
        const size_t item = measure(*slot.items[i].message);
        size += varintSize(item) + item;
      }
    } else {
      for (uint32_t i = 0; i < slot.count; ++i) size += valueSize(kind, wire, slot.items[i]);
    }
  }
  message.setEncodedSize(size);
  return size;
}

uint8_t* writeFields(uint8_t* out, const Message& message);

// Text values are mostly short names: copied inline rather than through a library call.
uint8_t* putBytes(uint8_t* out, const Bytes& bytes) {
  const size_t size = bytes.size();
  out = putVarint(out, size);
  const char* data = bytes.data();
  if (size <= 16) {
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(data[i]);
  } else {
    std::memcpy(out, data, size);
  }
  return out + size;
}

// One value of kind `kind` after its key.
uint8_t* writeValue(uint8_t* out, int32_t kind, WireType type, Value value) {
  switch (type) {
    case kFixed32:
      std::memcpy(out, &value.f, 4);
      return out + 4;
    case kFixed64:
      std::memcpy(out, &value.d, 8);
      return out + 8;
    case kVarint:
      return putVarint(out, varintOf(kind, value));
    case kDelimited:
      break;
  }
  if (kind & kMessage)
    return writeFields(putVarint(out, value.message->encodedSize()), *value.message);
  return putBytes(out, *value.bytes);
}

uint8_t* writeFields(uint8_t* out, const Message& message) {
  // Read once: every byte written through `out` could alias them as far as the compiler knows.
  const MessageType& type = message.type();
  const int16_t* tagOrder = type.tagOrder;
  const Slot* slots = &message.slot(0);
  for (int32_t n = 0, count = type.fieldCount; n < count; ++n) {
    const int32_t index = tagOrder[n];
    const Slot& slot = slots[index];
    if (!slot.count) continue;  // absent, or an empty list
    const FieldInfo& field = type.fields[index];
    const int32_t kind = field.kind;
    const WireType wire = wireType(kind);
    const uint64_t key = uint64_t{field.tag} << 3 | wire;
    if (!field.isRepeated()) {
      out = writeValue(putVarint(out, key), kind, wire, slot.value);
    } else if (kind & kMessage) {
      for (uint32_t i = 0; i < slot.count; ++i) {
        const Message& item = *slot.items[i].message;
        out = writeFields(putVarint(putVarint(out, key), item.encodedSize()), item);
      }
    } else {
      for (uint32_t i = 0; i < slot.count; ++i)
        out = writeValue(putVarint(out, key), kind, wire, slot.items[i]);
    }
  }
  return out;
}

}  // namespace

std::optional<os::Data> encodeMessageInfo(const Message& message) {
  const size_t size = measure(message);
  if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    std::printf("<ERROR> %s encoder failed: %zu bytes is too big\n", message.name(), size);
    return std::nullopt;
  }
  os::Data bytes(size);
  writeFields(bytes.data(), message);
  return bytes;
}

}  // namespace wire
