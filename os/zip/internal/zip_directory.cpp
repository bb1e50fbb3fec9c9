#include "os/zip/internal/zip_directory.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace os::internal {
namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kCentralSize = 46;
constexpr size_t kMaxCommentSize = 0xFFFF;
constexpr uint16_t kZip64ExtraId = 0x0001;

// The zip64 extra field of a central-directory entry replaces the fields that hold 0xFFFFFFFF,
// in this order: size, compressed size, local header offset.
std::optional<uint64_t> zip64Offset(const unsigned char* extra, size_t length, bool sizeInExtra,
                                    bool compressedInExtra) {
  while (length >= 4) {
    uint16_t id = zipRead16(extra);
    uint16_t size = zipRead16(extra + 2);
    if (size > length - 4) return std::nullopt;
    if (id == kZip64ExtraId) {
      size_t skip = (sizeInExtra ? 8 : 0) + (compressedInExtra ? 8 : 0);
      if (size < skip + 8) return std::nullopt;
      return zipRead64(extra + 4 + skip);
    }
    extra += 4 + size;
    length -= 4 + size;
  }
  return std::nullopt;
}

}  // namespace

bool readFully(int fd, void* data, size_t size, uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(data);
  while (size > 0) {
    ssize_t got = ::pread(fd, bytes, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

std::optional<ZipDirectoryLayout> readZipDirectoryLayout(int fd, uint64_t fileSize,
                                                         std::string* problem) {
  auto failure = [problem](const char* text) {
    *problem = text;
    return std::nullopt;
  };
  if (fileSize < kEndSize) return failure("Not a zip archive");
  const size_t tailSize =
      static_cast<size_t>(std::min<uint64_t>(fileSize, kEndSize + kMaxCommentSize));
  const uint64_t tailOffset = fileSize - tailSize;
  std::vector<unsigned char> tail(tailSize);
  if (!readFully(fd, tail.data(), tailSize, tailOffset)) return failure("Read error");

  // The last end record whose comment fits in the file.
  size_t end = tailSize - kEndSize + 1;
  do {
    --end;
    if (zipRead32(&tail[end]) == kEndSignature &&
        end + kEndSize + zipRead16(&tail[end + 20]) <= tailSize) {
      break;
    }
  } while (end > 0);
  if (zipRead32(&tail[end]) != kEndSignature) return failure("Not a zip archive");
  uint64_t count = zipRead16(&tail[end + 10]);
  uint64_t directorySize = zipRead32(&tail[end + 12]);
  uint64_t directoryOffset = zipRead32(&tail[end + 16]);

  const uint64_t endOffset = tailOffset + end;
  unsigned char locator[kZip64LocatorSize];
  if (endOffset >= kZip64LocatorSize &&
      readFully(fd, locator, sizeof locator, endOffset - kZip64LocatorSize) &&
      zipRead32(locator) == kZip64LocatorSignature) {
    unsigned char record[kZip64EndSize];
    uint64_t recordOffset = zipRead64(locator + 8);
    if (recordOffset > endOffset || !readFully(fd, record, sizeof record, recordOffset) ||
        zipRead32(record) != kZip64EndSignature) {
      return failure("Zip archive inconsistent");
    }
    count = zipRead64(record + 32);
    directorySize = zipRead64(record + 40);
    directoryOffset = zipRead64(record + 48);
  }
  if (directoryOffset > fileSize || directorySize > fileSize - directoryOffset ||
      count > directorySize / kCentralSize) {
    return failure("Zip archive inconsistent");
  }

  std::vector<unsigned char> directory(static_cast<size_t>(directorySize));
  if (!readFully(fd, directory.data(), directory.size(), directoryOffset)) {
    return failure("Read error");
  }
  ZipDirectoryLayout layout;
  layout.centralDirectoryOffset = directoryOffset;
  layout.localHeaderOffsets.reserve(static_cast<size_t>(count));
  size_t position = 0;
  for (uint64_t index = 0; index < count; ++index) {
    if (directory.size() - position < kCentralSize ||
        zipRead32(&directory[position]) != kCentralSignature) {
      return failure("Zip archive inconsistent");
    }
    const unsigned char* entry = &directory[position];
    size_t nameLength = zipRead16(entry + 28);
    size_t extraLength = zipRead16(entry + 30);
    size_t commentLength = zipRead16(entry + 32);
    size_t entrySize = kCentralSize + nameLength + extraLength + commentLength;
    if (directory.size() - position < entrySize) return failure("Zip archive inconsistent");
    uint64_t offset = zipRead32(entry + 42);
    if (offset == 0xFFFFFFFF) {
      std::optional<uint64_t> wide =
          zip64Offset(entry + kCentralSize + nameLength, extraLength,
                      zipRead32(entry + 24) == 0xFFFFFFFF, zipRead32(entry + 20) == 0xFFFFFFFF);
      if (!wide) return failure("Zip archive inconsistent");
      offset = *wide;
    }
    layout.localHeaderOffsets.push_back(offset);
    position += entrySize;
  }
  return layout;
}

}  // namespace os::internal
