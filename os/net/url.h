// URLs, URL requests and URL responses: what a URL session takes and gives back.
//
//   std::optional<os::URL> base = os::URL::parse("https://downloads.example.test/v1/");
//   std::optional<os::URL> file = os::URL::resolve("../files/app.zip?x=1", *base);
//   file->absoluteString();             // "https://downloads.example.test/files/app.zip?x=1"
//
//   os::URLRequest request(*file);
//   request.setHTTPMethod("POST");
//   request.setValue("application/json", "Content-Type");  // names compare case-insensitively
//   request.setHTTPBody(os::Data{'{', '}'});
//   request.setTimeoutInterval(30);
//
//   os::url::percentEncode("a b&c", os::url::kQueryAllowed);  // "a%20b&c"
//
// All types here are values (copyable, no shared state) except the body stream of a request,
// which a request shares with its copies, as the platform's request shares its stream object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/value/error.h"
#include "os/value/value.h"

namespace os {

// An absolute URL, "scheme:[//[user@]host[:port]]path[?query][#fragment]", kept as written:
// path, query and fragment stay percent-encoded, the scheme is lower-cased, nothing else is
// normalised. Built only through parse(), resolve() and fileURLWithPath(), so a URL that exists
// is valid.
class URL {
 public:
  // Parses an absolute URL (RFC 3986). nullopt when the text has no scheme, holds a character
  // that a URL may not hold (a blank, a control character, non-ASCII, '<', '"', ...), a bad
  // percent escape, or a port that is not a number up to 65535, as the platform's
  // URLWithString: answers nil.
  static std::optional<URL> parse(std::string_view text);

  // Resolves `reference`, relative or absolute, against `base` as RFC 3986 section 5 does
  // (dot segments removed, query and fragment taken from the reference). nullopt when the
  // reference itself is malformed, as parse() decides.
  static std::optional<URL> resolve(std::string_view reference, const URL& base);

  // The "file://" URL of an absolute path (a relative path is taken against the current
  // folder); characters outside the path set are percent-encoded.
  static URL fileURLWithPath(const std::filesystem::path& path);

  // The whole URL as text, as parsed (scheme lower-cased).
  const std::string& absoluteString() const { return text_; }
  // Lower-case scheme without ':' ("https").
  const std::string& scheme() const { return scheme_; }
  // The host as written, without the brackets of an IPv6 literal; empty when the URL has no
  // authority or an empty host.
  const std::string& host() const { return host_; }
  // The explicit port; nullopt when none is written.
  std::optional<int> port() const { return port_; }
  // The port to connect to: the explicit one, else 80 for http, 443 for https, else nullopt.
  std::optional<int> effectivePort() const;
  // The user-info part before '@' (still encoded); empty when absent.
  const std::string& user() const { return user_; }
  // The path, still percent-encoded ("/a%20b"); empty when the URL has none.
  const std::string& path() const { return path_; }
  // The query without '?', still encoded; nullopt when there is no '?'.
  const std::optional<std::string>& query() const { return query_; }
  // The fragment without '#', still encoded; nullopt when there is no '#'.
  const std::optional<std::string>& fragment() const { return fragment_; }

  // The path, query included, as an HTTP request target: "/a/b?c=d" ("/" when the path is
  // empty).
  std::string requestTarget() const;
  // The last non-empty segment of the path, percent-decoded ("app.zip" for "/files/app.zip",
  // "files" for "/files/"); "/" for the root path, "" when there is no path.
  std::string lastPathComponent() const;

  bool isFileURL() const { return scheme_ == "file"; }
  // The decoded path of a file URL as a file-system path; empty for other URLs.
  std::filesystem::path filePath() const;

  friend bool operator==(const URL& a, const URL& b) { return a.text_ == b.text_; }

 private:
  URL() = default;
  // Builds the URL from its parts and sets text_.
  void compose();

