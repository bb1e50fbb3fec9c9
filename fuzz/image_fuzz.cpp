// Image bytes from anywhere (a server's picture, a bundle's resource) must decode or fail
// cleanly, and never make the decoder allocate more than the pixel cap allows: libFuzzer's
// -rss_limit_mb catches an image decoded at a size its header should have refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "support/image_extensions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<Image> image = Image::fromData(std::span(data, size));
  if (image && int64_t{image->width()} * image->height() > Image::kMaxDecodedPixels) std::abort();
  return 0;
}
