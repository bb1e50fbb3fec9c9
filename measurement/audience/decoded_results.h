// The decoded current results of each audience, by the bytes they were decoded from: the
// evaluator reads every touched audience's stored result at each event, mostly the very bytes it
// wrote at the event before, and keeps the message it encoded them from, so that reading them
// back needs no decoding. A kept message is used only for exactly its bytes, so whoever writes
// the stored results, and whatever a rollback takes back, a read never sees a stale message.
//
//   DecodedResultsCache decoded;
//   std::shared_ptr<const APMPBResultData> data = decoded.decode(audienceID, storedResult);
//   decoded.keep(audienceID, writtenBytes, std::move(writtenMessage));
//
// Belongs to one evaluator and its queue; the messages it hands out are never changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "measurement/model/audience_filters.h"
#include "measurement/wire/schema/apmpb.h"
#include "os/value/value.h"

namespace measurement {

// At most this many audiences are kept; a full cache is emptied before the next one is added.
inline constexpr size_t kDecodedResultsCapacity = 1024;

class DecodedResultsCache {
 public:
  // The result's current results decoded; nullptr without a result, for empty bytes and for
  // bytes that do not decode.
  std::shared_ptr<const APMPBResultData> decode(int32_t audienceID,
                                                const std::optional<FilterResult>& result);
  // `message` is what `bytes`, the audience's current results about to be stored, encode.
  void keep(int32_t audienceID, os::Data bytes, std::shared_ptr<const APMPBResultData> message);

 private:
  std::map<int32_t, std::pair<os::Data, std::shared_ptr<const APMPBResultData>>> byAudience_;
};

}  // namespace measurement