  std::string text_;
  std::string scheme_;
  bool hasAuthority_ = false;
  std::string user_;
  std::string host_;
  bool hostIsIPv6_ = false;
  std::optional<int> port_;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

namespace url {

// The platform's allowed-character sets for each part of a URL: ASCII letters and digits, and
// these characters. Encoding with a set keeps its characters and escapes every other byte.
inline constexpr std::string_view kUnreservedCharacters = "-._~";
inline constexpr std::string_view kQueryAllowed = "!$&'()*+,-./:;=?@_~";
inline constexpr std::string_view kFragmentAllowed = "!$&'()*+,-./:;=?@_~";
inline constexpr std::string_view kPathAllowed = "!$&'()*+,-./:=@_~";
inline constexpr std::string_view kHostAllowed = "!$&'()*+,-.:;=[]_~";
inline constexpr std::string_view kUserAllowed = "!$&'()*+,-.;=_~";
inline constexpr std::string_view kPasswordAllowed = "!$&'()*+,-.;=_~";

// `text` with every byte that is not an ASCII letter or digit and not in `allowedCharacters`
// replaced by "%XX" (upper-case hex); a UTF-8 character becomes one escape per byte.
std::string percentEncode(std::string_view text, std::string_view allowedCharacters);

// `text` with every "%XX" escape replaced by its byte. nullopt when an escape is malformed or
// the result is not valid UTF-8, as the platform's stringByRemovingPercentEncoding answers nil.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace url

// Header fields of a request or response. Names keep the case they were set with and compare
// case-insensitively (ASCII); each name appears once, in the order first set.
class HTTPHeaders {
 public:
  HTTPHeaders() = default;
  HTTPHeaders(std::initializer_list<std::pair<std::string, std::string>> fields);

  // The value of `name`; nullopt when absent.
  std::optional<std::string> value(std::string_view name) const;
  bool contains(std::string_view name) const { return value(name).has_value(); }
  // Sets `name` to `value`, replacing an earlier value (the earlier spelling of the name stays).
  void set(std::string_view name, std::string value);
  // Appends `value` to an existing field as ", value", or sets it when absent, as the
  // platform's addValue:forHTTPHeaderField: does.
  void add(std::string_view name, std::string_view value);
  // Removes `name`; nothing happens when it is absent.
  void remove(std::string_view name);

  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }
  bool empty() const { return fields_.empty(); }
  size_t size() const { return fields_.size(); }
  // The fields as a dictionary of strings (keys as spelled), for user info and descriptions.
  Value toValue() const;

  // Equal when both have the same names (case-insensitively) with the same values.
  friend bool operator==(const HTTPHeaders& a, const HTTPHeaders& b);

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

// A source of request body bytes (the platform's input stream). A session reads it on its
// transfer thread, from the start, once per transmission of the body.
class InputStream {
 public:
  virtual ~InputStream() = default;

  // Reads up to `capacity` bytes into `buffer`: the number read, 0 at the end of the stream, or
  // -1 with `*error` filled when the stream failed. Must not block for long: it runs on the
  // session's transfer thread.
  virtual int64_t read(uint8_t* buffer, size_t capacity, Error* error) = 0;

  // A new stream that yields the same bytes from the start, for a copyable stream (one that the
  // platform's streams of data and of files are); nullptr when the stream cannot be copied.
  virtual std::shared_ptr<InputStream> copy() const { return nullptr; }

  // A copyable stream over `bytes`.
  static std::shared_ptr<InputStream> withData(Data bytes);
  // A copyable stream over the file at `path`, opened at the first read; a file that cannot be
  // opened fails that read with a POSIX error.
  static std::shared_ptr<InputStream> withFile(std::filesystem::path path);
};

// The platform's request cache policies, with their values. Sessions here keep no cache, so
// every policy loads from the origin; the value is carried for callers that set and read it.
enum class URLRequestCachePolicy : uint64_t {
  UseProtocolCachePolicy = 0,
  ReloadIgnoringLocalCacheData = 1,
  ReloadIgnoringLocalAndRemoteCacheData = 4,
  ReturnCacheDataElseLoad = 2,
  ReturnCacheDataDontLoad = 3,
  ReloadRevalidatingCacheData = 5,
};

// An HTTP request: URL, method, headers, body, timeout. The default timeout is 60 seconds of
// inactivity (see os/net/urlsession.h for how a session applies it).
class URLRequest {
 public:
  explicit URLRequest(URL url, double timeoutInterval = 60.0);

  const URL& url() const { return url_; }
  void setURL(URL url) { url_ = std::move(url); }

  // Upper-case by convention; "GET" by default. Sent as given.
  const std::string& HTTPMethod() const { return method_; }
  void setHTTPMethod(std::string method) { method_ = std::move(method); }

  const HTTPHeaders& allHTTPHeaderFields() const { return headers_; }
  void setAllHTTPHeaderFields(HTTPHeaders headers) { headers_ = std::move(headers); }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
    return headers_.value(name);
  }
  // setValue:forHTTPHeaderField:; a nullopt value removes the field.
  void setValue(std::optional<std::string> value, std::string_view field);
  // addValue:forHTTPHeaderField:.
  void addValue(std::string_view value, std::string_view field) { headers_.add(field, value); }

