// Where the entries of a zip archive lie in the file, read from the archive's end records and
// central directory. libzip reads the directory for names, sizes and attributes but does not say
// where an entry's data starts, which reading entries straight from the file and refusing
// entries that share their data both need.
//
//   std::string problem;
//   std::optional<ZipDirectoryLayout> layout = readZipDirectoryLayout(fd, fileSize, &problem);
//   // layout->localHeaderOffsets[i]: entry i's local header, in libzip's index order
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace os::internal {

struct ZipDirectoryLayout {
  // Each entry's local header offset, in central-directory order (libzip's index order).
  std::vector<uint64_t> localHeaderOffsets;
  // Where the central directory starts: no entry's data may reach past it.
  uint64_t centralDirectoryOffset = 0;
};

// Reads the layout of the archive open as `fd`, `fileSize` bytes long (zip64 records included).
// nullopt with `problem` set when the end records or the directory cannot be read. Reads at most
// the directory and the last 64 KiB of the file.
std::optional<ZipDirectoryLayout> readZipDirectoryLayout(int fd, uint64_t fileSize,
                                                         std::string* problem);

// Reads exactly `size` bytes at `offset`; false at the end of the file or on an error.
bool readFully(int fd, void* data, size_t size, uint64_t offset);

// Little-endian fields of zip records.
inline uint16_t zipRead16(const unsigned char* bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}
inline uint32_t zipRead32(const unsigned char* bytes) {
  return uint32_t{zipRead16(bytes)} | uint32_t{zipRead16(bytes + 2)} << 16;
}
inline uint64_t zipRead64(const unsigned char* bytes) {
  return uint64_t{zipRead32(bytes)} | uint64_t{zipRead32(bytes + 4)} << 32;
}

}  // namespace os::internal
