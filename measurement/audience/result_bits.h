// The evaluation bits of one audience's `ResultData`: filter f is bit f % 64 of word f / 64 of
// `status` (it has been evaluated) and of `results` (it held). The lists grow with zero words
// when a filter beyond their end is written and never shrink; reading or clearing never looks
// past the end of either list.
//
//   ResultBits bits = ResultBits::of(resultData);
//   bits.set(64, true);         // appends a zero word to both lists, then sets bit 0 of word 1
//   bits.holds(64);             // true
//   bits.writeTo(resultData);
#pragma once

#include <cstdint>
#include <vector>

#include "measurement/wire/schema/apmpb.h"

namespace measurement {

// Stored filter ids run from 0 to one below the largest number of filters an audience may
// have; a stored record outside that range is corrupt.
inline constexpr int32_t kFilterIDLimit = 100;
inline bool isFilterIDInRange(int32_t filterID) {
  return filterID >= 0 && filterID < kFilterIDLimit;
}

inline int32_t filterResultWordIndex(int32_t filterID) { return filterID / 64; }
inline int32_t filterResultBitIndex(int32_t filterID) { return filterID % 64; }

struct ResultBits {
  std::vector<uint64_t> status;
  std::vector<uint64_t> results;

  static ResultBits of(const APMPBResultData& data);
  // Replaces the message's two lists.
  void writeTo(APMPBResultData& data) const;

  // Both bits set; false for an id outside the lists or a negative one.
  bool holds(int32_t filterID) const;
  // The status bit set when `evaluated`, the result bit when it `held`; the lists grow to hold
  // the word. A negative id changes nothing.
  void set(int32_t filterID, bool evaluated, bool held);
  // Clears both bits where the lists hold them.
  void clear(int32_t filterID);
  // Some status word is not zero.
  bool hasAnyBitSet() const;
};

}  // namespace measurement
