// Byte order and the binary text of numbers.
//
//   const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04};
//   BitConverter::reverseBytes(bytes, 1, 2);   // {0x03, 0x02}
//   ExtendTool::binaryString(6);               // "110"
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "os/value/value.h"

class BitConverter {
 public:
  // True: every host this builds for stores integers least significant byte first (the build
  // refuses any other).
  static bool isLittleEndian();

  // The `count` bytes of `bytes` from `offset` on, in reverse order. nullopt for a count of 0,
  // and for a negative offset or count or a range that does not lie within `bytes`.
  static std::optional<os::Data> reverseBytes(std::span<const uint8_t> bytes, int32_t offset,
                                              int32_t count);
};

namespace ExtendTool {

// The binary digits of `value`, most significant first, without leading zeros: "110" for 6.
// 0 gives the empty text; a negative value gives the digits of its magnitude ("101" for -5).
std::string binaryString(int64_t value);

}  // namespace ExtendTool
