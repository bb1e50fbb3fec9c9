#include "support/file_handle_extensions.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

FileHandle::FileHandle(int descriptor, bool closeOnDestroy)
    : FileHandle(descriptor, closeOnDestroy, 0) {}

FileHandle::FileHandle(int descriptor, bool closeOnDestroy, int accessMode)
    : descriptor_(descriptor), closeOnDestroy_(closeOnDestroy), accessMode_(accessMode) {}

FileHandle::~FileHandle() {
  if (closeOnDestroy_ && descriptor_ >= 0) ::close(descriptor_);
}

std::unique_ptr<FileHandle> FileHandle::openPath(const std::filesystem::path& path, int access,
                                                 os::Error* error) {
  const int descriptor = ::open(path.c_str(), access | O_CLOEXEC, 0644);
  if (descriptor < 0) {
    os::fail(error, os::posixError(errno, path.string()));
    return nullptr;
  }
  return std::unique_ptr<FileHandle>(new FileHandle(descriptor, true, access));
}

bool FileHandle::canRead() const {
  const int mode = accessMode_ & O_ACCMODE;
  return mode == O_RDONLY || mode == O_RDWR;
}

bool FileHandle::canWrite() const {
  const int mode = accessMode_ & O_ACCMODE;
  return mode == O_WRONLY || mode == O_RDWR;
}

bool FileHandle::flush(os::Error* error) {
  if (::fsync(descriptor_) != 0) return os::fail(error, os::posixError(errno, "fsync"));
  return true;
}

uint64_t FileHandle::seek(uint64_t offset, SeekOrigin origin) {
  const uint64_t end = length();
  const uint64_t current = std::min(position(), end);
  uint64_t target = 0;
  // Unsigned arithmetic with explicit clamps: no offset, however large, can wrap around.
  switch (origin) {
    case SeekOrigin::Begin:
      target = std::min(offset, end);
      break;
    case SeekOrigin::Current:
      target = offset > end - current ? end : current + offset;
      break;
    case SeekOrigin::End:
      target = offset > end ? 0 : end - offset;
      break;
  }
  const off_t reached = ::lseek(descriptor_, static_cast<off_t>(target), SEEK_SET);
  return reached < 0 ? 0 : static_cast<uint64_t>(reached);
}

uint64_t FileHandle::length() {
  const off_t current = ::lseek(descriptor_, 0, SEEK_CUR);
  const off_t end = ::lseek(descriptor_, 0, SEEK_END);
  if (current >= 0) ::lseek(descriptor_, current, SEEK_SET);
  return end < 0 ? 0 : static_cast<uint64_t>(end);
}

bool FileHandle::setLength(uint64_t length, os::Error* error) {
  if (::ftruncate(descriptor_, static_cast<off_t>(length)) != 0) {
    return os::fail(error, os::posixError(errno, "ftruncate"));
  }
  return true;
}

uint64_t FileHandle::position() {
  const off_t current = ::lseek(descriptor_, 0, SEEK_CUR);
  return current < 0 ? 0 : static_cast<uint64_t>(current);
}

void FileHandle::setPosition(uint64_t position) { seek(position, SeekOrigin::Begin); }

uint64_t FileHandle::available() {
  const uint64_t end = length();
  return end - std::min(position(), end);
}

int FileHandle::readByte() {
  uint8_t byte;
  return readSome(&byte, 1, nullptr) == 1 ? byte : -1;
}

int32_t FileHandle::readUpTo(ByteBuffer* buffer, int32_t offset, int32_t count, os::Error* error) {
  if (buffer == nullptr || offset < 0 || count < 0) return 0;
  // Never ask the file for more than the buffer can hold: those bytes would be consumed from
  // the file and then lost.
  const int32_t wanted = std::min(count, buffer->capacity() - offset);
  if (wanted <= 0) return 0;
  const int64_t stored = readSome(buffer->data().data() + offset, wanted, error);
  return stored < 0 ? 0 : static_cast<int32_t>(stored);
}

bool FileHandle::writeByte(uint8_t byte, os::Error* error) { return writeAll(&byte, 1, error); }

bool FileHandle::write(const ByteBuffer* data, int32_t offset, int32_t count, os::Error* error) {
  if (data == nullptr || offset < 0 || count < 0) return true;
  const int32_t wanted = std::min(count, data->length() - offset);
  if (wanted < 1) return true;
  return writeAll(data->data().data() + offset, wanted, error);
}

int64_t FileHandle::transferTo(FileHandle& destination, os::Error* error) {
  ByteBuffer chunk(kTransferChunk);
  int64_t total = 0;
  while (true) {
    const int32_t count = readUpTo(&chunk, 0, chunk.fixedSize(), error);
    if (count == 0) break;
    if (!destination.write(&chunk, 0, count, error)) break;
    total += count;
  }
  return total;
}

int64_t FileHandle::readSome(uint8_t* bytes, size_t count, os::Error* error) {
  while (true) {
    const ssize_t result = ::read(descriptor_, bytes, count);
    if (result >= 0) return result;
    if (errno != EINTR) {
      os::fail(error, os::posixError(errno, "read"));
      return -1;
    }
  }
}

bool FileHandle::writeAll(const uint8_t* bytes, size_t count, os::Error* error) {
  while (count > 0) {
    const ssize_t result = ::write(descriptor_, bytes, count);
    if (result < 0) {
      if (errno == EINTR) continue;
      return os::fail(error, os::posixError(errno, "write"));
    }
    bytes += result;
    count -= static_cast<size_t>(result);
  }
  return true;
}
