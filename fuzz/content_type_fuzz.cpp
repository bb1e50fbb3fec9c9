// Content-Type and Content-Disposition values from a server must be read or ignored cleanly:
// the media type comes out lower-case and without parameters, the charset lower-case. The input
// is "content type\ncontent disposition".
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "os/net/url.h"

namespace {

void requireLowerCase(const std::optional<std::string>& text) {
  if (!text) return;
  for (char c : *text) {
    if (c >= 'A' && c <= 'Z') std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t newline = input.find('\n');
  os::HTTPHeaders headers;
  headers.set("Content-Type", std::string(input.substr(0, newline)));
  if (newline != std::string_view::npos) {
    headers.set("Content-Disposition", std::string(input.substr(newline + 1)));
  }
  static const os::URL url = *os::URL::parse("https://download.tessaro.example/files/app.zip");
  os::HTTPURLResponse response(url, 200, headers);
  requireLowerCase(response.MIMEType());
  if (response.MIMEType() && response.MIMEType()->find(';') != std::string::npos) std::abort();
  requireLowerCase(response.textEncodingName());
  if (response.suggestedFilename().empty()) std::abort();
  return 0;
}
