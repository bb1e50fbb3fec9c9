// URLs from anywhere (Location headers, configured addresses) must parse or fail cleanly; a
// reference resolved against a base must resolve or fail cleanly; and every URL that exists must
// read back from its own text as the same URL. The input is "base\nreference".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "os/net/url.h"

namespace {

void exercise(const os::URL& url) {
  std::optional<os::URL> reread = os::URL::parse(url.absoluteString());
  if (!reread || !(*reread == url) || reread->host() != url.host() ||
      reread->path() != url.path() || reread->port() != url.port()) {
    std::abort();
  }
  (void)url.requestTarget();
  (void)url.lastPathComponent();
  (void)url.effectivePort();
  (void)url.filePath();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t newline = input.find('\n');
  std::string_view baseText = input.substr(0, newline);
  std::optional<os::URL> base = os::URL::parse(baseText);
  if (!base) return 0;
  exercise(*base);
  if (newline == std::string_view::npos) return 0;
  if (std::optional<os::URL> resolved = os::URL::resolve(input.substr(newline + 1), *base)) {
    exercise(*resolved);
  }
  return 0;
}
