#include "support/streams.h"

#include <algorithm>
#include <limits>

#include "os/value/exception.h"

namespace {

// The largest read that skip() asks for at once.
constexpr int32_t kSkipChunk = 2048;

[[noreturn]] void throwNullPointer() { throw os::Exception(kNullPointerException, ""); }
[[noreturn]] void throwIndexOutOfBounds() { throw os::Exception(kIndexOutOfBoundsException, ""); }

// Throws unless `buffer` is present and [offset, offset + count) lies within its bytes.
void checkRange(const ByteBuffer* buffer, int32_t offset, int32_t count) {
  if (buffer == nullptr) throwNullPointer();
  if (offset < 0 || count < 0 || int64_t{offset} + count > buffer->length()) {
    throwIndexOutOfBounds();
  }
}

}  // namespace

int Stream::read() { throw os::Exception(kNotImplementException, "read"); }

void Stream::writeWithByte(uint8_t) { throw os::Exception(kNotImplementException, "write"); }

int Stream::read(ByteBuffer* buffer) {
  return read(buffer, 0, buffer != nullptr ? buffer->length() : 0);
}

int Stream::read(ByteBuffer* buffer, int32_t offset, int32_t count) {
  checkRange(buffer, offset, count);
  if (count == 0) return 0;

  const int first = read();
  if (first == -1) return -1;
  buffer->data()[offset] = static_cast<uint8_t>(first);

  int32_t stored = 1;
  for (; stored < count; ++stored) {
    int next;
    try {
      next = read();
    } catch (const os::Exception&) {
      // The bytes already stored are the caller's; a failure after them just ends the read.
      break;
    }
    if (next == -1) break;
    buffer->data()[offset + stored] = static_cast<uint8_t>(next);
  }
  return stored;
}

int Stream::readFully(Stream& stream, ByteBuffer* buffer) {
  return readFully(stream, buffer, 0, buffer != nullptr ? buffer->length() : 0);
}

int Stream::readFully(Stream& stream, ByteBuffer* buffer, int32_t offset, int32_t length) {
  int32_t stored = 0;
  while (stored < length) {
    const int count = stream.read(buffer, offset + stored, length - stored);
    // A derived read that answers 0 for a non-empty request has nothing more to give; waiting
    // for it would never end.
    if (count <= 0) break;
    stored += count;
  }
  return stored;
}

void Stream::write(const ByteBuffer* data) { write(data, 0, data != nullptr ? data->length() : 0); }

void Stream::write(const ByteBuffer* data, int32_t offset, int32_t count) {
  checkRange(data, offset, count);
  for (int32_t i = 0; i < count; ++i) writeWithByte(data->data()[offset + i]);
}

int64_t Stream::skip(int64_t count) {
  if (count < 1) return 0;
  ByteBuffer scratch(static_cast<int32_t>(std::min<int64_t>(count, kSkipChunk)));
  int64_t left = count;
  while (left > 0) {
    const int dropped =
        read(&scratch, 0, static_cast<int32_t>(std::min<int64_t>(kSkipChunk, left)));
    if (dropped <= 0) break;
    left -= dropped;
  }
  return count - left;
}

int32_t Stream::available() { return 0; }

void Stream::mark(int32_t) {}

void Stream::reset() {}

bool Stream::markSupported() { return false; }

void Stream::close() {}

MemoryStreamEx::MemoryStreamEx() : stream_(std::make_shared<ByteBuffer>(0)) { stream_->rewind(); }

MemoryStreamEx::MemoryStreamEx(std::shared_ptr<ByteBuffer> data) : stream_(std::move(data)) {
  if (stream_ == nullptr) return;
  stream_->setFixedSize(stream_->length());
  stream_->rewind();
}

std::unique_ptr<MemoryStreamEx> MemoryStreamEx::memoryStreamEx() {
  return std::make_unique<MemoryStreamEx>();
}

int MemoryStreamEx::read() {
  if (position_ >= length()) return -1;
  return stream_->data()[position_++];
}

int32_t MemoryStreamEx::readUpTo(ByteBuffer* buffer, int32_t offset, int32_t count) {
  if (buffer == nullptr || offset < 0 || count < 0) return 0;
  const int32_t wanted = std::min({count, remaining(), buffer->capacity() - offset});
  if (wanted <= 0) return 0;
  const int32_t copied = buffer->copyFromIndex(offset, *stream_, position_, wanted);
  position_ += copied;
  return copied;
}

void MemoryStreamEx::writeWithByte(uint8_t byte) {
  if (stream_ == nullptr || position_ == std::numeric_limits<int32_t>::max()) return;
  if (position_ >= length()) extendTo(position_ + 1);
  stream_->data()[position_++] = byte;
}

void MemoryStreamEx::write(const ByteBuffer* data, int32_t offset, int32_t count) {
  if (stream_ == nullptr || data == nullptr || offset < 0 || count < 0) return;
  const int32_t wanted = std::min(count, data->capacity() - offset);
  if (wanted <= 0 || int64_t{position_} + wanted > std::numeric_limits<int32_t>::max()) return;
  if (position_ + wanted > length()) extendTo(position_ + wanted);
  position_ += stream_->copyFromIndex(position_, *data, offset, wanted);
}

int32_t MemoryStreamEx::seek(int32_t offset, SeekOrigin origin) {
  int64_t target;
  switch (origin) {
    case SeekOrigin::Begin:
      target = offset;
      break;
    case SeekOrigin::Current:
      target = int64_t{position_} + offset;
      break;
    case SeekOrigin::End:
      target = int64_t{length()} - offset;
      break;
    default:
      return position_;
  }
  position_ = static_cast<int32_t>(std::clamp<int64_t>(target, 0, length()));
  return position_;
}

int32_t MemoryStreamEx::length() const { return stream_ != nullptr ? stream_->length() : 0; }

void MemoryStreamEx::setLength(int32_t length) {
  if (stream_ == nullptr) return;
  stream_->setFixedSize(length);
  position_ = std::min(position_, this->length());
}

void MemoryStreamEx::setPosition(int32_t position) { seek(position, SeekOrigin::Begin); }

int32_t MemoryStreamEx::remaining() const { return length() - position_; }

bool MemoryStreamEx::canRead() const { return stream_ != nullptr; }

bool MemoryStreamEx::canSeek() const { return stream_ != nullptr; }

bool MemoryStreamEx::canWrite() const { return stream_ != nullptr; }

void MemoryStreamEx::extendTo(int32_t length) {
  if (stream_->fixedSize() != 0) {
    stream_->setFixedSize(length);
  } else {
    stream_->data().resize(static_cast<size_t>(length));
  }
}
