#include "os/net/url.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "os/value/value_utf8.h"

namespace os {
namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  return (c | 0x20) - 'a' + 10;
}
char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::string asciiLowercase(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = asciiLower(c);
  return result;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return asciiLower(x) == asciiLower(y);
         });
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The characters RFC 3986 allows in a URL besides letters, digits and '%' escapes. Everything
// else (blanks, controls, non-ASCII, '"', '<', '>', '\\', '^', '`', '{', '|', '}') makes the
// text no URL, as the platform's parser refuses it.
bool isURLCharacter(char c) {
  return isAlpha(c) || isDigit(c) ||
         std::string_view("-._~:/?#[]@!$&'()*+,;=").find(c) != std::string_view::npos;
}

// A URL or relative reference split into its parts (RFC 3986 appendix B), each still encoded.
struct Components {
  std::optional<std::string> scheme;
  std::optional<std::string> authority;
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;
};

// Splits `text` into components after checking its characters and escapes; nullopt when it is
// no well-formed reference.
std::optional<Components> splitReference(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) {
        return std::nullopt;
      }
      continue;
    }
    if (!isURLCharacter(c)) return std::nullopt;
  }
  Components parts;
  std::string_view rest = text;
  // A scheme is letters, digits, '+', '-', '.' starting with a letter, before the first ':'
  // that comes ahead of any '/', '?' or '#'.
  size_t colon = rest.find(':');
  if (colon != std::string_view::npos && colon > 0 && isAlpha(rest[0]) &&
      rest.find_first_of("/?#") > colon) {
    std::string_view scheme = rest.substr(0, colon);
    bool valid = std::all_of(scheme.begin(), scheme.end(), [](char c) {
      return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
    });
    if (valid) {
      parts.scheme = asciiLowercase(scheme);
      rest.remove_prefix(colon + 1);
    }
  }
  if (size_t hash = rest.find('#'); hash != std::string_view::npos) {
    parts.fragment = std::string(rest.substr(hash + 1));
    if (parts.fragment->find('#') != std::string::npos) return std::nullopt;
    rest = rest.substr(0, hash);
  }
  if (size_t question = rest.find('?'); question != std::string_view::npos) {
    parts.query = std::string(rest.substr(question + 1));
    rest = rest.substr(0, question);
  }
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    size_t end = rest.find('/');
    parts.authority = std::string(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  parts.path = std::string(rest);
  // Brackets belong to an IPv6 host only.
  if (parts.path.find_first_of("[]") != std::string::npos ||
      (parts.query && parts.query->find_first_of("[]") != std::string::npos) ||
      (parts.fragment && parts.fragment->find_first_of("[]") != std::string::npos)) {
    return std::nullopt;
  }
  return parts;
}

// RFC 3986 section 5.2.4.
std::string removeDotSegments(std::string_view input) {
  std::string output;
  while (!input.empty()) {
    if (input.substr(0, 3) == "../") {
      input.remove_prefix(3);
    } else if (input.substr(0, 2) == "./") {
      input.remove_prefix(2);
    } else if (input.substr(0, 3) == "/./") {
      input.remove_prefix(2);
    } else if (input == "/.") {
      input = "/";
    } else if (input.substr(0, 4) == "/../" || input == "/..") {
      input = input.size() == 3 ? std::string_view("/") : input.substr(3);
      size_t last = output.rfind('/');
      output.erase(last == std::string::npos ? 0 : last);
    } else if (input == "." || input == "..") {
      input = {};
    } else {
      size_t next = input.find('/', input[0] == '/' ? 1 : 0);
      output.append(input.substr(0, next));
      input = next == std::string_view::npos ? std::string_view() : input.substr(next);
    }
  }
  return output;
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
  std::optional<Components> parts = splitReference(text);
  if (!parts || !parts->scheme) return std::nullopt;
  URL url;
  url.scheme_ = *parts->scheme;
  url.path_ = parts->path;
  url.query_ = parts->query;
  url.fragment_ = parts->fragment;
  if (parts->authority) {
    url.hasAuthority_ = true;
    std::string_view authority = *parts->authority;
    if (size_t at = authority.rfind('@'); at != std::string_view::npos) {
      url.user_ = std::string(authority.substr(0, at));
      authority.remove_prefix(at + 1);
    }
    std::string_view portText;
    if (!authority.empty() && authority[0] == '[') {
      size_t close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      url.host_ = std::string(authority.substr(1, close - 1));
      url.hostIsIPv6_ = true;
      std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') return std::nullopt;
        portText = after.substr(1);
      }
    } else {
      size_t colon = authority.find(':');
      url.host_ = std::string(authority.substr(0, colon));
      if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
    }
    if (url.host_.find_first_of("[]") != std::string::npos ||
        url.user_.find_first_of("[]") != std::string::npos) {
      return std::nullopt;
    }
    if (!portText.empty()) {
      if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), isDigit)) {
        return std::nullopt;
      }
      int port = std::stoi(std::string(portText));
      if (port > 65535) return std::nullopt;
      url.port_ = port;
    }
  }
  url.compose();
  return url;
}

