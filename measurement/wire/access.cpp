#include "measurement/wire/access.h"

#include <fmt/format.h>
#include <fmt/ostream.h>

#include <cstdio>

#include "os/log/log.h"
#include "os/text/text.h"

using wire::FieldInfo;
using wire::Message;
using wire::Slot;
using wire::Value;

namespace {

// What an operation accepts, and the word its kind-mismatch line names.
struct KindCheck {
  const char* word;
  bool (*accepts)(int32_t kind);
};

bool isSingular(int32_t kind, int32_t types) { return (kind & types) && !(kind & wire::kRepeated); }

constexpr KindCheck kBoolCheck{"a scalar BOOL",
                               [](int32_t k) { return isSingular(k, wire::kBool); }};
constexpr KindCheck kInt32Check{"a scalar INT32", [](int32_t k) {
                                  return isSingular(k, wire::kEnum | wire::kInt32 | wire::kUInt32);
                                }};
constexpr KindCheck kInt64Check{
    "a scalar INT64", [](int32_t k) { return isSingular(k, wire::kInt64 | wire::kUInt64); }};
constexpr KindCheck kFloatCheck{"a scalar FLOAT",
                                [](int32_t k) { return isSingular(k, wire::kFloat); }};
constexpr KindCheck kDoubleCheck{"a scalar DOUBLE",
                                 [](int32_t k) { return isSingular(k, wire::kDouble); }};
constexpr KindCheck kStringCheck{"a scalar STRING",
                                 [](int32_t k) { return isSingular(k, wire::kString); }};
// Bytes reach the same records as strings; no other kind may be read or written as bytes.
constexpr KindCheck kBytesCheck{
    "a scalar STRING", [](int32_t k) { return isSingular(k, wire::kString | wire::kBytes); }};
constexpr KindCheck kMessageCheck{"a scalar MESSAGE",
                                  [](int32_t k) { return isSingular(k, wire::kMessage); }};
constexpr KindCheck kRepeatedCheck{"REPEATED",
                                   [](int32_t k) { return (k & wire::kRepeated) != 0; }};
constexpr KindCheck kRepeatedMessageCheck{
    "REPEATED", [](int32_t k) { return (k & wire::kRepeated) && (k & wire::kMessage); }};

void logNotInitialized(const char* operation) {
  os::log::console(fmt::format(
      "ProtocolBuffer message hasn't been initialized. {} can't be performed", operation));
}

// The message behind `wrapper` when field `index` passes `check`; else logs and answers nullptr.
const Message* checked(const NANOMessageBase& wrapper, int32_t index, const char* operation,
                       const KindCheck& check) {
  const Message* message = wrapper.messageInfo();
  if (message == nullptr) {
    logNotInitialized(operation);
    return nullptr;
  }
  if (index < 0 || index >= message->fieldCount() || !check.accepts(message->field(index).kind)) {
    os::log::console(fmt::format("<Nano/Failure> Field type isn't {}. Message: {}, field ID: {}",
                                 check.word, message->name(), index));
    return nullptr;
  }
  return message;
}

Message* checked(NANOMessageBase& wrapper, int32_t index, const char* operation,
                 const KindCheck& check) {
  return const_cast<Message*>(checked(std::as_const(wrapper), index, operation, check));
}

// The value of a present singular field, or nullopt.
std::optional<Value> present(const Message* message, int32_t index) {
  if (message == nullptr || message->slot(index).count == 0) return std::nullopt;
  return message->slot(index).value;
}

void setValue(Message* message, int32_t index, Value value) {
  if (message != nullptr)
    wire::setSingular(message->slot(index), message->field(index).kind, value);
}

void setText(Message* message, int32_t index, const void* data, size_t size, bool clear) {
  if (message == nullptr) return;
  if (clear) {
    wire::deallocMessageField(*message, index);
  } else {
    setValue(message, index, Value{.bytes = wire::Bytes::create(data, size)});
  }
}

std::string typeName(const os::Value& value) {
  return fmt::format("{}", fmt::streamed(value.type()));
}

// "<Kind> fields expect <class>" for the first kind bit of `kind` in the order the array writer
// tests them.
const char* expectation(int32_t kind) {
  if (kind & wire::kBool) return "Boolean fields expect NSNumber";
  if (kind & (wire::kInt32 | wire::kUInt32)) return "Int32 fields expect NSNumber";
  if (kind & (wire::kInt64 | wire::kUInt64)) return "Int64 fields expect NSNumber";
  if (kind & wire::kFloat) return "Float fields expect NSNumber";
  if (kind & wire::kDouble) return "Double fields expect NSNumber";
  if (kind & wire::kEnum) return "Enum fields expect NSNumber";
  if (kind & wire::kString) return "String fields expect NSString";
  if (kind & wire::kBytes) return "Bytes fields expect NSData";
  return "Message fields expect NANOMessageBase";
}

void printWrongElement(int32_t kind, const std::string& type) {
  std::printf("<ERROR> Invalid object type. %s. Type: %s\n", expectation(kind), type.c_str());
}

// The 64-bit pattern of a number as the platform's longLongValue gives it.
uint64_t integerBits(const os::Value& number) {
  if (const uint64_t* value = number.asUnsigned()) return *value;
  return static_cast<uint64_t>(number.integerValue());
}

// An item of kind `kind` made from a value, or nullopt after logging the wrong element.
std::optional<Value> itemFrom(int32_t kind, const os::Value& element) {
  const bool isNumber = element.isNumber() || element.isBool();
  Value item{.bits = 0};
  if (kind & (wire::kString | wire::kBytes)) {
    const std::string* text = element.asString();
    const os::Data* data = element.asData();
    if ((kind & wire::kString) ? text == nullptr : data == nullptr) {
      printWrongElement(kind, typeName(element));
      return std::nullopt;
    }
    item.bytes = text ? wire::Bytes::create(text->data(), text->size())
                      : wire::Bytes::create(data->data(), data->size());
    return item;
  }
  if ((kind & wire::kMessage) || !isNumber) {
    printWrongElement(kind, typeName(element));
    return std::nullopt;
  }
  if (kind & wire::kBool) {
    item.bits = element.boolValue() ? 1 : 0;
  } else if (kind & (wire::kInt32 | wire::kUInt32 | wire::kEnum)) {
    item.bits = static_cast<uint32_t>(integerBits(element));
  } else if (kind & (wire::kInt64 | wire::kUInt64)) {
    item.bits = integerBits(element);
  } else if (kind & wire::kFloat) {
    item.f = static_cast<float>(element.doubleValue());
  } else {
    item.d = element.doubleValue();
  }
  return item;
}

// A deep copy of a wrapper's message for a repeated message field, or nullopt after logging.
std::optional<Value> itemFrom(const FieldInfo& field, const NANOMessageBase& element) {
  const Message* info = element.messageInfo();
  if (!(field.kind & wire::kMessage) || info == nullptr || &info->type() != field.itemType) {
    printWrongElement(field.kind, element.className());
    return std::nullopt;
  }
  if (wire::nestingDepth(*info) + 1 > wire::kMaxNestingDepth) {
    std::printf("<ERROR> Message nests deeper than %d levels. Type: %s\n", wire::kMaxNestingDepth,
                element.className().c_str());
    return std::nullopt;
  }
  return Value{.message = wire::copyMessageInfo(*info).release()};
}

// Replaces repeated field `index` with the items made from `elements`; the first element that
// cannot be made leaves the field empty.
template <class Elements, class MakeItem>
void setItems(Message* message, int32_t index, const Elements& elements, MakeItem makeItem) {
  if (message == nullptr) return;
  const int32_t kind = message->field(index).kind;
  Slot items{};
  bool complete = true;
  for (const auto& element : elements) {
    std::optional<Value> item = makeItem(element);
    if (!item) {
      complete = false;
      break;
    }
    wire::appendItem(items, *item);
  }
  wire::deallocMessageField(*message, index);
  if (complete) {
    message->slot(index) = items;
    return;
  }
  for (uint32_t i = 0; i < items.count; ++i) wire::freeValue(kind, items.items[i]);
  delete[] items.items;
}

// A value for one item of a repeated field of numbers or strings, in the order the kinds are
// tested; nullopt for items that have no such value.
std::optional<os::Value> valueOf(int32_t kind, Value item) {
  if (kind & wire::kBool) return os::Value((item.bits & 0xFF) != 0);
  if (kind & wire::kInt32) return os::Value(static_cast<int32_t>(item.bits));
  if (kind & wire::kUInt32) return os::Value(static_cast<uint32_t>(item.bits));
  if (kind & wire::kInt64) return os::Value(static_cast<int64_t>(item.bits));
  if (kind & wire::kUInt64) return os::Value(static_cast<uint64_t>(item.bits));
  if (kind & wire::kFloat) return os::Value(static_cast<double>(item.f));
  if (kind & wire::kDouble) return os::Value(item.d);
  if (kind & wire::kEnum) return os::Value(static_cast<int32_t>(item.bits));
  const std::string_view text(item.bytes->data(), item.bytes->size());
  if (kind & wire::kString) {
    if (!os::text::isValidUtf8(text)) return std::nullopt;
    return os::Value(text);
  }
  if (kind & wire::kBytes) return os::Value(os::Data(text.begin(), text.end()));
  std::printf(
      "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: (null)\n");
  return std::nullopt;
}

}  // namespace

