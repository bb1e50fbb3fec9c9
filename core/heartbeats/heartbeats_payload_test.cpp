#include "core/heartbeats/heartbeats_payload.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/utilities/gzip.h"

namespace heartbeats {
namespace {

constexpr double kDec8 = 1796688000;  // 2026-12-08 00:00:00 UTC
constexpr double kDec9 = kDec8 + 86400;

// The inverse of the header value: base64url without padding, then gunzip.
std::string decodeHeaderValue(const std::string& text) {
  std::optional<os::Data> bytes = base64UrlDecoded(text);
  EXPECT_TRUE(bytes) << text;
  std::optional<os::Data> inflated =
      VDUNSDataZlib::gul_dataByInflatingGzippedData(bytes.value_or(os::Data()));
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

TEST(Base64Url, DecodesWhatItEncodesAtEveryLength) {
  // Lengths 0 to 5 cover every amount of missing padding; 0xFB 0xFF give "-" and "_".
  const os::Data all = {0xFB, 0xFF, 0xBF, 0x00, 0x3E, 0xFF};
  for (size_t length = 0; length <= all.size(); ++length) {
    const os::Data bytes(all.begin(), all.begin() + static_cast<ptrdiff_t>(length));
    const std::string text = base64UrlWithoutPadding(bytes.data(), bytes.size());
    EXPECT_EQ(base64UrlDecoded(text), bytes) << text;
  }
  EXPECT_EQ(base64UrlWithoutPadding(all.data(), 3), "-_-_");
}

TEST(Base64Url, RefusesTextThatDoesNotDecode) {
  using enum Base64DecodingOptions;
  struct Case {
    const char* text;
    Base64DecodingOptions options;
    std::optional<std::string> bytes;
  } cases[] = {
      {"aGk", none, "hi"},
      {"aGk=", none, "hi"},  // padding already there is kept
      {"aGVsbG8", none, "hello"},
      {"a", none, std::nullopt},      // one character is never a byte
      {"aGk==", none, std::nullopt},  // more padding than the group needs
      {"aG=k", none, std::nullopt},   // "=" before the end
      {"aG k", none, std::nullopt},   // a blank is no base64
      {"aG+k", none, "ho\xA4"},       // a standard "+" stays what it is
      // Skipped characters count in the length that the padding completes.
      {"aG k", ignoreUnknownCharacters, "hi"},
      {"aGVs\nbG8", ignoreUnknownCharacters, "hello"},
      {"aG k=", ignoreUnknownCharacters, std::nullopt},
      {"", none, ""},
  };
  for (const Case& c : cases) {
    std::optional<os::Data> decoded = base64UrlDecoded(c.text, c.options);
    std::optional<std::string> text;
    if (decoded) text.emplace(decoded->begin(), decoded->end());
    EXPECT_EQ(text, c.bytes) << c.text;
  }
}

}  // namespace
}  // namespace heartbeats
