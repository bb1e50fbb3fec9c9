// Inflates arbitrary bytes as a received gzip or zlib body: never a crash, never output past the
// cap, and a result only for a complete stream.
#include <cstddef>
#include <cstdint>

#include "platform/utilities/gzip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kCap = size_t{1} << 20;
  os::Error error;
  auto inflated = VDUNSDataZlib::gul_dataByInflatingGzippedData({data, size}, &error, kCap);
  if (inflated && inflated->size() > kCap) __builtin_trap();
  return 0;
}
