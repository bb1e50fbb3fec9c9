#include "os/url.h"

namespace os {

std::optional<URL> URL::parse(std::string_view) { return std::nullopt; }
std::optional<URL> URL::resolve(std::string_view, const URL&) { return std::nullopt; }
URL URL::fileURLWithPath(const std::filesystem::path&) { return URL(); }
std::optional<int> URL::effectivePort() const { return port_; }
std::string URL::requestTarget() const { return path_; }
std::string URL::lastPathComponent() const { return {}; }
std::filesystem::path URL::filePath() const { return {}; }
void URL::compose() {}

namespace url {
std::string percentEncode(std::string_view text, std::string_view) { return std::string(text); }
std::optional<std::string> percentDecode(std::string_view text) { return std::string(text); }
}  // namespace url

HTTPHeaders::HTTPHeaders(std::initializer_list<std::pair<std::string, std::string>> fields)
    : fields_(fields) {}
std::optional<std::string> HTTPHeaders::value(std::string_view) const { return std::nullopt; }
void HTTPHeaders::set(std::string_view, std::string) {}
void HTTPHeaders::add(std::string_view, std::string_view) {}
void HTTPHeaders::remove(std::string_view) {}
Value HTTPHeaders::toValue() const { return {}; }
bool operator==(const HTTPHeaders& a, const HTTPHeaders& b) { return a.fields_ == b.fields_; }

std::shared_ptr<InputStream> InputStream::withData(Data) { return nullptr; }
std::shared_ptr<InputStream> InputStream::withFile(std::filesystem::path) { return nullptr; }

URLRequest::URLRequest(URL url, double timeoutInterval)
    : url_(std::move(url)), timeoutInterval_(timeoutInterval) {}
void URLRequest::setValue(std::optional<std::string>, std::string_view) {}
void URLRequest::setHTTPBody(std::optional<Data> body) { body_ = std::move(body); }
void URLRequest::setHTTPBodyStream(std::shared_ptr<InputStream> stream) {
  bodyStream_ = std::move(stream);
}

URLResponse::URLResponse(URL url, std::optional<std::string> mimeType,
                         int64_t expectedContentLength, std::optional<std::string> textEncodingName)
    : url_(std::move(url)),
      mimeType_(std::move(mimeType)),
      expectedContentLength_(expectedContentLength),
      textEncodingName_(std::move(textEncodingName)) {}
std::string URLResponse::suggestedFilename() const { return "Unknown"; }

HTTPURLResponse::HTTPURLResponse(URL url, int statusCode, HTTPHeaders headers)
    : URLResponse(std::move(url), std::nullopt, -1, std::nullopt),
      statusCode_(statusCode),
      headers_(std::move(headers)) {}
std::string HTTPURLResponse::suggestedFilename() const { return "Unknown"; }
std::string HTTPURLResponse::localizedStringForStatusCode(int) { return {}; }

}  // namespace os