bool APMPBHasField(const NANOMessageBase& wrapper, int32_t index) {
  const Message* message = wrapper.messageInfo();
  if (message == nullptr) {
    os::log::console(
        fmt::format("ProtocolBuffer message hasn't been initialized. HasField operation can't be "
                    "performed. Message name {}",
                    wrapper.messageID()));
    return false;
  }
  if (index < 0 || index >= message->fieldCount()) {
    os::log::console(fmt::format("<Nano/Failure> Unknown field. Message: {}, field ID: {}",
                                 message->name(), index));
    return false;
  }
  return message->field(index).isRepeated() || message->slot(index).count != 0;
}

void APMPBClearField(NANOMessageBase& wrapper, int32_t index) {
  if (Message* message = wrapper.messageInfo()) {
    wire::deallocMessageField(*message, index);
  } else {
    logNotInitialized("ClearField");
  }
}

bool APMPBGetBool(const NANOMessageBase& message, int32_t index) {
  std::optional<Value> value = present(checked(message, index, "GetBool", kBoolCheck), index);
  return value && value->bits == 1;
}

void APMPBSetBool(NANOMessageBase& message, int32_t index, bool value) {
  setValue(checked(message, index, "SetBool", kBoolCheck), index, Value{.bits = value ? 1u : 0u});
}