std::optional<URL> URL::resolve(std::string_view reference, const URL& base) {
  std::optional<Components> ref = splitReference(reference);
  if (!ref) return std::nullopt;
  if (ref->scheme) return parse(reference);
  // RFC 3986 section 5.2.2, with the base's authority and path.
  Components target;
  target.scheme = base.scheme_;
  target.fragment = ref->fragment;
  if (ref->authority) {
    target.authority = ref->authority;
    target.path = removeDotSegments(ref->path);
    target.query = ref->query;
  } else {
    if (ref->path.empty()) {
      target.path = base.path_;
      target.query = ref->query ? ref->query : base.query_;
    } else {
      if (ref->path[0] == '/') {
        target.path = removeDotSegments(ref->path);
      } else {
        std::string merged;
        if (base.hasAuthority_ && base.path_.empty()) {
          merged = "/" + ref->path;
        } else {
          size_t slash = base.path_.rfind('/');
          merged = (slash == std::string::npos ? std::string() : base.path_.substr(0, slash + 1)) +
                   ref->path;
        }
        target.path = removeDotSegments(merged);
      }
      target.query = ref->query;
    }
    if (base.hasAuthority_) {
      std::string authority = base.user_.empty() ? std::string() : base.user_ + "@";
      authority += base.hostIsIPv6_ ? "[" + base.host_ + "]" : base.host_;
      if (base.port_) authority += ":" + std::to_string(*base.port_);
      target.authority = std::move(authority);
    }
  }
  std::string text = *target.scheme + ":";
  if (target.authority) text += "//" + *target.authority;
  text += target.path;
  if (target.query) text += "?" + *target.query;
  if (target.fragment) text += "#" + *target.fragment;
  return parse(text);
}

URL URL::fileURLWithPath(const std::filesystem::path& path) {
  URL url;
  url.scheme_ = "file";
  url.hasAuthority_ = true;
  url.path_ = url::percentEncode(std::filesystem::absolute(path).string(), url::kPathAllowed);
  url.compose();
  return url;
}

void URL::compose() {
  text_ = scheme_ + ":";
  if (hasAuthority_) {
    text_ += "//";
    if (!user_.empty()) text_ += user_ + "@";
    text_ += hostIsIPv6_ ? "[" + host_ + "]" : host_;
    if (port_) text_ += ":" + std::to_string(*port_);
  }
  text_ += path_;
  if (query_) text_ += "?" + *query_;
  if (fragment_) text_ += "#" + *fragment_;
}

std::optional<int> URL::effectivePort() const {
  if (port_) return port_;
  if (scheme_ == "http") return 80;
  if (scheme_ == "https") return 443;
  return std::nullopt;
}

std::string URL::requestTarget() const {
  std::string target = path_.empty() ? "/" : path_;
  if (query_) target += "?" + *query_;
  return target;
}

