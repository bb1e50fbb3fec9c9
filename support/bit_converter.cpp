#include "support/bit_converter.h"

#include <algorithm>
#include <bit>

static_assert(std::endian::native == std::endian::little,
              "byte-order helpers assume a little-endian host");

bool BitConverter::isLittleEndian() { return true; }

std::optional<os::Data> BitConverter::reverseBytes(std::span<const uint8_t> bytes, int32_t offset,
                                                   int32_t count) {
  if (count <= 0 || offset < 0 || uint64_t(offset) + uint64_t(count) > bytes.size()) {
    return std::nullopt;
  }
  os::Data reversed(bytes.begin() + offset, bytes.begin() + offset + count);
  std::reverse(reversed.begin(), reversed.end());
  return reversed;
}

namespace ExtendTool {

std::string binaryString(int64_t value) {
  std::string digits;
  // Division rounds toward zero, so a negative value walks down its magnitude's digits.
  for (; value != 0; value /= 2) digits.push_back(value % 2 != 0 ? '1' : '0');
  std::reverse(digits.begin(), digits.end());
  return digits;
}

}  // namespace ExtendTool
