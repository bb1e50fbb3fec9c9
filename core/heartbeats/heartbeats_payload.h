// What a flush of the heartbeat store hands out: the recorded days grouped by user-agent text,
// and its compact form for the "X-riveravo-client" request header.
//
//   heartbeats::HeartbeatsPayload payload = controller.flush();
//   if (!payload.isEmpty()) request.setValue(payload.headerValue(), "X-riveravo-client");
//
// The header value is the payload's JSON document ({"heartbeats":[{"agent":"a/1","dates":
// ["2026-12-09"]}],"version":2}), gzipped, then base64url without padding: only A-Z a-z 0-9 - and
// _. A payload is a plain value; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/value/value.h"

namespace heartbeats {

struct HeartbeatsPayload {
  struct UserAgentPayload {
    std::string agent;
    // Starts of UTC days, in the producer's order.
    std::vector<double> dates;
    friend bool operator==(const UserAgentPayload&, const UserAgentPayload&) = default;
  };

  // The version of every payload this system makes.
  static constexpr int64_t kVersion = 2;

  std::vector<UserAgentPayload> userAgentPayloads;
  int64_t version = kVersion;

  // No user agents, version 2.
  static const HeartbeatsPayload& emptyPayload();

  bool isEmpty() const { return userAgentPayloads.empty(); }

  // The JSON document: dates as their UTC day "yyyy-MM-dd", keys sorted, no blanks. nullopt when
  // an agent is not UTF-8 (it has no JSON form).
  std::optional<std::string> jsonDocument() const;

  // The document gzipped (or as it is, should gzip fail), as base64url without padding; the
  // empty payload's when the document cannot be made. Never empty: even the empty payload has a
  // value, so callers test isEmpty() first.
  std::string headerValue() const;

  friend bool operator==(const HeartbeatsPayload&, const HeartbeatsPayload&) = default;
};

// `bytes` as base64url (RFC 4648 section 5: "-" and "_" for "+" and "/") without "=" padding.
std::string base64UrlWithoutPadding(const uint8_t* bytes, size_t length);

// How strictly base64 text is read, as the platform's decoder takes it.
enum class Base64DecodingOptions {
  // Every character must be of the alphabet, "=" only as the padding at the end.
  none,
  // Characters outside the alphabet (blanks, line breaks, ...) are skipped.
  ignoreUnknownCharacters,
};

// The inverse of base64UrlWithoutPadding: "_" and "-" read as "/" and "+", "=" appended up to a
// multiple of 4 characters, then standard base64 decoded under `options`. nullopt for text that
// does not decode (a character outside the alphabet, a length no padding completes, "=" before
// the end), so that a damaged header value is never read as other bytes.
std::optional<os::Data> base64UrlDecoded(
    std::string_view text, Base64DecodingOptions options = Base64DecodingOptions::none);

// "yyyy-MM-dd" of the UTC day that holds `date` (seconds since 1970), whatever the local zone.
std::string utcDayText(double date);

}  // namespace heartbeats
