#include "measurement/wire/decode.h"

#include <pb_decode.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

namespace wire {
namespace {

// Decoding walks our own tables with nanopb's stream primitives (tags, varints, fixed values,
// substreams and their error texts) in one pass straight into the message's slots. Going
// through nanopb's descriptors instead meant zeroing a nanopb struct per message, creating
// every singular sub-message up front, a linear field search per tag and a copy of the static
// fields afterwards: more than half of the decoding time.

bool decodeFields(pb_istream_t* stream, Message& message);

// Decodes `stream` as `message`, explaining a failure with the message's name.
bool decodeInto(pb_istream_t* stream, Message& message) {
  if (decodeFields(stream, message)) return true;
  std::printf("<ERROR> %s decoder failed: %s\n", message.name(), PB_GET_ERROR(stream));
  return false;
}

// Messages nested in `parent` are one level deeper; none may lie deeper than the limit.
bool checkNesting(pb_istream_t* stream, const Message& parent, Message& child) {
  if (parent.decodeDepth() >= kMaxNestingDepth) PB_RETURN_ERROR(stream, "nesting too deep");
  child.setDecodeDepth(parent.decodeDepth() + 1);
  return true;
}

// The rest of `stream` as a string value.
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
  MessagePtr item = initMessageInfo(*field.itemType);
  if (!checkNesting(stream, parent, *item)) return false;
  if (!decodeInto(stream, *item)) {
    std::printf("<ERROR> %s decoder failed: Unable to decode repeated %s\n", item->name(),
                item->name());
    return false;
  }
  appendItem(slot, Value{.message = item.release()});
  return true;
}

// One value (or one item) of a string or repeated field, from `stream`: the field's payload,
// or for a value sent with a scalar wire type, that value's raw bytes.
bool decodeCallbackValue(pb_istream_t* stream, Message& message, int32_t index) {
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

// The raw bytes of a value of scalar wire type `wireType`, into `buffer` (ten bytes).
bool readRawValue(pb_istream_t* stream, pb_wire_type_t wireType, pb_byte_t* buffer, size_t* size) {
  switch (wireType) {
    case PB_WT_VARINT:
      *size = 0;
      do {
        if (*size == 10) PB_RETURN_ERROR(stream, "varint overflow");
        if (!pb_read(stream, buffer + *size, 1)) return false;
      } while (buffer[(*size)++] & 0x80);
      return true;
    case PB_WT_64BIT:
      *size = 8;
      return pb_read(stream, buffer, 8);
    case PB_WT_32BIT:
      *size = 4;
      return pb_read(stream, buffer, 4);
    default:
      PB_RETURN_ERROR(stream, "invalid wire_type");
  }
}

// A string or repeated field: a length-delimited payload holds one value, or for repeated
// integers any number of packed ones (none included).
bool decodeCallbackField(pb_istream_t* stream, pb_wire_type_t wireType, Message& message,
                         int32_t index) {
  if (wireType != PB_WT_STRING) {
    pb_byte_t buffer[10];
    size_t size = 0;
    if (!readRawValue(stream, wireType, buffer, &size)) return false;
    pb_istream_t value = pb_istream_from_buffer(buffer, size);
    return decodeCallbackValue(&value, message, index);
  }
  pb_istream_t payload;
  if (!pb_make_string_substream(stream, &payload)) return false;
  const FieldInfo& field = message.field(index);
  const bool packed = field.isRepeated() && !field.isText() && !field.isMessage();
  if (!packed || payload.bytes_left > 0) {
    size_t before;
    do {
      before = payload.bytes_left;
      if (!decodeCallbackValue(&payload, message, index)) {
        PB_SET_ERROR(stream, payload.errmsg ? payload.errmsg : "callback failed");
        return false;
      }
    } while (payload.bytes_left > 0 && payload.bytes_left < before);
  }
  return pb_close_string_substream(stream, &payload);
}

// A singular sub-message: later occurrences merge into the first.
bool decodeSubmessage(pb_istream_t* stream, Message& message, int32_t index) {
  const FieldInfo& field = message.field(index);
  Slot& slot = message.slot(index);
  if (!slot.count) {
    MessagePtr child = initMessageInfo(*field.itemType);
    if (!checkNesting(stream, message, *child)) return false;
    setSingular(slot, field.kind, Value{.message = child.release()});
  }
  pb_istream_t payload;
  if (!pb_make_string_substream(stream, &payload)) return false;
  const bool decoded = decodeFields(&payload, *slot.value.message);
  return pb_close_string_substream(stream, &payload) && decoded;
}

pb_wire_type_t scalarWireType(int32_t kind) {
  if (kind & kFloat) return PB_WT_32BIT;
  if (kind & kDouble) return PB_WT_64BIT;
  return PB_WT_VARINT;
}

// A singular scalar: the last occurrence wins. 32-bit kinds are kept zero-extended; a signed
// one takes the low 32 bits of a longer varint, an unsigned one refuses a larger value.
bool decodeScalar(pb_istream_t* stream, pb_wire_type_t wireType, Message& message, int32_t index) {
  const int32_t kind = message.field(index).kind;
  if (wireType != scalarWireType(kind)) PB_RETURN_ERROR(stream, "wrong wire type");
  Value value{.bits = 0};
  if (kind & kFloat) {
    if (!pb_decode_fixed32(stream, &value.f)) return false;
  } else if (kind & kDouble) {
    if (!pb_decode_fixed64(stream, &value.d)) return false;
  } else if (kind & kBool) {
    bool flag;
    if (!pb_decode_bool(stream, &flag)) return false;
    value.bits = flag ? 1 : 0;
  } else {
    if (!pb_decode_varint(stream, &value.bits)) return false;
    if (kind & (kEnum | kInt32)) {
      value.bits = static_cast<uint32_t>(value.bits);
    } else if ((kind & kUInt32) && value.bits > std::numeric_limits<uint32_t>::max()) {
      PB_RETURN_ERROR(stream, "integer too large");
    }
  }
  setSingular(message.slot(index), kind, value);
  return true;
}

// Every field of `stream` into `message`; unknown tags are skipped.
bool decodeFields(pb_istream_t* stream, Message& message) {
  const MessageType& type = message.type();
  while (stream->bytes_left) {
    pb_wire_type_t wireType;
    uint32_t tag;
    bool eof;
    if (!pb_decode_tag(stream, &wireType, &tag, &eof)) return eof;
    if (tag == 0) PB_RETURN_ERROR(stream, "zero tag");
    const int32_t index = type.indexOfTag(tag);
    if (index < 0) {
      if (!pb_skip_field(stream, wireType)) return false;
      continue;
    }
    const FieldInfo& field = type.fields[index];
    bool decoded;
    if (field.isRepeated() || field.isText()) {
      decoded = decodeCallbackField(stream, wireType, message, index);
    } else if (field.isMessage()) {
      if (wireType != PB_WT_STRING) PB_RETURN_ERROR(stream, "wrong wire type");
      decoded = decodeSubmessage(stream, message, index);
    } else {
      decoded = decodeScalar(stream, wireType, message, index);
    }
    if (!decoded) return false;
  }
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
