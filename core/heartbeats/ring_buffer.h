// A ring of a fixed number of slots that a push fills in turn, overwriting the oldest slot once
// every slot holds something; the heartbeat store keeps one ring per application.
//
//   heartbeats::RingBuffer<int> ring(3);
//   ring.push(1);                     // slots [1, -, -], tail 1
//   ring.push(2); ring.push(3);       // slots [1, 2, 3], tail 0
//   std::optional<int> oldest;
//   ring.push(4, &oldest);            // slots [4, 2, 3], tail 1; oldest holds 1
//   ring.pop();                       // 4: tail back to 0, slot 0 empty
//
// Iteration (`elements()`) yields the non-empty slots in slot order 0, 1, ..., not from the tail.
// A ring is a plain value: it has no lock and is copied with its slots.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace heartbeats {

// A push at a tail index outside the ring (only a stored ring that was written wrongly has one).
struct RingBufferError {
  int64_t pushIndex = 0;
  int64_t endIndex = 0;

  // "Out-of-bounds push at index <push> to ring buffer withend index of <end>.": the two words
  // run together, and the stored diagnostic heartbeats carry the text exactly so.
  std::string description() const;
  friend bool operator==(const RingBufferError&, const RingBufferError&) = default;
};

template <typename Element>
class RingBuffer {
 public:
  // `capacity` empty slots, tail 0. The capacity must not be negative.
  explicit RingBuffer(int64_t capacity)
      : circularQueue_(static_cast<size_t>(capacity)), tailIndex_(0) {}
  // A ring as stored: its slots and tail index exactly as given, even a tail out of range.
  RingBuffer(std::vector<std::optional<Element>> slots, int64_t tailIndex)
      : circularQueue_(std::move(slots)), tailIndex_(tailIndex) {}

  // Writes `element` into the slot at the tail and moves the tail on (back to 0 after the last
  // slot); `*overwritten`, when given, receives what the slot held. A ring without slots stores
  // nothing and succeeds. Fails with `*error` and changes nothing when the tail lies outside the
  // slots.
  bool push(Element element, std::optional<Element>* overwritten = nullptr,
            RingBufferError* error = nullptr) {
    if (overwritten) overwritten->reset();
    const auto end = static_cast<int64_t>(circularQueue_.size());
    if (end == 0) return true;
    if (tailIndex_ < 0 || tailIndex_ >= end) {
      if (error) *error = RingBufferError{tailIndex_, end};
      return false;
    }
    std::optional<Element>& slot = circularQueue_[static_cast<size_t>(tailIndex_)];
    if (overwritten) *overwritten = std::move(slot);
    slot = std::move(element);
    tailIndex_ = tailIndex_ + 1 == end ? 0 : tailIndex_ + 1;
    return true;
  }

  // Moves the tail back one slot (to the last slot from 0), empties that slot and returns what it
  // held. The tail moves even when the slot was empty. A ring without slots, or one whose stored
  // tail lies beyond the slot after the last, returns nothing and stays as it is.
  std::optional<Element> pop() {
    const auto end = static_cast<int64_t>(circularQueue_.size());
    // A stored tail beyond the slots has no slot before it to take from.
    if (end == 0 || tailIndex_ > end) return std::nullopt;
    tailIndex_ = tailIndex_ - 1 < 0 ? end - 1 : tailIndex_ - 1;
    return std::exchange(circularQueue_[static_cast<size_t>(tailIndex_)], std::nullopt);
  }

  // The non-empty slots in slot order.
  std::vector<Element> elements() const {
    std::vector<Element> result;
    for (const std::optional<Element>& slot : circularQueue_) {
      if (slot) result.push_back(*slot);
    }
    return result;
  }

  const std::vector<std::optional<Element>>& circularQueue() const { return circularQueue_; }
  int64_t tailIndex() const { return tailIndex_; }

  friend bool operator==(const RingBuffer&, const RingBuffer&) = default;

 private:
  std::vector<std::optional<Element>> circularQueue_;
  int64_t tailIndex_;
};

}  // namespace heartbeats