  // Why the request cannot go out as it is: a method or a header name that is not an HTTP
  // token, or a header value holding CR, LF or NUL. Each would put extra lines, or a second
  // request, on the wire. nullopt when it can go out.
  std::optional<std::string> unsendableReason() const;

  // The body as bytes. Setting it drops a body stream, and setting a stream drops the bytes, as
  // a request carries one or the other.
  const std::optional<Data>& HTTPBody() const { return body_; }
  void setHTTPBody(std::optional<Data> body);
  const std::shared_ptr<InputStream>& HTTPBodyStream() const { return bodyStream_; }
  void setHTTPBodyStream(std::shared_ptr<InputStream> stream);

  // Seconds without any byte received or sent after which the request fails with
  // kURLErrorTimedOut.
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }

  URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
  void setCachePolicy(URLRequestCachePolicy policy) { cachePolicy_ = policy; }

  // Properties that the platform's request carries and request serializers set. Linux has no
  // cellular interface, cookies are not stored and HTTP/1.1 pipelining is not used, so sessions
  // here do not act on them; they are kept so that what a caller sets reads back.
  bool allowsCellularAccess() const { return allowsCellularAccess_; }
  void setAllowsCellularAccess(bool allows) { allowsCellularAccess_ = allows; }
  bool HTTPShouldHandleCookies() const { return shouldHandleCookies_; }
  void setHTTPShouldHandleCookies(bool handle) { shouldHandleCookies_ = handle; }
  bool HTTPShouldUsePipelining() const { return shouldUsePipelining_; }
  void setHTTPShouldUsePipelining(bool use) { shouldUsePipelining_ = use; }
  // The platform's network service type number (0 default).
  uint64_t networkServiceType() const { return networkServiceType_; }
  void setNetworkServiceType(uint64_t type) { networkServiceType_ = type; }

 private:
  URL url_;
  std::string method_ = "GET";
  HTTPHeaders headers_;
  std::optional<Data> body_;
  std::shared_ptr<InputStream> bodyStream_;
  double timeoutInterval_;
  URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::UseProtocolCachePolicy;
  bool allowsCellularAccess_ = true;
  bool shouldHandleCookies_ = true;
  bool shouldUsePipelining_ = false;
  uint64_t networkServiceType_ = 0;
};

// The platform's "unknown length" for expected content lengths and transfer sizes.
inline constexpr int64_t kURLResponseUnknownLength = -1;

// What a server answered, apart from the body. Responses are shared between a task and its
// callers as std::shared_ptr<const URLResponse>; an HTTP response is an HTTPURLResponse
// (std::dynamic_pointer_cast to tell).
class URLResponse {
 public:
  URLResponse(URL url, std::optional<std::string> mimeType, int64_t expectedContentLength,
              std::optional<std::string> textEncodingName);
  virtual ~URLResponse() = default;

  const URL& url() const { return url_; }
  // Lower-case media type without parameters ("application/json"); nullopt when unknown.
  const std::optional<std::string>& MIMEType() const { return mimeType_; }
  // Length of the body in bytes as announced; kURLResponseUnknownLength when not announced.
  int64_t expectedContentLength() const { return expectedContentLength_; }
  // The charset parameter of the content type, lower-case, unquoted ("utf-8"); nullopt when
  // none is given.
  const std::optional<std::string>& textEncodingName() const { return textEncodingName_; }
  // A file name for saving the body: the Content-Disposition file name of an HTTP response,
  // else the URL's last path component, else "Unknown".
  virtual std::string suggestedFilename() const;

 private:
  URL url_;
  std::optional<std::string> mimeType_;
  int64_t expectedContentLength_;
  std::optional<std::string> textEncodingName_;
};

class HTTPURLResponse : public URLResponse {
 public:
  // MIME type, text encoding and expected length are read from the Content-Type and
  // Content-Length headers.
  HTTPURLResponse(URL url, int statusCode, HTTPHeaders headers);

  int statusCode() const { return statusCode_; }
  const HTTPHeaders& allHeaderFields() const { return headers_; }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
    return headers_.value(name);
  }
  std::string suggestedFilename() const override;

  // The platform's short text for a status code: "not found" for 404, "no error" for 200,
  // "internal server error" for 500; an unlisted code gets its class ("informational",
  // "success", "redirected", "client error", "server error").
  static std::string localizedStringForStatusCode(int statusCode);

 private:
  int statusCode_;
  HTTPHeaders headers_;
};

}  // namespace os
