#include "support/byte_buffer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

#include "os/value/exception.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;

// Bytes 0, 1, 2, ... n-1, not held at a fixed size.
ByteBuffer counting(int n) {
  os::Data bytes(n);
  std::iota(bytes.begin(), bytes.end(), uint8_t{0});
  return ByteBuffer(bytes);
}

TEST(ByteBufferTest, SizedBufferHoldsZeroBytesUpToItsLimit) {
  ByteBuffer buffer(16);
  EXPECT_EQ(buffer.length(), 16);
  EXPECT_THAT(buffer.data(), Each(0));
  EXPECT_EQ(buffer.fixedSize(), 16);
  EXPECT_EQ(buffer.limit(), 16);
  EXPECT_EQ(buffer.position(), 0);
  EXPECT_EQ(buffer.mark(), 0) << "a mark never set reads as 0";

  ByteBuffer negative(-4);
  EXPECT_EQ(negative.length(), 0);
  EXPECT_EQ(negative.limit(), 0);
}

TEST(ByteBufferTest, FlipMakesWhatWasWrittenReadable) {
  ByteBuffer buffer(16);
  for (uint8_t i = 0; i < 5; ++i) buffer.data()[i] = i + 1;
  buffer.setPosition(5);
  buffer.markPosition();
  buffer.flip();
  EXPECT_EQ(buffer.limit(), 5);
  EXPECT_EQ(buffer.position(), 0);
  EXPECT_EQ(buffer.mark(), -1);
  EXPECT_EQ(buffer.remaining(), 5);
  EXPECT_TRUE(buffer.hasRemaining());
  buffer.setPosition(5);
  EXPECT_FALSE(buffer.hasRemaining());
}

TEST(ByteBufferTest, SetPositionStaysWithinLimitAndLength) {
  struct Case {
    int length;
    int limit;
    int requested;
    int expected;
  };
  const Case cases[] = {
      {16, 10, 12, 10},                   // stops at the limit
      {16, 10, 7, 7},   {16, 10, -3, 0},  // a negative position becomes 0
      {8, 0, 20, 8},                      // without a limit, stops at the length
      {8, 30, 20, 8},                     // a limit past the length does not let it out
  };
  for (const Case& c : cases) {
    ByteBuffer buffer = counting(c.length);
    buffer.setLimit(c.limit);
    buffer.setPosition(c.requested);
    EXPECT_EQ(buffer.position(), c.expected)
        << "length " << c.length << " limit " << c.limit << " requested " << c.requested;
  }
}

TEST(ByteBufferTest, ResetReturnsToTheMarkUnlessItWasDropped) {
  ByteBuffer buffer(16);
  buffer.setPosition(3);
  buffer.markPosition();
  buffer.setPosition(7);
  buffer.reset();
  EXPECT_EQ(buffer.position(), 3);

  buffer.rewind();
  buffer.setPosition(5);
  buffer.reset();
  EXPECT_EQ(buffer.position(), 5) << "rewind drops the mark";

  buffer.markPosition();
  buffer.setPosition(2);
  EXPECT_EQ(buffer.mark(), -1) << "a mark above the new position is dropped";

  buffer.setPosition(9);
  buffer.markPosition();
  buffer.setLimit(8);
  EXPECT_EQ(buffer.mark(), -1) << "a mark above the new limit is dropped";
  EXPECT_EQ(buffer.position(), 8);
}

TEST(ByteBufferTest, SetLimitAndSetMarkAreBounded) {
  ByteBuffer buffer(10);
  buffer.setLimit(50);
  EXPECT_EQ(buffer.limit(), 10) << "lowered to the fixed size";
  buffer.setLimit(-2);
  EXPECT_EQ(buffer.limit(), 0);

  ByteBuffer loose = counting(4);
  loose.setLimit(50);
  EXPECT_EQ(loose.limit(), 50) << "no fixed size, no cap";

  buffer.setMark(99);
  EXPECT_EQ(buffer.mark(), 10);
  buffer.setMark(-7);
  EXPECT_EQ(buffer.mark(), -1);
}

TEST(ByteBufferTest, ClearRestoresTheLimitToTheFixedSizeOrTheLength) {
  ByteBuffer held(12);
  held.setPosition(4);
  held.flip();
  held.clear();
  EXPECT_EQ(held.limit(), 12);
  EXPECT_EQ(held.position(), 0);
  EXPECT_EQ(held.mark(), -1);

  ByteBuffer loose = counting(6);
  loose.clear();
  EXPECT_EQ(loose.limit(), 6);
}

