#include "measurement/audience/result_bits.h"

#include <algorithm>

#include "measurement/wire/access.h"

namespace measurement {
namespace {

std::vector<uint64_t> words(const APMPBResultData& data, int32_t index) {
  std::vector<uint64_t> list;
  for (const os::Value& word : APMPBGetArray(data, index)) list.push_back(word.unsignedValue());
  return list;
}

os::Array array(const std::vector<uint64_t>& list) {
  os::Array values;
  values.reserve(list.size());
  for (uint64_t word : list) values.emplace_back(word);
  return values;
}

void setBit(std::vector<uint64_t>& list, size_t word, uint64_t mask, bool on) {
  if (word >= list.size()) return;
  list[word] = on ? list[word] | mask : list[word] & ~mask;
}

}  // namespace

ResultBits ResultBits::of(const APMPBResultData& data) {
  return {words(data, kResultData_status), words(data, kResultData_results)};
}

void ResultBits::writeTo(APMPBResultData& data) const {
  APMPBSetArray(data, kResultData_status, array(status));
  APMPBSetArray(data, kResultData_results, array(results));
}

bool ResultBits::holds(int32_t filterID) const {
  if (filterID < 0) return false;
  const size_t word = static_cast<size_t>(filterResultWordIndex(filterID));
  const uint64_t mask = uint64_t{1} << filterResultBitIndex(filterID);
  return word < status.size() && word < results.size() && (status[word] & mask) != 0 &&
         (results[word] & mask) != 0;
}

void ResultBits::set(int32_t filterID, bool evaluated, bool held) {
  // An id no audience can have would grow the lists by up to millions of words.
  if (!isFilterIDInRange(filterID)) return;
  const size_t word = static_cast<size_t>(filterResultWordIndex(filterID));
  while (status.size() <= word || results.size() <= word) {
    status.push_back(0);
    results.push_back(0);
  }
  const uint64_t mask = uint64_t{1} << filterResultBitIndex(filterID);
  setBit(status, word, mask, evaluated);
  setBit(results, word, mask, held);
}

void ResultBits::clear(int32_t filterID) {
  if (filterID < 0) return;
  const size_t word = static_cast<size_t>(filterResultWordIndex(filterID));
  const uint64_t mask = uint64_t{1} << filterResultBitIndex(filterID);
  setBit(status, word, mask, false);
  setBit(results, word, mask, false);
}

bool ResultBits::hasAnyBitSet() const {
  return std::any_of(status.begin(), status.end(), [](uint64_t word) { return word != 0; });
}

}  // namespace measurement
