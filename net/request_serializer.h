// Request serializers: a method, a URL string and parameters become an os::URLRequest with the
// serializer's default headers ("Accept-Language" from the preferred languages, "User-Agent"
// from the main bundle) and the parameters in the URL's query (GET, HEAD, DELETE) or in the body
// (form text, JSON, or property-list text).
//
//   auto serializer = NKJSONRequestSerializer::serializer();
//   serializer->setTimeoutInterval(20);                       // applied to every later request
//   serializer->setValue("Bearer abc", "Authorization");
//   os::Error error;
//   std::optional<os::URLRequest> request = serializer->requestWithMethod(
//       "POST", "https://api.example.test/items", os::Dictionary{{"name", "disk"}}, &error);
//   if (!request) return fail(error);   // e.g. a malformed URL string, or a set in a JSON body
//
// A serializer is not guarded: configure it and build requests on one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "net/multipart_form_data.h"
#include "net/query_string.h"
#include "os/net/url.h"
#include "os/value/error.h"
#include "os/value/value.h"

// How a serializer writes parameters into a query or form body.
enum class NKHTTPRequestQueryStringSerializationStyle : uint64_t {
  // NKQueryStringFromParameters (net/query_string.h).
  Default = 0,
};

// The request-serialization error of a URL string that is not an absolute URL: code
// os::kURLErrorBadURL in kNKRequestSerializationErrorDomain.
os::Error NKInvalidURLStringError(std::string_view URLString);
// The error of a request whose method or headers cannot go out as they are (`reason`, from
// os::URLRequest::unsendableReason), with the same code and domain.
os::Error NKUnsendableRequestError(std::string_view URLString, const std::string& reason);

// Parameters as a query string in the URL or as a form body; the base of the JSON and
// property-list serializers, which change only what a body method's body is. Held through
// std::shared_ptr (a session manager keeps one).
class NKHTTPRequestSerializer {
 public:
  // Replaces the style: returns the query for `parameters`, or nullopt after filling `*error`
  // (never null) to refuse the request.
  using QueryStringSerialization = std::function<std::optional<std::string>(
      const os::URLRequest& request, const NKParameters& parameters, os::Error* error)>;
  // What finishes a stream-to-file copy: nullopt, or the error that stopped it.
  using StreamToFileCompletion = std::function<void(const std::optional<os::Error>& error)>;

  // A new serializer with the defaults of the constructor.
  static std::shared_ptr<NKHTTPRequestSerializer> serializer();

  // Default headers: "Accept-Language" lists os::preferredLanguages() with qualities 1, 0.9, ...
  // down to 0.5 at most ("en-GB;q=1, en;q=0.9"); "User-Agent" is "<executable>/<version> (Mac OS X
  // <OS version>)" from the main bundle (its identifier when it names no executable, its
  // CFBundleVersion when it has no short version), transliterated to ASCII when it holds other
  // characters. Parameters of GET, HEAD and DELETE go into the URL.
  NKHTTPRequestSerializer();
  virtual ~NKHTTPRequestSerializer() = default;
  NKHTTPRequestSerializer(const NKHTTPRequestSerializer&) = delete;
  NKHTTPRequestSerializer& operator=(const NKHTTPRequestSerializer&) = delete;

  // --- request properties ---
  // Each is applied to new requests only once it has been set here, even to the request's own
  // default; until then a request keeps its default. The getters answer the request defaults
  // for what has not been set.
  bool allowsCellularAccess() const { return allowsCellularAccess_.value_or(true); }
  void setAllowsCellularAccess(bool allows) { allowsCellularAccess_ = allows; }
  os::URLRequestCachePolicy cachePolicy() const {
    return cachePolicy_.value_or(os::URLRequestCachePolicy::UseProtocolCachePolicy);
  }
  void setCachePolicy(os::URLRequestCachePolicy policy) { cachePolicy_ = policy; }
  bool HTTPShouldHandleCookies() const { return shouldHandleCookies_.value_or(true); }
  void setHTTPShouldHandleCookies(bool handle) { shouldHandleCookies_ = handle; }
  bool HTTPShouldUsePipelining() const { return shouldUsePipelining_.value_or(false); }
  void setHTTPShouldUsePipelining(bool use) { shouldUsePipelining_ = use; }
  uint64_t networkServiceType() const { return networkServiceType_.value_or(0); }
  void setNetworkServiceType(uint64_t type) { networkServiceType_ = type; }
  double timeoutInterval() const { return timeoutInterval_.value_or(60.0); }
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
  // The names of the properties set so far, in the order "allowsCellularAccess", "cachePolicy",
  // "HTTPShouldHandleCookies", "HTTPShouldUsePipelining", "networkServiceType",
  // "timeoutInterval".
  std::vector<std::string> changedRequestProperties() const;

  // --- default headers ---
  // Added to every request that does not carry the same field (names compare
  // case-insensitively).
  const os::HTTPHeaders& HTTPRequestHeaders() const { return headers_; }
  // Sets a default header; nullopt removes it.
  void setValue(std::optional<std::string> value, std::string_view field);
  std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const {
    return headers_.value(field);
  }
  // "Authorization: Basic <base64 of user:password>" (UTF-8, standard alphabet).
  void setAuthorizationHeaderFieldWithUsername(std::string_view username,
                                               std::string_view password);
  void clearAuthorizationHeader() { headers_.remove("Authorization"); }