int32_t APMPBGetInt32(const NANOMessageBase& message, int32_t index) {
  std::optional<Value> value = present(checked(message, index, "GetInt32", kInt32Check), index);
  return value ? static_cast<int32_t>(static_cast<uint32_t>(value->bits)) : 0;
}

void APMPBSetInt32(NANOMessageBase& message, int32_t index, int32_t value) {
  setValue(checked(message, index, "SetInt32", kInt32Check), index,
           Value{.bits = static_cast<uint32_t>(value)});
}

int64_t APMPBGetInt64(const NANOMessageBase& message, int32_t index) {
  std::optional<Value> value = present(checked(message, index, "GetInt64", kInt64Check), index);
  return value ? static_cast<int64_t>(value->bits) : 0;
}

void APMPBSetInt64(NANOMessageBase& message, int32_t index, int64_t value) {
  setValue(checked(message, index, "SetInt64", kInt64Check), index,
           Value{.bits = static_cast<uint64_t>(value)});
}

float APMPBGetFloat(const NANOMessageBase& message, int32_t index) {
  std::optional<Value> value = present(checked(message, index, "GetFloat", kFloatCheck), index);
  return value ? value->f : 0.0f;
}

void APMPBSetFloat(NANOMessageBase& message, int32_t index, float value) {
  Value cell{.bits = 0};
  cell.f = value;
  setValue(checked(message, index, "SetFloat", kFloatCheck), index, cell);
}

double APMPBGetDouble(const NANOMessageBase& message, int32_t index) {
  std::optional<Value> value = present(checked(message, index, "GetDouble", kDoubleCheck), index);
  return value ? value->d : 0.0;
}

