// FileHandle: a file descriptor with stream-like reads, writes and seeks into ByteBuffers, and a
// chunked copy of the rest of a file to another handle.
//
//   os::Error error;
//   auto source = FileHandle::openPath("/tmp/in.bin", O_RDONLY, &error);
//   auto target = FileHandle::openPath("/tmp/out.bin", O_WRONLY | O_CREAT | O_TRUNC, &error);
//   if (source && target) source->transferTo(*target, &error);
//
// The handle owns its descriptor (RAII): the descriptor, and the open flags recorded as
// accessMode(), live as long as the handle and are released with it. A handle is used from one
// thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "os/value/error.h"
#include "support/byte_buffer.h"
#include "support/streams.h"

class FileHandle {
 public:
  // The size of the chunks transferTo() reads and writes: 80 KiB.
  static constexpr int32_t kTransferChunk = 81920;

  // Wraps an open descriptor, closed with the handle when `closeOnDestroy`. Its accessMode() is
  // 0, as for any handle not made by openPath().
  FileHandle(int descriptor, bool closeOnDestroy);
  ~FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // Opens `path` with the open(2) flags `access` (O_RDONLY, O_WRONLY or O_RDWR, with O_CREAT,
  // O_TRUNC, O_APPEND ... as wanted) and records them as accessMode(). A file it creates gets
  // mode 0644 (less the umask). Returns null and fills `error` (POSIX domain, errno code, the
  // path in the description) when the file cannot be opened.
  static std::unique_ptr<FileHandle> openPath(const std::filesystem::path& path, int access,
                                              os::Error* error = nullptr);

  int fileDescriptor() const { return descriptor_; }
  // The open flags given to openPath(); 0 for a wrapped descriptor.
  int accessMode() const { return accessMode_; }
  // By the access mode in accessMode() (O_ACCMODE bits): readable when O_RDONLY or O_RDWR,
  // writable when O_WRONLY or O_RDWR. canSeek() is always true.
  bool canRead() const;
  bool canWrite() const;
  bool canSeek() const { return true; }

  // Forces what was written to the disk (fsync).
  bool flush(os::Error* error = nullptr);

  // Seeks to `offset` from the origin (Begin, Current, or back from End), clamped to 0 and the
  // end of the file; any other origin seeks to 0. Returns the new offset.
  uint64_t seek(uint64_t offset, SeekOrigin origin);
  // The size of the file, learnt by seeking to its end and back.
  uint64_t length();
  // Truncates or zero-extends the file to `length` bytes.
  bool setLength(uint64_t length, os::Error* error = nullptr);
  // The current offset (0 when the descriptor cannot seek).
  uint64_t position();
  void setPosition(uint64_t position);
  // length - position.
  uint64_t available();

  // The next byte (0 to 255); -1 at the end of the file or on a failed read.
  int readByte();
  // Reads up to `count` bytes (no more than fit in `buffer` at `offset`: its capacity) into
  // `buffer` at `offset`, in one read, and returns how many it stored: 0 at the end of the file,
  // for a null buffer or a negative offset or count, and on a failed read (with `error` filled).
  int32_t readUpTo(ByteBuffer* buffer, int32_t offset, int32_t count, os::Error* error = nullptr);

  bool writeByte(uint8_t byte, os::Error* error = nullptr);
  // Writes `count` bytes of `data` from `offset` on, cut to the data's length; a null buffer, a
  // negative offset or nothing left to write writes nothing (and succeeds).
  bool write(const ByteBuffer* data, int32_t offset, int32_t count, os::Error* error = nullptr);

  // Copies the rest of this file, from the current offset, to `destination` in chunks of
  // kTransferChunk bytes and returns how many bytes it copied. A failed read or write stops the
  // copy and fills `error`; the count then tells how far it got.
  int64_t transferTo(FileHandle& destination, os::Error* error = nullptr);

 private:
  FileHandle(int descriptor, bool closeOnDestroy, int accessMode);

  // One read(2) into `bytes`, retried on EINTR: the count, 0 at the end, -1 on failure.
  int64_t readSome(uint8_t* bytes, size_t count, os::Error* error);
  // write(2) until all of `bytes` is written.
  bool writeAll(const uint8_t* bytes, size_t count, os::Error* error);

  int descriptor_;
  bool closeOnDestroy_;
  int accessMode_;
};
