// The records that carry audience definitions and results between the audience evaluator and
// the measurement database: one per saved event filter, one per saved user-property filter, and
// one per audience's results. Records are values: each keeps its own copy of its bytes, and a
// change is a new record.
//
//   EventFilter filter(audienceID, filterID, "_vs", encodedFilter, false, true, false);
//   const AudienceFilter& any = filter;   // what the timestamps cache and the evaluator read
//
// `data` holds the encoded `EventFilter` or `PropertyFilter` message, with internal names, and
// is the authority for the three flags: the database reads them back from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "os/value/value.h"

namespace measurement {

// What the evaluator asks of a filter without caring about its kind.
class AudienceFilter {
 public:
  virtual ~AudienceFilter() = default;
  virtual int32_t audienceID() const = 0;
  virtual int32_t filterID() const = 0;
  virtual bool isSessionScoped() const = 0;
  virtual bool isDynamic() const = 0;
  virtual bool isSequence() const = 0;
};

// The identity, data and flags that event and property filters share.
class FilterRecord : public AudienceFilter {
 public:
  int32_t audienceID() const override { return audienceID_; }
  int32_t filterID() const override { return filterID_; }
  bool isSessionScoped() const override { return sessionScoped_; }
  bool isDynamic() const override { return dynamic_; }
  bool isSequence() const override { return sequence_; }
  // The encoded filter message.
  const os::Data& data() const { return data_; }

 protected:
  FilterRecord(int32_t audienceID, int32_t filterID, os::Data data, bool sessionScoped,
               bool dynamic, bool sequence)
      : audienceID_(audienceID),
        filterID_(filterID),
        data_(std::move(data)),
        sessionScoped_(sessionScoped),
        dynamic_(dynamic),
        sequence_(sequence) {}

 private:
  int32_t audienceID_;
  int32_t filterID_;
  os::Data data_;
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
};

// A filter on events of one internal name.
class EventFilter : public FilterRecord {
 public:
  EventFilter(int32_t audienceID, int32_t filterID, std::string eventName, os::Data data,
              bool sessionScoped, bool dynamic, bool sequence)
      : FilterRecord(audienceID, filterID, std::move(data), sessionScoped, dynamic, sequence),
        eventName_(std::move(eventName)) {}

  const std::string& eventName() const { return eventName_; }

 private:
  std::string eventName_;
};

// A filter on one internal user-property name.
class PropertyFilter : public FilterRecord {
 public:
  PropertyFilter(int32_t audienceID, int32_t filterID, std::string propertyName, os::Data data,
                 bool sessionScoped, bool dynamic, bool sequence)
      : FilterRecord(audienceID, filterID, std::move(data), sessionScoped, dynamic, sequence),
        propertyName_(std::move(propertyName)) {}

  const std::string& propertyName() const { return propertyName_; }

 private:
  std::string propertyName_;
};

// One audience's results: the encoded `ResultData` of the latest evaluation, and the one last
// reported in an upload bundle (std::nullopt when never reported; the evaluator treats empty
// alike).
class FilterResult {
 public:
  FilterResult(int32_t audienceID, os::Data currentResults, std::optional<os::Data> previousResults)
      : audienceID_(audienceID),
        currentResults_(std::move(currentResults)),
        previousResults_(std::move(previousResults)) {}

  int32_t audienceID() const { return audienceID_; }
  const os::Data& currentResults() const { return currentResults_; }
  const std::optional<os::Data>& previousResults() const { return previousResults_; }

  friend bool operator==(const FilterResult&, const FilterResult&) = default;

 private:
  int32_t audienceID_;
  os::Data currentResults_;
  std::optional<os::Data> previousResults_;
};

}  // namespace measurement
