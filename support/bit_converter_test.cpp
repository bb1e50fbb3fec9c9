#include "support/bit_converter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using ::testing::ElementsAre;

TEST(BitConverterTest, HostIsLittleEndian) {
  const uint32_t one = 1;
  uint8_t first;
  std::memcpy(&first, &one, 1);
  EXPECT_EQ(BitConverter::isLittleEndian(), first == 1);
}

TEST(BitConverterTest, ReverseBytesReversesTheRangeAndRefusesWhatLiesOutside) {
  const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_THAT(*BitConverter::reverseBytes(bytes, 1, 2), ElementsAre(0x03, 0x02));
  EXPECT_THAT(*BitConverter::reverseBytes(bytes, 0, 4), ElementsAre(0x04, 0x03, 0x02, 0x01));

  struct Refused {
    int offset, count;
  };
  for (const Refused r : {Refused{0, 0}, Refused{3, 2}, Refused{-1, 2}, Refused{0, -1},
                          Refused{4, 1}, Refused{0x7fffffff, 0x7fffffff}}) {
    EXPECT_FALSE(BitConverter::reverseBytes(bytes, r.offset, r.count))
        << r.offset << " " << r.count;
  }
}

TEST(BitConverterTest, BinaryStringOfMagnitudeWithoutLeadingZeros) {
  struct Case {
    int64_t value;
    std::string expected;
  };
  const Case cases[] = {
      {6, "110"},
      {-5, "101"},
      {0, ""},
      {1, "1"},
      {-1, "1"},
      {255, "11111111"},
      {INT64_MIN, "1" + std::string(63, '0')},
      {INT64_MAX, std::string(63, '1')},
  };
  for (const Case& c : cases) EXPECT_EQ(ExtendTool::binaryString(c.value), c.expected) << c.value;
}

}  // namespace
