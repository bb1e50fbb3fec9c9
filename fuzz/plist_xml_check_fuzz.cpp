// The XML property list check alone, on bytes from anywhere: it must answer for every input
// without reading past the bytes it was given, recursing or working without bound. What it
// accepts then goes through the whole parser, libplist included, which must fail cleanly at
// worst.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "os/value/internal/plist_xml_check.h"
#include "os/value/plist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!os::internal::checkXmlPlist(text)) os::plist::parse(text);
  return 0;
}
