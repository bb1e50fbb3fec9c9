// Localisation tables come with the bundle but are edited by hand: any bytes must parse or
// fail with an error, never crash or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "os/bundle/strings_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  os::Error error;
  (void)os::strings::parse(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  return 0;
}
