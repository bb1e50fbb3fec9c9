#include "core/heartbeats/heartbeats_payload.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>

#include "platform/utilities/gzip.h"

namespace heartbeats {
namespace {

constexpr double kDec8 = 1796688000;  // 2026-12-08 00:00:00 UTC
constexpr double kDec9 = kDec8 + 86400;

// The inverse of the header value: base64url without padding, then gunzip.
std::string decodeHeaderValue(std::string text) {
  std::replace(text.begin(), text.end(), '_', '/');
  std::replace(text.begin(), text.end(), '-', '+');
  size_t padding = (4 - text.size() % 4) % 4;
  text.append(padding, '=');
  os::Data bytes(text.size() / 4 * 3);
  int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                               static_cast<int>(text.size()));
  EXPECT_GE(length, 0);
  bytes.resize(static_cast<size_t>(length) - padding);
  std::optional<os::Data> inflated = VDUNSDataZlib::gul_dataByInflatingGzippedData(bytes);
  if (!inflated) return "";
  return std::string(inflated->begin(), inflated->end());
}

TEST(HeartbeatsPayload, DocumentHasTheDaysOfEachAgent) {
  HeartbeatsPayload payload{{{"agent/1", {kDec8, kDec9}}}, 2};
  EXPECT_EQ(payload.jsonDocument(),
            R"({"heartbeats":[{"agent":"agent/1","dates":["2026-12-08","2026-12-09"]}],)"
            R"("version":2})");
  EXPECT_EQ(HeartbeatsPayload::emptyPayload().jsonDocument(), R"({"heartbeats":[],"version":2})");
  EXPECT_EQ((HeartbeatsPayload{{{"\xFF", {kDec8}}}, 2}).jsonDocument(), std::nullopt);
}

TEST(HeartbeatsPayload, DaysAreUtcDays) {
  struct Case {
    double date;
    const char* day;
  } cases[] = {
      {kDec9, "2026-12-09"},
      {kDec9 + 86399, "2026-12-09"},  // 23:59:59 UTC, whatever the local zone says
      {kDec9 - 1, "2026-12-08"},
      {0, "1970-01-01"},
      {-1, "1969-12-31"},
      {978307200, "2001-01-01"},
  };
  setenv("TZ", "Pacific/Kiritimati", 1);  // UTC+14: a local day would differ
  for (const Case& c : cases) EXPECT_EQ(utcDayText(c.date), c.day) << c.date;
  unsetenv("TZ");
}

TEST(HeartbeatsPayload, HeaderValueIsUrlSafeAndDecodesToTheDocument) {
  const HeartbeatsPayload payloads[] = {
      HeartbeatsPayload::emptyPayload(),
      {{{"agent/1", {kDec8, kDec9}}, {"b/2 c/3", {kDec9}}}, 2},
      // Many agents: long enough that base64 needs "+" and "/" before the alphabet is changed.
      {[] {
         std::vector<HeartbeatsPayload::UserAgentPayload> agents;
         for (int i = 0; i < 40; ++i)
           agents.push_back({"lib/" + std::to_string(i * 7919), {kDec8}});
         return agents;
       }(),
       2},
  };
  for (const HeartbeatsPayload& payload : payloads) {
    std::string header = payload.headerValue();
    SCOPED_TRACE(header);
    EXPECT_FALSE(header.empty());
    EXPECT_EQ(header.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_EQ(decodeHeaderValue(header), *payload.jsonDocument());
  }
}

TEST(HeartbeatsPayload, AnAgentWithoutJsonFormSendsTheEmptyPayload) {
  HeartbeatsPayload payload{{{"\xFF", {kDec8}}}, 2};
  EXPECT_EQ(decodeHeaderValue(payload.headerValue()), R"({"heartbeats":[],"version":2})");
}

}  // namespace
}  // namespace heartbeats