std::string URL::lastPathComponent() const {
  std::string_view path = path_;
  if (path.empty()) return {};
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "/";
  std::string_view last = path.substr(path.rfind('/') + 1);
  return url::percentDecode(last).value_or(std::string(last));
}

std::filesystem::path URL::filePath() const {
  if (!isFileURL()) return {};
  return url::percentDecode(path_).value_or(path_);
}

namespace url {

std::string percentEncode(std::string_view text, std::string_view allowedCharacters) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (isAlpha(c) || isDigit(c) || allowedCharacters.find(c) != std::string_view::npos) {
      result += c;
    } else {
      auto byte = static_cast<unsigned char>(c);
      result += '%';
      result += kHex[byte >> 4];
      result += kHex[byte & 15];
    }
  }
  return result;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      result += text[i];
      continue;
    }
    if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) {
      return std::nullopt;
    }
    result += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
    i += 2;
  }
  if (!internal::isValidUtf8(result)) return std::nullopt;
  return result;
}

}  // namespace url

HTTPHeaders::HTTPHeaders(std::initializer_list<std::pair<std::string, std::string>> fields) {
  for (const auto& [name, value] : fields) set(name, value);
}

std::optional<std::string> HTTPHeaders::value(std::string_view name) const {
  for (const auto& [field, value] : fields_) {
    if (equalsIgnoringAsciiCase(field, name)) return value;
  }
  return std::nullopt;
}

void HTTPHeaders::set(std::string_view name, std::string value) {
  for (auto& [field, existing] : fields_) {
    if (equalsIgnoringAsciiCase(field, name)) {
      existing = std::move(value);
      return;
    }
  }
  fields_.emplace_back(std::string(name), std::move(value));
}

void HTTPHeaders::add(std::string_view name, std::string_view value) {
  for (auto& [field, existing] : fields_) {
    if (equalsIgnoringAsciiCase(field, name)) {
      existing += ", ";
      existing += value;
      return;
    }
  }
  fields_.emplace_back(std::string(name), std::string(value));
}

void HTTPHeaders::remove(std::string_view name) {
  std::erase_if(fields_,
                [&](const auto& field) { return equalsIgnoringAsciiCase(field.first, name); });
}

Value HTTPHeaders::toValue() const {
  Dictionary dictionary;
  for (const auto& [name, value] : fields_) dictionary[name] = value;
  return dictionary;
}

bool operator==(const HTTPHeaders& a, const HTTPHeaders& b) {
  if (a.size() != b.size()) return false;
  return std::all_of(a.fields_.begin(), a.fields_.end(),
                     [&](const auto& field) { return b.value(field.first) == field.second; });
}

namespace {

class DataInputStream : public InputStream {
 public:
  explicit DataInputStream(std::shared_ptr<const Data> bytes) : bytes_(std::move(bytes)) {}

  int64_t read(uint8_t* buffer, size_t capacity, Error*) override {
    size_t count = std::min(capacity, bytes_->size() - offset_);
    if (count > 0) std::memcpy(buffer, bytes_->data() + offset_, count);
    offset_ += count;
    return static_cast<int64_t>(count);
  }

  std::shared_ptr<InputStream> copy() const override {
    return std::make_shared<DataInputStream>(bytes_);
  }

 private:
  const std::shared_ptr<const Data> bytes_;
  size_t offset_ = 0;
};

class FileInputStream : public InputStream {
 public:
  explicit FileInputStream(std::filesystem::path path) : path_(std::move(path)) {}
  ~FileInputStream() override {
    if (fd_ >= 0) ::close(fd_);
  }

  int64_t read(uint8_t* buffer, size_t capacity, Error* error) override {
    if (fd_ < 0) {
      fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd_ < 0) return fail(error, posixError(errno, path_.string())), -1;
    }
    ssize_t count;
    do {
      count = ::read(fd_, buffer, capacity);
    } while (count < 0 && errno == EINTR);
    if (count < 0) return fail(error, posixError(errno, path_.string())), -1;
    return count;
  }