  // --- where and how parameters go ---
  // Upper-case methods whose parameters go into the URL; {"GET", "HEAD", "DELETE"} by default.
  const std::set<std::string>& HTTPMethodsEncodingParametersInURI() const {
    return methodsEncodingParametersInURI_;
  }
  void setHTTPMethodsEncodingParametersInURI(std::set<std::string> methods) {
    methodsEncodingParametersInURI_ = std::move(methods);
  }
  NKHTTPRequestQueryStringSerializationStyle queryStringSerializationStyle() const {
    return queryStringSerializationStyle_;
  }
  // Sets the style and drops a serialization block.
  void setQueryStringSerializationWithStyle(NKHTTPRequestQueryStringSerializationStyle style);
  // Query strings and form bodies come from `block` from now on.
  void setQueryStringSerializationWithBlock(QueryStringSerialization block);

  // --- requests ---
  // A request for `method` (sent as given) and the absolute URL `URLString`, with the request
  // properties set on this serializer, then requestBySerializingRequest. nullopt with
  // NKInvalidURLStringError when the URL string does not parse, with NKUnsendableRequestError
  // when the method or a header holds a line break, or with the serialization's error.
  std::optional<os::URLRequest> requestWithMethod(std::string method, std::string_view URLString,
                                                  const std::optional<NKParameters>& parameters,
                                                  os::Error* error) const;

  // A multipart/form-data request: the request of requestWithMethod without parameters, then a
  // form field for each query pair of `parameters` (data as itself, null as no bytes, anything
  // else as its description in UTF-8), then the parts that `block` appends, finalized (see
  // NKStreamingMultipartFormData::requestByFinalizingMultipartFormData).
  std::optional<os::URLRequest> multipartFormRequestWithMethod(
      std::string method, std::string_view URLString, const std::optional<NKParameters>& parameters,
      const std::function<void(NKMultipartFormData&)>& block, os::Error* error) const;

  // Copies the body stream of `request` into the file at `fileURL` (created or truncated) on
  // the global default-priority queue, and returns at once a copy of `request` without body
  // stream, to upload that file. `completion` runs on the main queue with nullopt once every
  // byte has been written, or with the first error: a read error of the stream, a write error (a
  // full disk, a file-size limit) or a URL that is not a file URL; after an error the partial file
  // is removed (only a regular file; a device stays). A request without body stream gives an empty
  // file.
  os::URLRequest requestWithMultipartFormRequest(const os::URLRequest& request,
                                                 const os::URL& fileURL,
                                                 StreamToFileCompletion completion) const;

  // `request` with the default headers that it lacks and `parameters`: for a method of
  // HTTPMethodsEncodingParametersInURI, a non-empty query joins the URL's query with "&" (or
  // starts one with "?"), before any "#fragment"; for other methods the query is the body (empty
  // without parameters), with "Content-Type: application/x-www-form-urlencoded" unless the
  // request has a Content-Type. nullopt with the error of a serialization
  // block that refused, or with NKInvalidURLStringError when a block's query makes the URL
  // invalid.
  virtual std::optional<os::URLRequest> requestBySerializingRequest(
      const os::URLRequest& request, const std::optional<NKParameters>& parameters,
      os::Error* error) const;

  // --- copying and coding ---
  // A new serializer of the same class that carries the default headers, the style and the
  // serialization block (plus the subclass's own options); the request properties and the
  // methods that encode into the URL start from their defaults, as in a new serializer.
  virtual std::shared_ptr<NKHTTPRequestSerializer> copy() const;
  // The serializer's keyed form as a property-list dictionary: "$class" (the class name),
  // "mutableHTTPRequestHeaders" (a dictionary of strings), "queryStringSerializationStyle" (an
  // integer), and the subclass's options. A serialization block is not carried.
  virtual os::Value encode() const;
  // A serializer of the class named in `coded` made as new, then given the coded headers, style
  // and options. nullptr with an error (Cocoa domain, code 4864, the platform's coder read
  // error) when `coded` is not such a dictionary.
  static std::shared_ptr<NKHTTPRequestSerializer> decode(const os::Value& coded, os::Error* error);

 protected:
  // Makes a body of parameters, or fills `*error` (never null) and returns nullopt.
  using BodyWriter =
      std::function<std::optional<os::Data>(const NKParameters& parameters, os::Error* error)>;
  // What the subclasses' requestBySerializingRequest does: for a method that encodes parameters
  // into the URL, this class's serialization; otherwise `request` with the default headers it
  // lacks and, when parameters are given, the body `writeBody` makes of them and "Content-Type"
  // `contentType` unless the request has one.
  std::optional<os::URLRequest> requestWithBody(const os::URLRequest& request,
                                                const std::optional<NKParameters>& parameters,
                                                const std::string& contentType,
                                                const BodyWriter& writeBody,
                                                os::Error* error) const;
  // `request` with the default headers it lacks.
  os::URLRequest requestWithDefaultHeaders(const os::URLRequest& request) const;
  bool encodesParametersInURI(const os::URLRequest& request) const;
  // What copy() and decode() carry over from `other`, and read from `coded` (false when a key
  // holds the wrong kind). Subclasses extend both with their options.
  virtual void copyPropertiesFrom(const NKHTTPRequestSerializer& other);
  virtual bool decodePropertiesFrom(const os::Dictionary& coded);

