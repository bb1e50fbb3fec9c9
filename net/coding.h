// Keyed forms of the HTTP client's objects. Where the platform archived an object with a keyed
// coder, we write a property-list dictionary (os::Value) under the same keys, with the class
// name under "$class"; os::plist turns it into bytes and back:
//
//   os::Value coded = NKEncodeResponseSerializer(*serializer);
//   std::string bytes = *os::plist::serialize(coded, os::plist::Format::Binary);
//   ...
//   os::Error error;
//   auto restored = NKDecodeResponseSerializer(*os::plist::parse(bytes), &error);
//   if (!restored) report(error);   // not a coded serializer, or a key of the wrong kind
//
// The request serializers, the security policy and the HTTP session manager code themselves
// (encode() and decode() on their classes); this header holds what they share and the forms of
// the classes that have no coding of their own: session configurations and response
// serializers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/response_serialization.h"
#include "os/net/urlsession.h"
#include "os/value/error.h"
#include "os/value/value.h"

// The key of the class name in every coded object.
inline constexpr const char* kNKCodedClassKey = "$class";
// The platform's NSCoderReadCorruptError, in os::kCocoaErrorDomain.
inline constexpr int64_t kNKCoderReadCorruptError = 4864;

// The error of a coded form that cannot be read, with `reason` as its description and as
// "NSDebugDescription" in its user info.
os::Error NKCoderReadCorruptError(std::string reason);

// The entries of `coded` when it is a dictionary whose "$class" is `className`; else nullptr.
const os::Dictionary* NKCodedObject(const os::Value& coded, std::string_view className);

// Read the value under `key` into `*out`. An absent key leaves `*out` as it was; false (with
// `*out` unchanged) when the key holds another kind.
bool NKDecodeBool(const os::Dictionary& coded, std::string_view key, bool* out);
bool NKDecodeUnsigned(const os::Dictionary& coded, std::string_view key, uint64_t* out);
bool NKDecodeReal(const os::Dictionary& coded, std::string_view key, double* out);

// --- session configurations ---

// `configuration` as "$class" ("NSURLSessionConfiguration"), "identifier" (background
// configurations only), "ephemeral", "timeoutIntervalForRequest",
// "timeoutIntervalForResource", "HTTPAdditionalHeaders" (a dictionary of strings) and
// "HTTPMaximumConnectionsPerHost".
os::Value NKEncodeSessionConfiguration(const os::URLSessionConfiguration& configuration);
// The configuration coded in `coded`: a background configuration for its identifier when it
// has one, else an ephemeral or default one, given the coded settings. nullopt with
// NKCoderReadCorruptError when `coded` is no coded configuration or a key holds the wrong kind.
std::optional<os::URLSessionConfiguration> NKDecodeSessionConfiguration(const os::Value& coded,
                                                                        os::Error* error);

// The key under which a session manager codes its session configuration.
inline constexpr const char* kNKSessionConfigurationKey = "sessionConfiguration";
// The configuration that the coded manager `entries` holds under kNKSessionConfigurationKey,
// into `*out`; an absent key leaves `*out` nullopt (the manager gets the default one). False,
// with the error of NKDecodeSessionConfiguration, when it cannot be read.
bool NKDecodeManagerConfiguration(const os::Dictionary& entries,
                                  std::optional<os::URLSessionConfiguration>* out,
                                  os::Error* error);

// --- response serializers ---

// `serializer` under its class name ("NKHTTPResponseSerializer", "NKJSONResponseSerializer",
// ...) with "acceptableStatusCodes" (a sorted array of integers) and "acceptableContentTypes"
// (a sorted array of strings), each left out when the serializer accepts anything, plus the
// class's own options: "readingOptions" and "removesKeysWithNullValues" (JSON), "options" (XML
// document), "format" and "readOptions" (property list), "responseSerializers" (compound: the
// coded forms of those of its serializers that are NKHTTPResponseSerializers, the only ones it
// asks).
os::Value NKEncodeResponseSerializer(const NKHTTPResponseSerializer& serializer);
// A serializer of the coded class made as new, then given the coded settings; an absent
// "acceptableStatusCodes" or "acceptableContentTypes" means "accept anything", as it was when
// encoded. nullptr with NKCoderReadCorruptError when `coded` is no coded response serializer or
// a key holds the wrong kind.
std::shared_ptr<NKHTTPResponseSerializer> NKDecodeResponseSerializer(const os::Value& coded,
                                                                     os::Error* error);