  std::shared_ptr<InputStream> copy() const override {
    return std::make_shared<FileInputStream>(path_);
  }

 private:
  const std::filesystem::path path_;
  int fd_ = -1;
};

}  // namespace

std::shared_ptr<InputStream> InputStream::withData(Data bytes) {
  return std::make_shared<DataInputStream>(std::make_shared<const Data>(std::move(bytes)));
}

std::shared_ptr<InputStream> InputStream::withFile(std::filesystem::path path) {
  return std::make_shared<FileInputStream>(std::move(path));
}

URLRequest::URLRequest(URL url, double timeoutInterval)
    : url_(std::move(url)), timeoutInterval_(timeoutInterval) {}

void URLRequest::setValue(std::optional<std::string> value, std::string_view field) {
  if (value) {
    headers_.set(field, std::move(*value));
  } else {
    headers_.remove(field);
  }
}

namespace {

// RFC 9110's token characters, of methods and header names.
bool isToken(std::string_view text) {
  static constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return isAlpha(c) || isDigit(c) || kSymbols.find(c) != std::string_view::npos;
  });
}

}  // namespace

std::optional<std::string> URLRequest::unsendableReason() const {
  if (!isToken(method_)) return "The HTTP method \"" + method_ + "\" is not a token.";
  for (const auto& [name, value] : headers_.fields()) {
    if (!isToken(name)) return "The header field name \"" + name + "\" is not a token.";
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
      return "The value of the header field \"" + name + "\" holds a line break or NUL.";
    }
  }
  return std::nullopt;
}

void URLRequest::setHTTPBody(std::optional<Data> body) {
  body_ = std::move(body);
  if (body_) bodyStream_ = nullptr;
}

void URLRequest::setHTTPBodyStream(std::shared_ptr<InputStream> stream) {
  bodyStream_ = std::move(stream);
  if (bodyStream_) body_ = std::nullopt;
}

URLResponse::URLResponse(URL url, std::optional<std::string> mimeType,
                         int64_t expectedContentLength, std::optional<std::string> textEncodingName)
    : url_(std::move(url)),
      mimeType_(std::move(mimeType)),
      expectedContentLength_(expectedContentLength),
      textEncodingName_(std::move(textEncodingName)) {}

std::string URLResponse::suggestedFilename() const {
  std::string last = url_.lastPathComponent();
  if (last.empty() || last == "/") return "Unknown";
  return last;
}

namespace {

// The parameters of a header value such as `text/html; charset="utf-8"`: the part before the
// first ';' and then name/value pairs, names lower-cased and values unquoted.
struct HeaderValue {
  std::string main;
  std::vector<std::pair<std::string, std::string>> parameters;

