// JSON text from anywhere must parse or fail cleanly, and whatever parses must serialise and
// parse back to an equal value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "os/value/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<os::Value> value = os::json::parse(text, nullptr, /*allowFragments=*/true);
  if (!value) return 0;
  os::json::WriteOptions options;
  options.fragmentsAllowed = true;
  std::optional<std::string> written = os::json::serialize(*value, options);
  if (!written) return 0;
  std::optional<os::Value> reread = os::json::parse(*written, nullptr, true);
  if (!reread || !(*reread == *value)) std::abort();
  return 0;
}
