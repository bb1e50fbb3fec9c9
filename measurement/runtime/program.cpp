#include "measurement/runtime/program.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstring>

namespace measurement::runtime {

namespace {

bool readString(pb_istream_t* stream, std::string* out) {
  pb_istream_t sub;
  if (!pb_make_string_substream(stream, &sub)) return false;
  out->resize(sub.bytes_left);
  bool ok = pb_read(&sub, reinterpret_cast<pb_byte_t*>(out->data()), sub.bytes_left);
  return pb_close_string_substream(stream, &sub) && ok;
}

// Reads a length-delimited sub-message with `read`.
template <class Read>
bool readMessage(pb_istream_t* stream, Read read) {
  pb_istream_t sub;
  if (!pb_make_string_substream(stream, &sub)) return false;
  bool ok = read(&sub);
  return pb_close_string_substream(stream, &sub) && ok;
}

// Calls `field(number, wireType)` for every field; `field` returns false to fail, and skips
// fields it does not know with pb_skip_field.
template <class Field>
bool readFields(pb_istream_t* stream, Field field) {
  while (stream->bytes_left > 0) {
    pb_wire_type_t wireType;
    uint32_t number;
    bool eof;
    if (!pb_decode_tag(stream, &wireType, &number, &eof)) return eof;
    if (!field(number, wireType)) return false;
  }
  return true;
}

bool readEntity(pb_istream_t* stream, RuntimeEntity* entity, int depth) {
  if (depth > kMaxEntityDepth) return false;
  return readFields(stream, [&](uint32_t number, pb_wire_type_t wireType) {
    switch (number) {
      case 1:
        if (wireType != PB_WT_VARINT) break;
        return pb_decode_varint32(stream, &entity->type);
      case 2:
        if (wireType != PB_WT_STRING) break;
        entity->arguments.emplace_back();
        return readMessage(stream, [&](pb_istream_t* sub) {
          return readEntity(sub, &entity->arguments.back(), depth + 1);
        });
      case 3:
        if (wireType != PB_WT_STRING) break;
        return readString(stream, &entity->statementName.emplace());
      case 4:
        if (wireType != PB_WT_STRING) break;
        return readString(stream, &entity->stringValue.emplace());
      case 5: {
        if (wireType != PB_WT_VARINT) break;
        bool value;
        if (!pb_decode_bool(stream, &value)) return false;
        entity->booleanValue = value;
        return true;
      }
      case 6: {
        if (wireType != PB_WT_64BIT) break;
        double value;
        if (!pb_decode_fixed64(stream, &value)) return false;
        entity->numberValue = value;
        return true;
      }
      default:
        break;
    }
    return pb_skip_field(stream, wireType);
  });
}

bool readActivity(pb_istream_t* stream, OgtActivity* activity) {
  return readFields(stream, [&](uint32_t number, pb_wire_type_t wireType) {
    if (number == 1 && wireType == PB_WT_STRING) return readString(stream, &activity->name);
    if (number == 2 && wireType == PB_WT_STRING) {
      activity->data.emplace_back();
      return readMessage(
          stream, [&](pb_istream_t* sub) { return readEntity(sub, &activity->data.back(), 1); });
    }
    return pb_skip_field(stream, wireType);
  });
}

// Encoding.

void appendVarint(std::vector<uint8_t>* out, uint64_t value) {
  pb_byte_t buffer[10];
  pb_ostream_t stream = pb_ostream_from_buffer(buffer, sizeof buffer);
  pb_encode_varint(&stream, value);
  out->insert(out->end(), buffer, buffer + stream.bytes_written);
}

void appendTag(std::vector<uint8_t>* out, pb_wire_type_t wireType, uint32_t number) {
  appendVarint(out, (uint64_t{number} << 3) | wireType);
}

void appendBytes(std::vector<uint8_t>* out, uint32_t number, const void* data, size_t size) {
  appendTag(out, PB_WT_STRING, number);
  appendVarint(out, size);
  const auto* bytes = static_cast<const uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

std::vector<uint8_t> encodeEntity(const RuntimeEntity& entity) {
  std::vector<uint8_t> out;
  if (entity.type != 0) {
    appendTag(&out, PB_WT_VARINT, 1);
    appendVarint(&out, entity.type);
  }
  for (const RuntimeEntity& argument : entity.arguments) {
    std::vector<uint8_t> nested = encodeEntity(argument);
    appendBytes(&out, 2, nested.data(), nested.size());
  }
  if (entity.statementName) {
    appendBytes(&out, 3, entity.statementName->data(), entity.statementName->size());
  }
  if (entity.stringValue)
    appendBytes(&out, 4, entity.stringValue->data(), entity.stringValue->size());
  if (entity.booleanValue) {
    appendTag(&out, PB_WT_VARINT, 5);
    appendVarint(&out, *entity.booleanValue ? 1 : 0);
  }
  if (entity.numberValue) {
    appendTag(&out, PB_WT_64BIT, 6);
    pb_byte_t buffer[8];
    pb_ostream_t stream = pb_ostream_from_buffer(buffer, sizeof buffer);
    double value = *entity.numberValue;
    pb_encode_fixed64(&stream, &value);
    out.insert(out.end(), buffer, buffer + 8);
  }
  return out;
}

}  // namespace

bool decodeProgram(std::span<const uint8_t> bytes, Program* program, os::Error* error) {
  *program = Program();
  pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
  bool ok = readFields(&stream, [&](uint32_t number, pb_wire_type_t wireType) {
    if (number == 1 && wireType == PB_WT_STRING) {
      program->instructions.emplace_back();
      return readMessage(&stream, [&](pb_istream_t* sub) {
        return readEntity(sub, &program->instructions.back(), 1);
      });
    }
    if (number == 2 && wireType == PB_WT_STRING) {
      return readMessage(&stream, [&](pb_istream_t* activities) {
        return readFields(activities, [&](uint32_t field, pb_wire_type_t type) {
          if (field != 1 || type != PB_WT_STRING) return pb_skip_field(activities, type);
          program->activities.emplace_back();
          return readMessage(activities, [&](pb_istream_t* sub) {
            return readActivity(sub, &program->activities.back());
          });
        });
      });
    }
    return pb_skip_field(&stream, wireType);
  });
  if (ok) return true;
  *program = Program();
  return os::fail(error, os::Error(kProgramErrorDomain, kProgramErrorInvalid,
                                   "The event-editing program does not decode."));
}

std::vector<uint8_t> encodeProgram(const Program& program) {
  std::vector<uint8_t> out;
  for (const RuntimeEntity& instruction : program.instructions) {
    std::vector<uint8_t> nested = encodeEntity(instruction);
    appendBytes(&out, 1, nested.data(), nested.size());
  }
  if (!program.activities.empty()) {
    std::vector<uint8_t> activities;
    for (const OgtActivity& activity : program.activities) {
      std::vector<uint8_t> one;
      appendBytes(&one, 1, activity.name.data(), activity.name.size());
      for (const RuntimeEntity& data : activity.data) {
        std::vector<uint8_t> nested = encodeEntity(data);
        appendBytes(&one, 2, nested.data(), nested.size());
      }
      appendBytes(&activities, 1, one.data(), one.size());
    }
    appendBytes(&out, 2, activities.data(), activities.size());
  }
  return out;
}

}  // namespace measurement::runtime
