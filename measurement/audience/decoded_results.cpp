#include "measurement/audience/decoded_results.h"

namespace measurement {

std::shared_ptr<const APMPBResultData> DecodedResultsCache::decode(
    int32_t audienceID, const std::optional<FilterResult>& result) {
  if (!result || result->currentResults().empty()) return nullptr;
  const os::Data& bytes = result->currentResults();
  auto kept = byAudience_.find(audienceID);
  if (kept != byAudience_.end() && kept->second.first == bytes) return kept->second.second;
  std::optional<APMPBResultData> decoded = APMPBResultData::initWithBuffer(bytes);
  if (!decoded) return nullptr;
  auto message = std::make_shared<const APMPBResultData>(std::move(*decoded));
  keep(audienceID, bytes, message);
  return message;
}

void DecodedResultsCache::keep(int32_t audienceID, os::Data bytes,
                               std::shared_ptr<const APMPBResultData> message) {
  if (byAudience_.size() >= kDecodedResultsCapacity && !byAudience_.contains(audienceID)) {
    byAudience_.clear();
  }
  byAudience_.insert_or_assign(audienceID, std::make_pair(std::move(bytes), std::move(message)));
}

}  // namespace measurement
