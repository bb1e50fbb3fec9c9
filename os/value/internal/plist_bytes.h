// What the property-list reader, writer and checkers share: the nesting limit and the byte
// helpers of the binary format. For use inside os_value only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace os::internal {

// Arrays and dictionaries nested deeper than this are refused in both directions: libplist
// reads, writes and frees trees recursively, and so does the conversion to Value.
constexpr size_t kMaxPlistDepth = 512;

// The `count` bytes at `bytes` as a big-endian unsigned number.
inline uint64_t readBigEndian(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

// "0x" and two lower-case hex digits, for messages about a byte.
inline std::string hexByte(unsigned value) {
  static constexpr char kHex[] = "0123456789abcdef";
  return std::string("0x") + kHex[(value >> 4) & 0xf] + kHex[value & 0xf];
}

}  // namespace os::internal
