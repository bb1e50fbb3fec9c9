#include "support/byte_buffer.h"

#include <algorithm>
#include <cstring>

#include "os/crypto/crypto.h"
#include "os/value/exception.h"

namespace {

// True when [index, index + length) lies within [0, capacity). Computed in 64 bits so that an
// index near INT32_MAX cannot wrap around.
bool rangeFits(int32_t index, int32_t length, int32_t capacity) {
  return index >= 0 && length >= 0 && int64_t{index} + length <= capacity;
}

// The capacity rule shared by buffers and arrays: the fixed size when one is set, but never
// more than what is actually held.
int32_t capacityOf(int32_t fixedSize, size_t held) {
  const auto heldSize = static_cast<int32_t>(held);
  return fixedSize > 0 ? std::min(fixedSize, heldSize) : heldSize;
}

// How many slots clearFromIndex may touch: `length` cut at the capacity; 0 when there is
// nothing to clear or the index is negative.
int32_t clearableCount(int32_t index, int32_t length, int32_t capacity) {
  if (index < 0) return 0;
  return static_cast<int32_t>(std::max<int64_t>(0, std::min<int64_t>(length, capacity - index)));
}

}  // namespace

ByteBuffer::ByteBuffer(int32_t size) {
  bytes_.reserve(std::max(size, 0));
  setFixedSize(size);
  setLimit(size);
}

void ByteBuffer::setFixedSize(int32_t size) {
  if (size < 0) return;
  // Bytes held past the old fixed size (a memory stream writes there) are kept, not zeroed.
  bytes_.resize(static_cast<size_t>(size));
  if (limit_ > size) limit_ = size;
  fixedSize_ = size;
}

void ByteBuffer::setLimit(int32_t limit) {
  if (fixedSize_ != 0 && fixedSize_ < limit) limit = fixedSize_;
  limit_ = std::max(limit, 0);
  if (position_ > limit_) position_ = limit_;
  if (mark_ > limit_) mark_ = -1;
}

void ByteBuffer::setPosition(int32_t position) {
  if (limit_ != 0 && limit_ < position) position = limit_;
  position = std::min(position, length());
  position_ = std::max(position, 0);
  if (mark_ > position_) mark_ = -1;
}

void ByteBuffer::setMark(int32_t mark) { mark_ = mark < 0 ? -1 : std::min(mark, length()); }

void ByteBuffer::clear() {
  position_ = 0;
  mark_ = -1;
  limit_ = fixedSize_ > 0 ? fixedSize_ : length();
}

void ByteBuffer::flip() {
  limit_ = position_;
  position_ = 0;
  mark_ = -1;
}

void ByteBuffer::rewind() {
  position_ = 0;
  mark_ = -1;
}

void ByteBuffer::reset() {
  if (mark_ != -1) setPosition(mark_);
}

void ByteBuffer::markPosition() { mark_ = position_; }

int32_t ByteBuffer::remaining() const { return limit_ - position_; }

bool ByteBuffer::hasRemaining() const { return position_ < limit_; }

bool ByteBuffer::checkIndex(int32_t index) const { return index >= 0 && index < limit_; }

bool ByteBuffer::checkIndex(int32_t index, int32_t sizeOfType) const {
  return index >= 0 && int64_t{index} <= int64_t{limit_} - sizeOfType;
}

bool ByteBuffer::checkGetBounds(int32_t elementSize, int32_t arrayLength, int32_t offset,
                                int32_t count) const {
  if (offset < 0 || count < 0 || offset > arrayLength || arrayLength - offset < count) {
    return false;
  }
  return int64_t{remaining()} >= int64_t{count} * elementSize;
}

bool ByteBuffer::checkPutBounds(int32_t elementSize, int32_t arrayLength, int32_t offset,
                                int32_t count) const {
  return checkGetBounds(elementSize, arrayLength, offset, count);
}

bool ByteBuffer::checkStartEndRemaining(int32_t start, int32_t end) const {
  return start >= 0 && start <= end && remaining() >= end;
}

int32_t ByteBuffer::capacity() const { return capacityOf(fixedSize_, bytes_.size()); }

int32_t ByteBuffer::copyFromIndex(int32_t destinationIndex, const ByteBuffer& source,
                                  int32_t sourceIndex, int32_t length) {
  if (!rangeFits(destinationIndex, length, capacity()) ||
      !rangeFits(sourceIndex, length, source.capacity())) {
    return 0;
  }
  if (length > 0) {
    // memmove: the source may be this very buffer, with overlapping ranges.
    std::memmove(bytes_.data() + destinationIndex, source.bytes_.data() + sourceIndex, length);
  }
  return length;
}

int32_t ByteBuffer::clearFromIndex(int32_t index, int32_t length) {
  const int32_t count = clearableCount(index, length, capacity());
  if (count > 0) std::fill_n(bytes_.begin() + index, count, 0);
  return count;
}

ByteBuffer ByteBuffer::nextBytes(int32_t count) {
  std::optional<os::Data> random = os::crypto::randomBytes(std::max(count, 0));
  if (!random) throw os::Exception("...", "...");
  return ByteBuffer(std::move(*random));
}

FixedSizeArray::FixedSizeArray(int32_t size) {
  elements_.reserve(std::max(size, 0));
  setFixedSize(size);
}

void FixedSizeArray::setFixedSize(int32_t size) {
  if (size < 0) return;
  elements_.resize(static_cast<size_t>(size), os::Value(0));
  fixedSize_ = size;
}

int32_t FixedSizeArray::capacity() const { return capacityOf(fixedSize_, elements_.size()); }

int32_t FixedSizeArray::copyFromIndex(int32_t destinationIndex, const FixedSizeArray& source,
                                      int32_t sourceIndex, int32_t length) {
  if (length < 1 || !rangeFits(destinationIndex, length, capacity()) ||
      !rangeFits(sourceIndex, length, source.capacity())) {
    return 0;
  }
  // One element after the other, front to back, as callers of the original relied on.
  for (int32_t i = 0; i < length; ++i) {
    elements_[destinationIndex + i] = source.elements_[sourceIndex + i];
  }
  return length;
}

int32_t FixedSizeArray::clearFromIndex(int32_t index, int32_t length) {
  const int32_t count = clearableCount(index, length, capacity());
  for (int32_t i = 0; i < count; ++i) elements_[index + i] = os::Value(0);
  return count;
}

namespace ExtendTool {

ByteBuffer fillToByteBuffer(const os::Array& elements) {
  ByteBuffer bytes(static_cast<int32_t>(elements.size()));
  for (size_t i = 0; i < elements.size(); ++i) {
    const os::Value& element = elements[i];
    if (element.isNumber() || element.isBool()) {
      bytes.data()[i] = static_cast<uint8_t>(element.integerValue());
    }
  }
  return bytes;
}

namespace {

bool hasPropertyListForm(const os::Value& value) {
  if (value.isNull()) return false;
  if (const os::Array* array = value.asArray()) {
    return std::all_of(array->begin(), array->end(), hasPropertyListForm);
  }
  if (const os::Dictionary* dictionary = value.asDictionary()) {
    return std::all_of(dictionary->begin(), dictionary->end(),
                       [](const auto& entry) { return hasPropertyListForm(entry.second); });
  }
  return true;
}

}  // namespace

std::optional<os::Array> clone(const os::Array& elements) {
  if (!std::all_of(elements.begin(), elements.end(), hasPropertyListForm)) return std::nullopt;
  return elements;
}

}  // namespace ExtendTool
