// For the evaluator's tests: a real measurement database in a sandbox with an Audience over it,
// definitions written as protobuf text, and the stored and bundled results decoded by the
// libprotobuf reference.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "measurement/audience/audience.h"
#include "measurement/audience/test_support.h"
#include "measurement/database/database_test_support.h"

namespace measurement::testing {

class AudienceTest : public OpenDatabaseTest {
 protected:
  void SetUp() override {
    OpenDatabaseTest::SetUp();
    audience_.emplace(*database_);
  }

  static APMPBAudience audienceMessage(std::string_view text) {
    return message<APMPBAudience, ref::Audience>(text);
  }

  bool save(std::initializer_list<std::string> texts) {
    std::vector<APMPBAudience> audiences;
    for (const std::string& text : texts) audiences.push_back(audienceMessage(text));
    return audience_->updateAudiences(audiences);
  }

  bool logEvent(const char* name, Parameters parameters, double timestamp = 100,
                AudienceTimestampsCache* cache = nullptr, int32_t sessionCount = 1) {
    EventAggregates aggregates =
        *EventAggregates::initWithName(name, 1, 1, sessionCount, timestamp);
    return audience_->evaluateFiltersForEventName(name, parameters, aggregates, timestamp, cache);
  }

  bool setProperty(const char* name, Value value, double timestamp = 100) {
    return audience_->evaluateFiltersForUserProperty(
        *UserAttribute::create("app", name, std::move(value), timestamp), nullptr, timestamp);
  }

  // The audience's stored current results; empty when it has none.
  ref::ResultData stored(int32_t audienceID) {
    auto result = database_->filterResultForAudienceID(audienceID, nullptr);
    EXPECT_TRUE(result);
    if (!result || !*result) return ref::ResultData();
    return reference<ref::ResultData>((*result)->currentResults());
  }
  bool hasResult(int32_t audienceID) {
    auto result = database_->filterResultForAudienceID(audienceID, nullptr);
    return result && result->has_value();
  }

  std::vector<ref::AudienceLeafFilterResult> bundle() {
    std::vector<APMPBAudienceLeafFilterResult> leaves;
    EXPECT_TRUE(audience_->resultsForBundling(&leaves));
    std::vector<ref::AudienceLeafFilterResult> decoded;
    for (const APMPBAudienceLeafFilterResult& leaf : leaves) {
      decoded.push_back(reference<ref::AudienceLeafFilterResult>(*leaf.protoBuffer()));
    }
    return decoded;
  }

  static std::vector<uint64_t> words(const google::protobuf::RepeatedField<uint64_t>& field) {
    return std::vector<uint64_t>(field.begin(), field.end());
  }

  std::optional<Audience> audience_;
};

inline Value text(const char* value) { return Value(std::string(value)); }
inline Value integer(int64_t value) { return Value(value); }

}  // namespace measurement::testing
