// Property-list bytes from anywhere must parse or fail cleanly, and whatever parses must
// serialise and parse back to an equal value in both formats.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "os/value/plist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::optional<os::Value> value = os::plist::parse(bytes);
  if (!value) return 0;
  for (os::plist::Format format : {os::plist::Format::Xml, os::plist::Format::Binary}) {
    std::optional<std::string> written = os::plist::serialize(*value, format);
    if (!written) continue;  // e.g. a value the other format cannot carry
    std::optional<os::Value> reread = os::plist::parse(*written);
    if (!reread || !(*reread == *value)) std::abort();
  }
  return 0;
}
