#include "core/heartbeats/ring_buffer.h"

#include <gtest/gtest.h>

namespace heartbeats {
namespace {

using Slots = std::vector<std::optional<int>>;

TEST(RingBuffer, PushFillsSlotsInTurnAndOverwritesTheOldest) {
  RingBuffer<int> ring(3);
  std::optional<int> overwritten;
  for (int value : {1, 2, 3}) {
    ASSERT_TRUE(ring.push(value, &overwritten));
    EXPECT_EQ(overwritten, std::nullopt);
  }
  EXPECT_EQ(ring.tailIndex(), 0);
  ASSERT_TRUE(ring.push(4, &overwritten));
  EXPECT_EQ(overwritten, 1);
  EXPECT_EQ(ring.circularQueue(), (Slots{4, 2, 3}));
  EXPECT_EQ(ring.tailIndex(), 1);
  // Iteration is in slot order, not from the tail.
  EXPECT_EQ(ring.elements(), (std::vector<int>{4, 2, 3}));
}

TEST(RingBuffer, PopTakesBackFromTheTailAndMovesItEvenOverEmptySlots) {
  RingBuffer<int> ring(3);
  ring.push(1);
  EXPECT_EQ(ring.pop(), 1);
  EXPECT_EQ(ring.tailIndex(), 0);
  EXPECT_EQ(ring.pop(), std::nullopt);  // slot 2 was empty; the tail wrapped to it anyway
  EXPECT_EQ(ring.tailIndex(), 2);
  EXPECT_EQ(ring.circularQueue(), (Slots{std::nullopt, std::nullopt, std::nullopt}));
}

TEST(RingBuffer, ARingWithoutSlotsStoresNothing) {
  RingBuffer<int> ring(0);
  std::optional<int> overwritten = 9;
  EXPECT_TRUE(ring.push(1, &overwritten));
  EXPECT_EQ(overwritten, std::nullopt);
  EXPECT_EQ(ring.pop(), std::nullopt);
  EXPECT_TRUE(ring.elements().empty());
}

TEST(RingBuffer, APushAtATailOutsideTheSlotsFailsAndChangesNothing) {
  for (int64_t tail : {3, 7, -1}) {
    SCOPED_TRACE(tail);
    RingBuffer<int> ring(Slots{1, 2, 3}, tail);
    RingBufferError error;
    EXPECT_FALSE(ring.push(4, nullptr, &error));
    EXPECT_EQ(error, (RingBufferError{tail, 3}));
    EXPECT_EQ(ring.circularQueue(), (Slots{1, 2, 3}));
    EXPECT_EQ(ring.tailIndex(), tail);
  }
}

TEST(RingBuffer, ErrorDescriptionRunsTheWordsTogetherAsStoredHeartbeatsHaveIt) {
  EXPECT_EQ((RingBufferError{30, 30}).description(),
            "Out-of-bounds push at index 30 to ring buffer withend index of 30.");
}

TEST(RingBuffer, PopFromAStoredTailOutsideTheSlots) {
  struct Case {
    int64_t tail;
    std::optional<int> popped;
    int64_t tailAfter;
  } cases[] = {
      {3, 3, 2},             // one past the last slot: the last slot is before it
      {7, std::nullopt, 7},  // no slot before it: nothing taken, nothing moved
      {-1, 3, 2},            // below the first: wraps to the last slot
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    RingBuffer<int> ring(Slots{1, 2, 3}, c.tail);
    EXPECT_EQ(ring.pop(), c.popped);
    EXPECT_EQ(ring.tailIndex(), c.tailAfter);
  }
}

}  // namespace
}  // namespace heartbeats