  explicit HeaderValue(std::string_view text) {
    size_t semicolon = text.find(';');
    main = std::string(trimBlanks(text.substr(0, semicolon)));
    while (semicolon != std::string_view::npos) {
      text.remove_prefix(semicolon + 1);
      semicolon = text.find(';');
      std::string_view parameter = trimBlanks(text.substr(0, semicolon));
      size_t equals = parameter.find('=');
      if (equals == std::string_view::npos) continue;
      std::string_view value = trimBlanks(parameter.substr(equals + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      parameters.emplace_back(asciiLowercase(trimBlanks(parameter.substr(0, equals))),
                              std::string(value));
    }
  }

  std::optional<std::string> parameter(std::string_view name) const {
    for (const auto& [key, value] : parameters) {
      if (key == name) return value;
    }
    return std::nullopt;
  }
};

std::optional<std::string> mimeTypeOf(const HTTPHeaders& headers) {
  std::optional<std::string> contentType = headers.value("Content-Type");
  if (!contentType) return std::nullopt;
  std::string main = asciiLowercase(HeaderValue(*contentType).main);
  if (main.empty()) return std::nullopt;
  return main;
}

std::optional<std::string> textEncodingOf(const HTTPHeaders& headers) {
  std::optional<std::string> contentType = headers.value("Content-Type");
  if (!contentType) return std::nullopt;
  std::optional<std::string> charset = HeaderValue(*contentType).parameter("charset");
  if (!charset || charset->empty()) return std::nullopt;
  return asciiLowercase(*charset);
}

int64_t contentLengthOf(const HTTPHeaders& headers) {
  std::optional<std::string> text = headers.value("Content-Length");
  if (!text) return kURLResponseUnknownLength;
  std::string_view digits = trimBlanks(*text);
  if (digits.empty() || digits.size() > 18 || !std::all_of(digits.begin(), digits.end(), isDigit)) {
    return kURLResponseUnknownLength;
  }
  return std::stoll(std::string(digits));
}

}  // namespace

HTTPURLResponse::HTTPURLResponse(URL url, int statusCode, HTTPHeaders headers)
    : URLResponse(std::move(url), mimeTypeOf(headers), contentLengthOf(headers),
                  textEncodingOf(headers)),
      statusCode_(statusCode),
      headers_(std::move(headers)) {}

std::string HTTPURLResponse::suggestedFilename() const {
  if (std::optional<std::string> disposition = headers_.value("Content-Disposition")) {
    HeaderValue value(*disposition);
    std::optional<std::string> name;
    // RFC 6266: filename* ("UTF-8''name%20escaped") wins over filename.
    if (std::optional<std::string> extended = value.parameter("filename*")) {
      size_t quotes = extended->find("''");
      if (quotes != std::string::npos) name = url::percentDecode(extended->substr(quotes + 2));
    }
    if (!name) name = value.parameter("filename");
    if (name) {
      std::string last = name->substr(name->find_last_of('/') + 1);
      if (!last.empty()) return last;
    }
  }
  return URLResponse::suggestedFilename();
}

std::string HTTPURLResponse::localizedStringForStatusCode(int statusCode) {
  switch (statusCode) {
    case 100:
      return "continue";
    case 101:
      return "switching protocols";
    case 200:
      return "no error";
    case 201:
      return "created";
    case 202:
      return "accepted";
    case 203:
      return "non-authoritative information";
    case 204:
      return "no content";
    case 205:
      return "reset content";
    case 206:
      return "partial content";
    case 300:
      return "multiple choices";
    case 301:
      return "moved permanently";
    case 302:
      return "found";
    case 303:
      return "see other";
    case 304:
      return "not modified";
    case 305:
      return "needs proxy";
    case 307:
      return "temporarily redirected";
    case 400:
      return "bad request";
    case 401:
      return "unauthorized";
    case 402:
      return "payment required";
    case 403:
      return "forbidden";
    case 404:
      return "not found";
    case 405:
      return "method not allowed";
    case 406:
      return "unacceptable";
    case 407:
      return "proxy authentication required";
    case 408:
      return "request timed out";
    case 409:
      return "conflict";
    case 410:
      return "no longer exists";
    case 411:
      return "length required";
    case 412:
      return "precondition failed";
    case 413:
      return "request too large";
    case 414:
      return "requested URL too long";
    case 415:
      return "unsupported media type";
    case 416:
      return "requested range not satisfiable";
    case 417:
      return "expectation failed";
    case 500:
      return "internal server error";
    case 501:
      return "unimplemented";
    case 502:
      return "bad gateway";
    case 503:
      return "service unavailable";
    case 504:
      return "gateway timed out";
    case 505:
      return "unsupported version";
    default:
      break;
  }
  if (statusCode >= 100 && statusCode < 200) return "informational";
  if (statusCode >= 200 && statusCode < 300) return "success";
  if (statusCode >= 300 && statusCode < 400) return "redirected";
  if (statusCode >= 400 && statusCode < 500) return "client error";
  if (statusCode >= 500 && statusCode < 600) return "server error";
  return "server error";
}

}  // namespace os
