// The field access layer: every other part of the measurement code reads and writes a wire
// message's fields through these operations, by the field's access index (the k<Message>_<field>
// constants of apmpb.h), never by wire tag.
//
//   APMPBMeasurementBundle bundle;
//   APMPBSetInt32(bundle, kMeasurementBundle_protocol_version, 1);
//   APMPBSetArray(bundle, kMeasurementBundle_events, events);          // std::vector<APMPBEvent>
//   std::optional<std::string> app = APMPBGetString(bundle, kMeasurementBundle_app_id);
//
// Every operation checks that the wrapper holds a message and that the field's kind suits it.
// On misuse it logs and answers a neutral value (false, 0, 0.0, nullopt, an empty array),
// changing nothing: "ProtocolBuffer message hasn't been initialized. <Operation> can't be
// performed" and "<Nano/Failure> Field type isn't ..." go to the console (os/log), "<ERROR> ..."
// texts to standard output. An index outside the message counts as a kind mismatch. Getters
// never allocate in the message; setters replace the field's value with their own copy.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/wire/nano_message.h"
#include "os/value/value.h"

// A repeated field always counts as present; a singular one once set, until cleared.
bool APMPBHasField(const NANOMessageBase& message, int32_t index);
// A singular field becomes absent, a repeated one empty.
void APMPBClearField(NANOMessageBase& message, int32_t index);

// bool fields: true only when the field holds 1.
bool APMPBGetBool(const NANOMessageBase& message, int32_t index);
void APMPBSetBool(NANOMessageBase& message, int32_t index, bool value);
// int32, uint32 and enum fields.
int32_t APMPBGetInt32(const NANOMessageBase& message, int32_t index);
void APMPBSetInt32(NANOMessageBase& message, int32_t index, int32_t value);
// int64 and uint64 fields.
int64_t APMPBGetInt64(const NANOMessageBase& message, int32_t index);
void APMPBSetInt64(NANOMessageBase& message, int32_t index, int64_t value);
float APMPBGetFloat(const NANOMessageBase& message, int32_t index);
void APMPBSetFloat(NANOMessageBase& message, int32_t index, float value);
double APMPBGetDouble(const NANOMessageBase& message, int32_t index);
void APMPBSetDouble(NANOMessageBase& message, int32_t index, double value);

// string fields: nullopt when absent or not UTF-8; a present empty string is "". Setting
// nullopt clears the field.
std::optional<std::string> APMPBGetString(const NANOMessageBase& message, int32_t index);
void APMPBSetString(NANOMessageBase& message, int32_t index, std::optional<std::string_view> value);
// The raw bytes of a string or bytes field; nullopt when absent. Setting nullopt clears it.
std::optional<os::Data> APMPBGetBytes(const NANOMessageBase& message, int32_t index);
void APMPBSetBytes(NANOMessageBase& message, int32_t index,
                   std::optional<std::span<const uint8_t>> value);

// Singular sub-message fields. The getter answers a deep copy as a new wrapper (nullopt when
// absent or when `Wrapper` is not the field's message); a changed sub-message must be set
// again. The setter stores its own copy of `value`, whose message type must be the field's;
// nullptr clears the field.
void APMPBSetMessage(NANOMessageBase& message, int32_t index, const NANOMessageBase* value);
template <std::derived_from<NANOMessageBase> Wrapper>
std::optional<Wrapper> APMPBGetMessage(const NANOMessageBase& message, int32_t index);

// Repeated fields of numbers and strings, as values: bools as Boolean, int32 and enum items as
// Integer, uint32 and uint64 as Unsigned, int64 as Integer, float and double as Real, strings as
// String (items that are not UTF-8 are left out). Numbers are converted as the platform's
// number accessors do (a Real 2.7 into an int field stores 2). An element of the wrong type
// logs "<ERROR> Invalid object type. <Kind> fields expect <class>. Type: <type>" and leaves the
// field empty; nullopt empties it.
os::Array APMPBGetArray(const NANOMessageBase& message, int32_t index);
void APMPBSetArray(NANOMessageBase& message, int32_t index, const std::optional<os::Array>& values);
// Repeated message fields, as wrappers (deep copies both ways). An element whose message type
// is not the field's, or that would nest deeper than wire::kMaxNestingDepth, leaves the field
// empty.
template <std::derived_from<NANOMessageBase> Wrapper>
std::vector<Wrapper> APMPBGetArray(const NANOMessageBase& message, int32_t index);
void APMPBSetArray(NANOMessageBase& message, int32_t index,
                   std::span<const NANOMessageBase* const> messages);
template <std::derived_from<NANOMessageBase> Wrapper>
void APMPBSetArray(NANOMessageBase& message, int32_t index, const std::vector<Wrapper>& messages);

namespace wire::internal {
// The sub-message in field `index`, after the access checks; nullptr when absent or refused.
const Message* messageField(const NANOMessageBase& message, int32_t index);
// The items of the repeated message field `index`, after the access checks.
std::span<const Value> messageItems(const NANOMessageBase& message, int32_t index);
}  // namespace wire::internal

template <std::derived_from<NANOMessageBase> Wrapper>
std::optional<Wrapper> APMPBGetMessage(const NANOMessageBase& message, int32_t index) {
  const wire::Message* field = wire::internal::messageField(message, index);
  if (field == nullptr) return std::nullopt;
  return Wrapper::initWithMessageInfo(field);
}

template <std::derived_from<NANOMessageBase> Wrapper>
std::vector<Wrapper> APMPBGetArray(const NANOMessageBase& message, int32_t index) {
  std::vector<Wrapper> wrappers;
  for (wire::Value item : wire::internal::messageItems(message, index)) {
    if (std::optional<Wrapper> wrapper = Wrapper::initWithMessageInfo(item.message)) {
      wrappers.push_back(std::move(*wrapper));
    }
  }
  return wrappers;
}

template <std::derived_from<NANOMessageBase> Wrapper>
void APMPBSetArray(NANOMessageBase& message, int32_t index, const std::vector<Wrapper>& messages) {
  std::vector<const NANOMessageBase*> elements;
  elements.reserve(messages.size());
  for (const Wrapper& element : messages) elements.push_back(&element);
  APMPBSetArray(message, index, std::span<const NANOMessageBase* const>(elements));
}
