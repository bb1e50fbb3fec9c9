// Internal to the support library: the value of one hexadecimal digit, shared by the string and
// data extensions' hexadecimal readers.
#pragma once

namespace support_internal {

// The value of the hexadecimal digit `c` (either case), or -1 when it is not one.
constexpr int hexDigitValue(char32_t c) {
  if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
  if (c >= U'A' && c <= U'F') return static_cast<int>(c - U'A' + 10);
  if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a' + 10);
  return -1;
}

}  // namespace support_internal
