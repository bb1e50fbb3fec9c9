// The mouse states the installer's widgets remember, as the four-character codes they are
// known by (first character in the most significant byte).
#pragma once

#include <cstdint>

constexpr int32_t fourCharCode(const char (&code)[5]) {
  return int32_t(uint32_t(uint8_t(code[0])) << 24 | uint32_t(uint8_t(code[1])) << 16 |
                 uint32_t(uint8_t(code[2])) << 8 | uint32_t(uint8_t(code[3])));
}

enum class MouseState : int32_t {
  None = 0,
  Entered = fourCharCode("mset"),
  Down = fourCharCode("msdn"),
  Up = fourCharCode("msup"),
  Exited = fourCharCode("msot"),
};
