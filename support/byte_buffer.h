// ByteBuffer is growable bytes with a position/limit/mark cursor, in the manner of a
// java.nio-style byte buffer; FixedSizeArray is the same fixed-size idea for an array of values.
// The memory stream (support/streams.h) keeps its bytes in a ByteBuffer.
//
//   ByteBuffer buffer(16);          // 16 zero bytes, limit 16, position 0
//   buffer.data()[0] = 0x2a;        // the bytes themselves are an ordinary os::Data
//   buffer.setPosition(5);
//   buffer.flip();                  // limit 5, position 0
//   buffer.remaining();             // 5
//
// The cursor values (fixedSize, limit, mark, position) are members of the object: they live
// exactly as long as the buffer and go with it. All four start at 0, the mark too, so reset() on
// a fresh buffer goes to 0; -1 ("no mark") comes only from the calls that drop the mark. A
// buffer is used from one thread at a time.
//
// Indices and counts are signed 32-bit, as callers pass them. Nothing here reads or writes
// outside the bytes held: a negative index or count is refused (0 or no change), and a capacity
// never counts bytes that are not there.
#pragma once

#include <cstdint>
#include <optional>

#include "os/value/value.h"

class ByteBuffer {
 public:
  // An empty buffer; every cursor value 0.
  ByteBuffer() = default;
  // `size` zero bytes held at that size: fixedSize and limit `size`, position 0. A negative size
  // gives an empty buffer.
  explicit ByteBuffer(int32_t size);
  // Takes `bytes` as they are; every cursor value 0 (the buffer is not held at a fixed size).
  explicit ByteBuffer(os::Data bytes) : bytes_(std::move(bytes)) {}

  // The bytes. Growing or shrinking them directly leaves the cursor values as they are.
  const os::Data& data() const { return bytes_; }
  os::Data& data() { return bytes_; }
  int32_t length() const { return static_cast<int32_t>(bytes_.size()); }

  // 0 when the buffer is not held at a fixed size, else the length it is held at.
  int32_t fixedSize() const { return fixedSize_; }
  // End of the readable or writable part.
  int32_t limit() const { return limit_; }
  // A remembered position; -1 for none.
  int32_t mark() const { return mark_; }
  int32_t position() const { return position_; }

  // Holds the buffer at `size` bytes: the bytes from `size` on are dropped, or zero bytes are
  // appended up to `size`. A limit above `size` is lowered to it (the position is left alone). A
  // negative size is refused.
  void setFixedSize(int32_t size);
  // Sets the limit, lowered to fixedSize when that is set and smaller, raised to 0 when negative.
  // A position above the new limit is lowered to it; a mark above it is dropped.
  void setLimit(int32_t limit);
  // Sets the position, lowered to the limit when the limit is not 0 and smaller, then to the
  // length, and raised to 0 when negative. A mark above the new position is dropped.
  void setPosition(int32_t position);
  // Records `mark`, lowered to the length when above it; a negative value records no mark.
  void setMark(int32_t mark);

  // Position 0, no mark, limit fixedSize (when set) or the length.
  void clear();
  // Limit = position, position 0, no mark: what was written becomes readable.
  void flip();
  // Position 0, no mark.
  void rewind();
  // Back to the mark when one is recorded; otherwise nothing.
  void reset();
  // Mark = position.
  void markPosition();

  // limit - position (negative when the position lies past the limit).
  int32_t remaining() const;
  bool hasRemaining() const;

  // 0 <= index < limit.
  bool checkIndex(int32_t index) const;
  // An element of `sizeOfType` bytes at `index` ends at or before the limit: 0 <= index <=
  // limit - sizeOfType.
  bool checkIndex(int32_t index, int32_t sizeOfType) const;
  // Whether `count` elements of `elementSize` bytes can be taken from (or put into) an array of
  // `arrayLength` elements at `offset`, and the buffer has that many bytes remaining. False for a
  // negative offset or count or a range outside the array.
  bool checkGetBounds(int32_t elementSize, int32_t arrayLength, int32_t offset,
                      int32_t count) const;
  bool checkPutBounds(int32_t elementSize, int32_t arrayLength, int32_t offset,
                      int32_t count) const;
  // 0 <= start <= end <= remaining.
  bool checkStartEndRemaining(int32_t start, int32_t end) const;

  // The bytes that copies may touch: fixedSize when set, else the length (and never more than
  // the length, should the bytes have shrunk below fixedSize).
  int32_t capacity() const;

  // Copies `length` bytes of `source` from `sourceIndex` to `destinationIndex` of this buffer
  // and returns `length`. When either range runs past its buffer's capacity, or an index or the
  // length is negative, copies nothing and returns 0. `source` may be this buffer.
  int32_t copyFromIndex(int32_t destinationIndex, const ByteBuffer& source, int32_t sourceIndex,
                        int32_t length);
  // Zeroes up to `length` bytes from `index`, cut at the capacity; returns how many (0 for a
  // negative index or nothing to clear).
  int32_t clearFromIndex(int32_t index, int32_t length);

  // `count` bytes from the system's secure random generator (no cursor values set; empty for a
  // negative count). Throws os::Exception named "..." (reason "...") when the generator fails.
  static ByteBuffer nextBytes(int32_t count);

 private:
  os::Data bytes_;
  int32_t fixedSize_ = 0;
  int32_t limit_ = 0;
  int32_t mark_ = 0;
  int32_t position_ = 0;
};

// An array of values held at a fixed number of elements, padded with the number 0. Like
// ByteBuffer, the fixedSize lives and dies with the object.
//
//   FixedSizeArray slots(4);              // {0, 0, 0, 0}
//   slots.elements()[1] = 7;
//   ByteBuffer bytes = ExtendTool::fillToByteBuffer(slots.elements());   // 00 07 00 00
class FixedSizeArray {
 public:
  FixedSizeArray() = default;
  // `size` elements of the number 0, held at that size.
  explicit FixedSizeArray(int32_t size);
  // Takes `elements` as they are, not held at a fixed size.
  explicit FixedSizeArray(os::Array elements) : elements_(std::move(elements)) {}

  const os::Array& elements() const { return elements_; }
  os::Array& elements() { return elements_; }

  // 0 when the array is not held at a fixed size, else the element count it is held at.
  int32_t fixedSize() const { return fixedSize_; }
  // Holds the array at `size` elements: the elements from `size` on are removed, or the number 0
  // is appended up to `size`. A negative size is refused.
  void setFixedSize(int32_t size);

  // fixedSize when set, else the count (never more than the count).
  int32_t capacity() const;

  // As ByteBuffer::copyFromIndex, element by element; a length below 1 copies nothing.
  int32_t copyFromIndex(int32_t destinationIndex, const FixedSizeArray& source, int32_t sourceIndex,
                        int32_t length);
  // As ByteBuffer::clearFromIndex, storing the number 0 in each cleared slot.
  int32_t clearFromIndex(int32_t index, int32_t length);

 private:
  os::Array elements_;
  int32_t fixedSize_ = 0;
};

namespace ExtendTool {

// One byte per element, in a buffer held at that size: a number (or boolean) element gives its
// value as an unsigned char (the low 8 bits), anything else 0.
ByteBuffer fillToByteBuffer(const os::Array& elements);

// A deep copy of `elements`; nullopt when an element, at any depth, has no property-list form
// (a null value).
std::optional<os::Array> clone(const os::Array& elements);

}  // namespace ExtendTool
