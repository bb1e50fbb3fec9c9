#include "measurement/audience/result_bits.h"

#include <gtest/gtest.h>

#include <vector>

namespace measurement {
namespace {

using Words = std::vector<uint64_t>;

TEST(ResultBits, MapsFilterIDsToWordsAndBits) {
  ResultBits bits;
  bits.set(63, true, true);
  EXPECT_EQ(bits.status, (Words{uint64_t{1} << 63}));
  // Filter 64 is bit 0 of word 1: a zero word is appended to both lists first.
  bits.set(64, true, false);
  EXPECT_EQ(bits.status, (Words{uint64_t{1} << 63, 1}));
  EXPECT_EQ(bits.results, (Words{uint64_t{1} << 63, 0}));
  EXPECT_TRUE(bits.holds(63));
  EXPECT_FALSE(bits.holds(64));
  // Unknown clears the status bit.
  bits.set(63, false, false);
  EXPECT_FALSE(bits.holds(63));
  EXPECT_TRUE(bits.hasAnyBitSet());
}

TEST(ResultBits, NeverReachesPastEitherList) {
  ResultBits bits{{~uint64_t{0}, ~uint64_t{0}}, {~uint64_t{0}}};
  EXPECT_TRUE(bits.holds(5));
  EXPECT_FALSE(bits.holds(70)) << "results has no word 1";
  EXPECT_FALSE(bits.holds(-1));
  bits.clear(99);
  bits.clear(6400);
  bits.clear(-3);
  EXPECT_EQ(bits.status, (Words{~uint64_t{0}, ~(uint64_t{1} << 35)}));
  EXPECT_EQ(bits.results, (Words{~uint64_t{0}}));
  // Ids no audience can have never grow the lists.
  for (int32_t id : {-1, 100, 6400, INT32_MAX}) bits.set(id, true, true);
  EXPECT_EQ(bits.status.size(), 2u);
  EXPECT_EQ(bits.results.size(), 1u);
}

TEST(ResultBits, RoundTripsThroughTheMessage) {
  ResultBits bits{{5, 0}, {4, 0}};
  APMPBResultData data;
  bits.writeTo(data);
  ResultBits read = ResultBits::of(data);
  EXPECT_EQ(read.status, bits.status);
  EXPECT_EQ(read.results, bits.results);
  EXPECT_FALSE((ResultBits{{0, 0}, {1, 1}}).hasAnyBitSet());
}

}  // namespace
}  // namespace measurement