void APMPBSetDouble(NANOMessageBase& message, int32_t index, double value) {
  setValue(checked(message, index, "SetDouble", kDoubleCheck), index, Value{.d = value});
}

std::optional<std::string> APMPBGetString(const NANOMessageBase& message, int32_t index) {
  std::optional<Value> value = present(checked(message, index, "GetString", kStringCheck), index);
  if (!value) return std::nullopt;
  std::string text(value->bytes->data(), value->bytes->size());
  if (!os::text::isValidUtf8(text)) return std::nullopt;
  return text;
}

void APMPBSetString(NANOMessageBase& message, int32_t index,
                    std::optional<std::string_view> value) {
  setText(checked(message, index, "SetString", kStringCheck), index,
          value ? value->data() : nullptr, value ? value->size() : 0, !value);
}

std::optional<os::Data> APMPBGetBytes(const NANOMessageBase& message, int32_t index) {
  std::optional<Value> value = present(checked(message, index, "GetBytes", kBytesCheck), index);
  if (!value) return std::nullopt;
  const char* data = value->bytes->data();
  return os::Data(data, data + value->bytes->size());
}

void APMPBSetBytes(NANOMessageBase& message, int32_t index,
                   std::optional<std::span<const uint8_t>> value) {
  setText(checked(message, index, "SetBytes", kBytesCheck), index, value ? value->data() : nullptr,
          value ? value->size() : 0, !value);
}

void APMPBSetMessage(NANOMessageBase& wrapper, int32_t index, const NANOMessageBase* value) {
  Message* message = checked(wrapper, index, "SetMessage", kMessageCheck);
  if (message == nullptr) return;
  if (value == nullptr) {
    wire::deallocMessageField(*message, index);
    return;
  }
  const Message* info = value->messageInfo();
  if (info == nullptr || &info->type() != message->field(index).itemType) {
    os::log::console(fmt::format("<Nano/Failure> Field type isn't {}. Message: {}, field ID: {}",
                                 kMessageCheck.word, message->name(), index));
    return;
  }
  setValue(message, index, Value{.message = wire::copyMessageInfo(*info).release()});
}

os::Array APMPBGetArray(const NANOMessageBase& wrapper, int32_t index) {
  os::Array values;
  const Message* message = checked(wrapper, index, "GetArray", kRepeatedCheck);
  if (message == nullptr) return values;
  const Slot& slot = message->slot(index);
  for (uint32_t i = 0; i < slot.count; ++i) {
    if (std::optional<os::Value> value = valueOf(message->field(index).kind, slot.items[i])) {
      values.push_back(std::move(*value));
    }
  }
  return values;
}

void APMPBSetArray(NANOMessageBase& wrapper, int32_t index,
                   const std::optional<os::Array>& values) {
  Message* message = checked(wrapper, index, "SetArray", kRepeatedCheck);
  const int32_t kind = message ? message->field(index).kind : 0;
  static const os::Array kNoValues;
  setItems(message, index, values ? *values : kNoValues,
           [kind](const os::Value& element) { return itemFrom(kind, element); });
}

void APMPBSetArray(NANOMessageBase& wrapper, int32_t index,
                   std::span<const NANOMessageBase* const> messages) {
  Message* message = checked(wrapper, index, "SetArray", kRepeatedCheck);
  if (message == nullptr) return;
  const FieldInfo& field = message->field(index);
  setItems(message, index, messages,
           [&field](const NANOMessageBase* element) { return itemFrom(field, *element); });
}

namespace wire::internal {

const Message* messageField(const NANOMessageBase& wrapper, int32_t index) {
  std::optional<Value> value = present(checked(wrapper, index, "GetMessage", kMessageCheck), index);
  return value ? value->message : nullptr;
}

std::span<const Value> messageItems(const NANOMessageBase& wrapper, int32_t index) {
  const Message* message = checked(wrapper, index, "GetArray", kRepeatedMessageCheck);
  if (message == nullptr || message->slot(index).count == 0) return {};
  return {message->slot(index).items, message->slot(index).count};
}

}  // namespace wire::internal