TEST(ByteBufferTest, SetFixedSizeTruncatesOrZeroExtends) {
  ByteBuffer buffer = counting(8);
  buffer.setLimit(8);
  buffer.setFixedSize(5);
  EXPECT_THAT(buffer.data(), ElementsAre(0, 1, 2, 3, 4));
  EXPECT_EQ(buffer.limit(), 5);

  buffer.setFixedSize(7);
  EXPECT_THAT(buffer.data(), ElementsAre(0, 1, 2, 3, 4, 0, 0));
  EXPECT_EQ(buffer.limit(), 5) << "a larger size leaves the limit";

  buffer.setFixedSize(-1);
  EXPECT_EQ(buffer.length(), 7) << "a negative size is refused";
  EXPECT_EQ(buffer.fixedSize(), 7);
}

TEST(ByteBufferTest, IndexAndBoundsChecks) {
  ByteBuffer buffer(16);
  buffer.setLimit(10);
  buffer.setPosition(2);  // remaining 8

  EXPECT_TRUE(buffer.checkIndex(0));
  EXPECT_TRUE(buffer.checkIndex(9));
  EXPECT_FALSE(buffer.checkIndex(10));
  EXPECT_FALSE(buffer.checkIndex(-1));
  EXPECT_TRUE(buffer.checkIndex(6, 4));
  EXPECT_FALSE(buffer.checkIndex(7, 4));
  EXPECT_FALSE(buffer.checkIndex(-1, 4));

  struct Bounds {
    int elementSize, arrayLength, offset, count;
    bool expected;
  };
  const Bounds bounds[] = {
      {4, 10, 0, 2, true},   {4, 10, 0, 3, false},  // 12 bytes > 8 remaining
      {1, 10, 2, 8, true},   {1, 10, 3, 8, false},  // past the array
      {1, 10, 11, 0, false}, {1, 10, -1, 1, false},
      {1, 10, 0, -1, false}, {1 << 30, 10, 0, 4, false},  // the byte count must not overflow
  };
  for (const Bounds& b : bounds) {
    EXPECT_EQ(buffer.checkGetBounds(b.elementSize, b.arrayLength, b.offset, b.count), b.expected)
        << b.elementSize << " " << b.arrayLength << " " << b.offset << " " << b.count;
    EXPECT_EQ(buffer.checkPutBounds(b.elementSize, b.arrayLength, b.offset, b.count), b.expected);
  }

  EXPECT_TRUE(buffer.checkStartEndRemaining(0, 8));
  EXPECT_FALSE(buffer.checkStartEndRemaining(0, 9));
  EXPECT_FALSE(buffer.checkStartEndRemaining(3, 2));
  EXPECT_FALSE(buffer.checkStartEndRemaining(-1, 2));
}

TEST(ByteBufferTest, CopyFromIndexCopiesOnlyWhenBothRangesFit) {
  struct Case {
    int destinationIndex, sourceIndex, length;
    int expected;
  };
  const Case cases[] = {
      {0, 0, 4, 4},  {4, 2, 4, 4},
      {0, 0, 0, 0},  {5, 0, 4, 0},  // past the destination's 8 bytes
      {0, 3, 4, 0},                 // past the source's 6 bytes
      {-1, 0, 2, 0}, {0, -1, 2, 0},
      {0, 0, -2, 0}, {1, 0x7ffffffe, 4, 0},  // an index that would wrap around
  };
  for (const Case& c : cases) {
    ByteBuffer destination(8);
    const ByteBuffer source = counting(6);
    EXPECT_EQ(destination.copyFromIndex(c.destinationIndex, source, c.sourceIndex, c.length),
              c.expected)
        << c.destinationIndex << " " << c.sourceIndex << " " << c.length;
    if (c.expected == 0) {
      EXPECT_THAT(destination.data(), Each(0));
    }
  }

  ByteBuffer destination(8);
  destination.copyFromIndex(4, counting(6), 2, 4);
  EXPECT_THAT(destination.data(), ElementsAre(0, 0, 0, 0, 2, 3, 4, 5));

  ByteBuffer self = counting(6);
  EXPECT_EQ(self.copyFromIndex(1, self, 0, 4), 4);
  EXPECT_THAT(self.data(), ElementsAre(0, 0, 1, 2, 3, 5)) << "overlapping copy within a buffer";
}

TEST(ByteBufferTest, CapacityNeverCountsBytesThatAreNotHeld) {
  ByteBuffer buffer(8);
  buffer.data().resize(3);  // shrunk behind the fixed size's back
  EXPECT_EQ(buffer.capacity(), 3);
  EXPECT_EQ(buffer.copyFromIndex(0, counting(8), 0, 8), 0);
  EXPECT_EQ(buffer.clearFromIndex(0, 8), 3);

  ByteBuffer grown(4);
  grown.data().resize(10);
  EXPECT_EQ(grown.capacity(), 4) << "the fixed size still bounds copies";
}

