// Byte streams: the abstract Stream, which builds buffer reads, writes and skips out of the
// single-byte read() and writeWithByte() that a derived class supplies, and MemoryStreamEx, a
// stream over a ByteBuffer held in memory.
//
//   MemoryStreamEx stream;
//   ByteBuffer bytes(os::Data{1, 2, 3});
//   stream.write(&bytes);                         // length 3, position 3
//   stream.seek(0, SeekOrigin::Begin);
//   stream.read();                                // 1
//
// Misuse of the strict Stream calls (a null buffer, an offset or count outside it) throws an
// os::Exception named "NullPointer" or "IndexOutOfBounds" with an empty reason; calling a
// single-byte primitive that the class does not supply throws "Not Implement" with the reason
// "read" or "write". MemoryStreamEx never throws for ranges: it cuts counts to what fits.
// A stream is used from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "support/byte_buffer.h"

// Where a seek counts from. End counts back from the end: End with offset 1 is the last byte.
enum class SeekOrigin : int { Begin = 0, Current = 1, End = 2 };

// Names of the exceptions that streams throw.
inline constexpr const char* kNullPointerException = "NullPointer";
inline constexpr const char* kIndexOutOfBoundsException = "IndexOutOfBounds";
inline constexpr const char* kNotImplementException = "Not Implement";

class Stream {
 public:
  virtual ~Stream() = default;

  // The next byte (0 to 255), or -1 at the end. Throws "Not Implement" (reason "read") unless
  // a derived class supplies it.
  virtual int read();
  // Writes one byte. Throws "Not Implement" (reason "write") unless a derived class supplies it.
  virtual void writeWithByte(uint8_t byte);

  // read(buffer, 0, buffer's length).
  int read(ByteBuffer* buffer);
  // Reads up to `count` bytes into `buffer` from `offset` on, one read() at a time, and returns
  // how many it stored; -1 when the stream is already at its end; 0 for a count of 0 (nothing
  // is read). Throws "NullPointer" for a null buffer and "IndexOutOfBounds" for a negative
  // offset or count or a range past the buffer's length. An os::Exception from a read() after
  // the first ends the reading; other exceptions pass on.
  virtual int read(ByteBuffer* buffer, int32_t offset, int32_t count);

  // readFully(stream, buffer, 0, buffer's length).
  static int readFully(Stream& stream, ByteBuffer* buffer);
  // Calls stream.read(buffer, ...) until `length` bytes are stored from `offset` on, or a read
  // stores nothing (the end); returns the bytes stored.
  static int readFully(Stream& stream, ByteBuffer* buffer, int32_t offset, int32_t length);

  // write(data, 0, data's length).
  void write(const ByteBuffer* data);
  // Writes `count` bytes of `data` from `offset` on with writeWithByte(). Throws "NullPointer"
  // for null data and "IndexOutOfBounds" for a negative offset or count or a range past the
  // data's length.
  virtual void write(const ByteBuffer* data, int32_t offset, int32_t count);

  // Reads and drops up to `count` bytes, in reads of at most 2048; returns how many it dropped
  // (0 for a count below 1).
  virtual int64_t skip(int64_t count);

  // Bytes that can be read without waiting: 0 unless a derived class knows better.
  virtual int32_t available();
  // Marks are not supported: mark() and reset() do nothing and markSupported() is false.
  virtual void mark(int32_t readLimit);
  virtual void reset();
  virtual bool markSupported();
  // Does nothing unless a derived class holds a resource.
  virtual void close();
};

// A stream over bytes in memory. The position stays within 0 and the length: seeks are clamped
// to that range, and writes past the end extend the bytes.
//
// The buffer is shared with whoever passed it in (writes through the stream show in it), and it
// may be null, in which case the stream reads nothing and writes nothing.
class MemoryStreamEx : public Stream {
 public:
  using Stream::read;
  using Stream::write;

  // A stream over a new empty buffer.
  MemoryStreamEx();
  // A stream over `data` itself (not a copy), positioned at its start. The buffer is held at
  // its current length (its fixedSize is set to it) and rewound.
  explicit MemoryStreamEx(std::shared_ptr<ByteBuffer> data);
  // A new stream over a new empty buffer.
  static std::unique_ptr<MemoryStreamEx> memoryStreamEx();

  // The buffer, shared.
  const std::shared_ptr<ByteBuffer>& stream() const { return stream_; }
  void setStream(std::shared_ptr<ByteBuffer> stream) { stream_ = std::move(stream); }
  // The buffer itself, as stream() returns it.
  std::shared_ptr<ByteBuffer> availableData() const { return stream_; }

  // The byte at the position, advancing it; -1 at the end.
  int read() override;
  // Copies up to `count` bytes from the position into `buffer` at `offset`, as many as both
  // the stream and the buffer's capacity allow, advances past them and returns how many were
  // stored (0 at the end, and for a null buffer or a negative offset or count).
  int32_t readUpTo(ByteBuffer* buffer, int32_t offset, int32_t count);

  // Stores `byte` at the position, extending the bytes when the position is at the end, and
  // advances.
  void writeWithByte(uint8_t byte) override;
  // Stores up to `count` bytes of `data` from `offset` on (cut to the data's capacity) at the
  // position, extending the bytes as needed, and advances past them. Null data or a negative
  // offset or count writes nothing.
  void write(const ByteBuffer* data, int32_t offset, int32_t count) override;

  // Moves the position to `offset` from the origin (Begin, Current, or back from End), clamped
  // to 0 and the length; any other origin leaves it. Returns the position.
  int32_t seek(int32_t offset, SeekOrigin origin);

  int32_t length() const;
  // Holds the bytes at `length` (zero-extends or truncates, as ByteBuffer::setFixedSize); a
  // position past the new end moves to it.
  void setLength(int32_t length);
  int32_t position() const { return position_; }
  // seek(position, SeekOrigin::Begin).
  void setPosition(int32_t position);
  // length - position.
  int32_t remaining() const;

  // Each is true when the stream has a buffer.
  bool canRead() const;
  bool canSeek() const;
  bool canWrite() const;

 private:
  // Extends the bytes to `length`; a buffer held at a fixed size is held at the new length, so
  // that later reads and copies see the bytes written past its original end.
  void extendTo(int32_t length);

  std::shared_ptr<ByteBuffer> stream_;
  int32_t position_ = 0;
};
