// Response serializers check a finished response (status code and content type) and turn its
// body into an object. Every serializer derives from NKHTTPResponseSerializer, whose own result
// is the body data; the others parse it (JSON, XML, property lists, images: see their headers),
// and NKCompoundResponseSerializer tries several in turn.
//
//   auto serializer = NKJSONResponseSerializer::serializer();
//   std::optional<os::Error> error;
//   NKResponseObject object = serializer->responseObjectForResponse(response, body, &error);
//   // a 404 with a JSON body: object holds the parsed body, error the -1011 status error
//
// Errors are in kNKResponseSerializationErrorDomain: kURLErrorCannotDecodeContentData (-1016)
// for an unacceptable content type, kURLErrorBadServerResponse (-1011) for an unacceptable
// status code (with the content-type error, if any, as its underlying error). Their user info
// holds the message under kNSLocalizedDescriptionKey, the response's URL under
// kNSErrorFailingURLKey, the response under kNKFailingResponseErrorKey (see NKResponseValue)
// and a non-empty body under kNKResponseDataErrorKey.
//
// Why the error is a std::optional<os::Error>* here rather than an os::Error*: a serializer can
// return an object and an error together (a parsed error body), and can find a response invalid
// without any error, so "was an error given" must be readable after the call.
//
// Threads: configure a serializer before sharing it; after that every const member may be
// called from several threads at once (a manager serializes on a concurrent queue).
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "net/response_object.h"
#include "net/serialization_errors.h"
#include "os/net/url.h"
#include "os/value/error.h"
#include "os/value/value.h"

// The platform's user-info key of the URL that failed, here as text.
inline constexpr const char* kNSErrorFailingURLKey = "NSErrorFailingURLKey";

// `response` as a dictionary: "URL", "MIMEType" (when known), "expectedContentLength",
// "textEncodingName" (when known), and for an HTTP response "statusCode" and "allHeaderFields".
os::Value NKResponseValue(const os::URLResponse& response);

// What every response serializer offers.
class NKURLResponseSerialization {
 public:
  virtual ~NKURLResponseSerialization() = default;

  // The object made of `data`, the body of `response` (which may be null), or nil. `*error`,
  // when `error` is given, is set to the error found, or to nullopt when there was none.
  virtual NKResponseObject responseObjectForResponse(
      const std::shared_ptr<const os::URLResponse>& response, const os::Data& data,
      std::optional<os::Error>* error) const = 0;

  // A copy with the same settings.
  virtual std::shared_ptr<NKURLResponseSerialization> copy() const = 0;

  // "<ClassName: 0x...>": tells serializers apart in notifications and logs.
  virtual std::string description() const = 0;
};

// Validates status and content type; its result is the data itself.
class NKHTTPResponseSerializer : public NKURLResponseSerialization {
 public:
  NKHTTPResponseSerializer();
  static std::shared_ptr<NKHTTPResponseSerializer> serializer();

  // The platform's string encoding number (4, UTF-8); kept for callers, not used here.
  uint64_t stringEncoding() const { return stringEncoding_; }
  void setStringEncoding(uint64_t encoding) { stringEncoding_ = encoding; }

  // The status codes that are not an error; nullopt accepts every code. Default 200 to 299.
  const std::optional<std::set<int>>& acceptableStatusCodes() const { return statusCodes_; }
  void setAcceptableStatusCodes(std::optional<std::set<int>> codes);
  // The MIME types accepted (lower case, no parameters); nullopt accepts any type.
  const std::optional<std::set<std::string>>& acceptableContentTypes() const {
    return contentTypes_;
  }
  void setAcceptableContentTypes(std::optional<std::set<std::string>> types);

  // True when `response` is acceptable. A response that is not an HTTP response always is. A
  // response is not acceptable when its MIME type is outside acceptableContentTypes (unless it
  // has no MIME type and `data` is empty) or its status code is outside acceptableStatusCodes.
  // `*error`, when given, is set to the last error made (the status error over the content-type
  // error; none for an unacceptable type without data) or to nullopt.
  bool validateResponse(const std::shared_ptr<const os::URLResponse>& response,
                        const os::Data& data, std::optional<os::Error>* error) const;

  // Validates, then returns `data` (as a data value) whatever the verdict.
  NKResponseObject responseObjectForResponse(const std::shared_ptr<const os::URLResponse>& response,
                                             const os::Data& data,
                                             std::optional<os::Error>* error) const override;
  std::shared_ptr<NKURLResponseSerialization> copy() const override;
  std::string description() const override;

 protected:
  virtual const char* className() const { return "NKHTTPResponseSerializer"; }

  // The guard that parsing serializers run first: validates, and answers whether to go on
  // parsing. Parsing stops when the response is invalid and either no `error` was given or the
  // error is (or holds) an unacceptable content type; otherwise it goes on with the validation
  // error kept in `*error`, so that an error status still comes with its parsed body.
  bool validateForParsing(const std::shared_ptr<const os::URLResponse>& response,
                          const os::Data& data, std::optional<os::Error>* error) const;

 private:
  uint64_t stringEncoding_ = 4;
  std::optional<std::set<int>> statusCodes_;
  std::optional<std::set<std::string>> contentTypes_;
};

// Tries its serializers in order and returns the first result that is not nil.
class NKCompoundResponseSerializer : public NKHTTPResponseSerializer {
 public:
  static std::shared_ptr<NKCompoundResponseSerializer> compoundSerializerWithResponseSerializers(
      std::vector<std::shared_ptr<NKURLResponseSerialization>> serializers);

  const std::vector<std::shared_ptr<NKURLResponseSerialization>>& responseSerializers() const {
    return serializers_;
  }

  // Each serializer of the list that is an NKHTTPResponseSerializer (others are skipped) is
  // asked with its own error; the first non-nil result is returned, and `*error` becomes that
  // serializer's error chained over what `*error` held (NKErrorWithUnderlyingError). When none
  // gives a result: the data, after this serializer's own validation.
  NKResponseObject responseObjectForResponse(const std::shared_ptr<const os::URLResponse>& response,
                                             const os::Data& data,
                                             std::optional<os::Error>* error) const override;
  std::shared_ptr<NKURLResponseSerialization> copy() const override;

 protected:
  const char* className() const override { return "NKCompoundResponseSerializer"; }

 private:
  std::vector<std::shared_ptr<NKURLResponseSerialization>> serializers_;
};