TEST(ByteBufferTest, ClearFromIndexZeroesUpToTheCapacity) {
  struct Case {
    int index, length, expected;
  };
  const Case cases[] = {{2, 3, 3}, {4, 10, 2}, {6, 1, 0}, {7, 1, 0}, {-1, 3, 0}, {1, 0, 0}};
  for (const Case& c : cases) {
    ByteBuffer buffer = counting(6);
    EXPECT_EQ(buffer.clearFromIndex(c.index, c.length), c.expected) << c.index << " " << c.length;
  }
  ByteBuffer buffer = counting(6);
  buffer.clearFromIndex(4, 10);
  EXPECT_THAT(buffer.data(), ElementsAre(0, 1, 2, 3, 0, 0));
}

TEST(ByteBufferTest, NextBytesAreFreshRandomBytes) {
  const ByteBuffer first = ByteBuffer::nextBytes(32);
  const ByteBuffer second = ByteBuffer::nextBytes(32);
  EXPECT_EQ(first.length(), 32);
  EXPECT_NE(first.data(), second.data());
  EXPECT_EQ(first.fixedSize(), 0);
  EXPECT_EQ(first.limit(), 0);
  EXPECT_EQ(ByteBuffer::nextBytes(0).length(), 0);
  EXPECT_EQ(ByteBuffer::nextBytes(-5).length(), 0);
}

TEST(FixedSizeArrayTest, HeldAtItsSizeWithZeroNumbers) {
  FixedSizeArray array(3);
  EXPECT_THAT(array.elements(), ElementsAre(os::Value(0), os::Value(0), os::Value(0)));
  EXPECT_EQ(array.fixedSize(), 3);

  array.elements()[0] = "kept";
  array.setFixedSize(5);
  EXPECT_EQ(array.elements().size(), 5u);
  EXPECT_EQ(array.elements()[0], os::Value("kept"));
  EXPECT_EQ(array.elements()[4], os::Value(0));
  array.setFixedSize(1);
  EXPECT_THAT(array.elements(), ElementsAre(os::Value("kept")));
  array.setFixedSize(-1);
  EXPECT_EQ(array.fixedSize(), 1);
}

TEST(FixedSizeArrayTest, CopyAndClearWithinCapacity) {
  FixedSizeArray source(os::Array{"a", "b", "c"});
  FixedSizeArray target(4);
  EXPECT_EQ(target.copyFromIndex(1, source, 0, 3), 3);
  EXPECT_THAT(target.elements(),
              ElementsAre(os::Value(0), os::Value("a"), os::Value("b"), os::Value("c")));
  EXPECT_EQ(target.copyFromIndex(0, source, 0, 0), 0) << "a length of at least 1 is required";
  EXPECT_EQ(target.copyFromIndex(2, source, 0, 3), 0) << "past the destination";
  EXPECT_EQ(target.copyFromIndex(0, source, 1, 3), 0) << "past the source";
  EXPECT_EQ(target.copyFromIndex(-1, source, 0, 1), 0);

  EXPECT_EQ(target.clearFromIndex(2, 9), 2);
  EXPECT_THAT(target.elements(),
              ElementsAre(os::Value(0), os::Value("a"), os::Value(0), os::Value(0)));
  EXPECT_EQ(target.clearFromIndex(-2, 2), 0);
}

TEST(FixedSizeArrayTest, FillToByteBufferTakesTheLowByteOfNumbers) {
  const os::Array elements{7, 300, -1, true, 2.9, "9", os::Array{}};
  const ByteBuffer bytes = ExtendTool::fillToByteBuffer(elements);
  EXPECT_THAT(bytes.data(), ElementsAre(7, 44, 255, 1, 2, 0, 0));
  EXPECT_EQ(bytes.fixedSize(), 7);
  EXPECT_EQ(bytes.limit(), 7);
}

TEST(FixedSizeArrayTest, CloneIsDeepAndRefusesValuesWithoutPropertyListForm) {
  os::Array original{1, os::Dictionary{{"list", os::Array{"x"}}}};
  std::optional<os::Array> copy = ExtendTool::clone(original);
  ASSERT_TRUE(copy);
  EXPECT_EQ(*copy, original);
  (*copy)[1].asDictionary()->at("list").asArray()->push_back("y");
  EXPECT_EQ(original[1]["list"].count(), 1u);

  EXPECT_FALSE(ExtendTool::clone(os::Array{1, os::Dictionary{{"gap", nullptr}}}));
  EXPECT_FALSE(ExtendTool::clone(os::Array{os::Array{os::Value()}}));
}

}  // namespace