 private:
  // The class name written under "$class".
  virtual const char* className() const { return "NKHTTPRequestSerializer"; }
  // A new serializer of this class with the defaults.
  virtual std::shared_ptr<NKHTTPRequestSerializer> makeEmpty() const;

  os::HTTPHeaders headers_;
  std::set<std::string> methodsEncodingParametersInURI_;
  NKHTTPRequestQueryStringSerializationStyle queryStringSerializationStyle_ =
      NKHTTPRequestQueryStringSerializationStyle::Default;
  QueryStringSerialization queryStringSerialization_;

  std::optional<bool> allowsCellularAccess_;
  std::optional<os::URLRequestCachePolicy> cachePolicy_;
  std::optional<bool> shouldHandleCookies_;
  std::optional<bool> shouldUsePipelining_;
  std::optional<uint64_t> networkServiceType_;
  std::optional<double> timeoutInterval_;
};

// Parameters as a JSON body ("Content-Type: application/json" unless the request has one); the
// methods that encode parameters into the URL behave as in NKHTTPRequestSerializer.
class NKJSONRequestSerializer : public NKHTTPRequestSerializer {
 public:
  // The platform's JSON writing options, combinable.
  static constexpr uint64_t kWritingPrettyPrinted = 1;
  static constexpr uint64_t kWritingSortedKeys = 2;
  static constexpr uint64_t kWritingFragmentsAllowed = 4;
  static constexpr uint64_t kWritingWithoutEscapingSlashes = 8;

  static std::shared_ptr<NKJSONRequestSerializer> serializer();
  static std::shared_ptr<NKJSONRequestSerializer> serializerWithWritingOptions(
      uint64_t writingOptions);

  uint64_t writingOptions() const { return writingOptions_; }
  void setWritingOptions(uint64_t options) { writingOptions_ = options; }

  // For a body method with parameters, the body is their JSON text. nullopt with the JSON
  // writer's error (Cocoa domain, code 3840) when they cannot be written as JSON: a set, data,
  // a date, a non-finite number, or a top-level scalar without kWritingFragmentsAllowed.
  std::optional<os::URLRequest> requestBySerializingRequest(
      const os::URLRequest& request, const std::optional<NKParameters>& parameters,
      os::Error* error) const override;

  // Coding adds "writingOptions".
  os::Value encode() const override;

 protected:
  void copyPropertiesFrom(const NKHTTPRequestSerializer& other) override;
  bool decodePropertiesFrom(const os::Dictionary& coded) override;

 private:
  const char* className() const override { return "NKJSONRequestSerializer"; }
  std::shared_ptr<NKHTTPRequestSerializer> makeEmpty() const override;

  uint64_t writingOptions_ = 0;
};

// A property-list text as the body ("Content-Type: application/x-plist" unless the request has
// one); the methods that encode parameters into the URL behave as in NKHTTPRequestSerializer.
class NKPropertyListRequestSerializer : public NKHTTPRequestSerializer {
 public:
  // The platform's property-list format numbers.
  static constexpr uint64_t kFormatXML = 100;
  static constexpr uint64_t kFormatBinary = 200;

  // Format binary, no write options.
  static std::shared_ptr<NKPropertyListRequestSerializer> serializer();
  static std::shared_ptr<NKPropertyListRequestSerializer> serializerWithFormat(
      uint64_t format, uint64_t writeOptions);

  uint64_t format() const { return format_; }
  void setFormat(uint64_t format) { format_ = format; }
  uint64_t writeOptions() const { return writeOptions_; }
  void setWriteOptions(uint64_t options) { writeOptions_ = options; }

  // For a body method, parameters that are a string become the body as their UTF-8 bytes (the
  // caller has written the property list). Any other parameters object (a dictionary, an
  // array, a number...) is refused: nullopt and an error in the Cocoa domain with code
  // os::plist::kWriteInvalidError (3851). The format and write options are carried for coding
  // and copying.
  std::optional<os::URLRequest> requestBySerializingRequest(
      const os::URLRequest& request, const std::optional<NKParameters>& parameters,
      os::Error* error) const override;

  // Coding adds "format" and "writeOptions".
  os::Value encode() const override;

 protected:
  void copyPropertiesFrom(const NKHTTPRequestSerializer& other) override;
  bool decodePropertiesFrom(const os::Dictionary& coded) override;

 private:
  const char* className() const override { return "NKPropertyListRequestSerializer"; }
  std::shared_ptr<NKHTTPRequestSerializer> makeEmpty() const override;

  uint64_t format_ = kFormatBinary;
  uint64_t writeOptions_ = 0;
};
