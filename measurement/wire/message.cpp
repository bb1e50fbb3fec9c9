#include "measurement/wire/message.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace wire {

Bytes* Bytes::allocate(size_t size) {
  void* memory = ::operator new(sizeof(Bytes) + size + 1);
  Bytes* bytes = new (memory) Bytes(size);
  bytes->data()[size] = '\0';
  return bytes;
}

Bytes* Bytes::create(const void* data, size_t size) {
  Bytes* bytes = allocate(size);
  if (size > 0) std::memcpy(bytes->data(), data, size);
  return bytes;
}

void Bytes::destroy(Bytes* bytes) {
  if (bytes == nullptr) return;
  bytes->~Bytes();
  ::operator delete(bytes);
}

MessagePtr initMessageInfo(const MessageType& type) {
  void* memory = ::operator new(sizeof(Message) + type.fieldCount * sizeof(Slot));
  MessagePtr message(new (memory) Message(type));
  std::uninitialized_value_construct_n(message->slots(), type.fieldCount);
  return message;
}

void MessageDeleter::operator()(Message* message) const {
  for (int32_t index = 0; index < message->fieldCount(); ++index) {
    deallocMessageField(*message, index);
  }
  message->~Message();
  ::operator delete(message);
}

Value copyValue(int32_t kind, Value value) {
  if (kind & (kString | kBytes))
    return Value{.bytes = Bytes::create(value.bytes->data(), value.bytes->size())};
  if (kind & kMessage) return Value{.message = copyMessageInfo(*value.message).release()};
  return value;
}

void freeValue(int32_t kind, Value value) {
  if (kind & (kString | kBytes)) Bytes::destroy(value.bytes);
  if (kind & kMessage) MessageDeleter()(value.message);
}

void appendItem(Slot& slot, Value value) {
  if (slot.count == slot.capacity) {
    uint32_t capacity = std::max<uint32_t>(4, slot.capacity * 2);
    Value* items = new Value[capacity];
    if (slot.count > 0) std::memcpy(items, slot.items, slot.count * sizeof(Value));
    delete[] slot.items;
    slot.items = items;
    slot.capacity = capacity;
  }
  slot.items[slot.count++] = value;
}

void setSingular(Slot& slot, int32_t kind, Value value) {
  if (slot.count) freeValue(kind, slot.value);
  slot.value = value;
  slot.count = 1;
}

bool deallocMessageField(Message& message, int32_t index) {
  if (index < 0 || index >= message.fieldCount()) {
    std::printf("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", message.name(), index);
    return false;
  }
  const int32_t kind = message.field(index).kind;
  Slot& slot = message.slot(index);
  if (kind & kRepeated) {
    for (uint32_t i = 0; i < slot.count; ++i) freeValue(kind, slot.items[i]);
    delete[] slot.items;
    slot.items = nullptr;
    slot.capacity = 0;
  } else if (slot.count) {
    freeValue(kind, slot.value);
    slot.value.bits = 0;
  }
  slot.count = 0;
  return true;
}

MessagePtr copyMessageInfo(const Message& source) {
  MessagePtr copy = initMessageInfo(source.type());
  for (int32_t index = 0; index < source.fieldCount(); ++index) {
    const int32_t kind = source.field(index).kind;
    const Slot& from = source.slot(index);
    Slot& to = copy->slot(index);
    if (kind & kRepeated) {
      if (from.count == 0) continue;
      to.items = new Value[from.count];
      to.capacity = from.count;
      for (uint32_t i = 0; i < from.count; ++i)
        to.items[to.count++] = copyValue(kind, from.items[i]);
    } else if (from.count) {
      setSingular(to, kind, copyValue(kind, from.value));
    }
  }
  return copy;
}

int nestingDepth(const Message& message) {
  int deepest = 0;
  for (int32_t index = 0; index < message.fieldCount(); ++index) {
    const FieldInfo& field = message.field(index);
    if (!field.isMessage()) continue;
    const Slot& slot = message.slot(index);
    if (field.isRepeated()) {
      for (uint32_t i = 0; i < slot.count; ++i)
        deepest = std::max(deepest, nestingDepth(*slot.items[i].message));
    } else if (slot.count) {
      deepest = std::max(deepest, nestingDepth(*slot.value.message));
    }
  }
  return deepest + 1;
}

}  // namespace wire
