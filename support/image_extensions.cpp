#include "support/image_extensions.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "os/files/files.h"

namespace {

struct GObjectRelease {
  void operator()(void* object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectRelease>;

struct ContextRelease {
  void operator()(cairo_t* context) const { cairo_destroy(context); }
};
using Context = std::unique_ptr<cairo_t, ContextRelease>;

// Moves a GError into `error` (its domain as text, its code and message) and frees it.
void takeGError(GError* gerror, os::Error* error) {
  if (gerror == nullptr) return;
  os::fail(error, os::Error(g_quark_to_string(gerror->domain), gerror->code, gerror->message));
  g_error_free(gerror);
}

// The premultiplied ARGB32 pixel of straight-alpha 8-bit components.
uint32_t premultiplied(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha) {
  auto scale = [alpha](uint8_t component) -> uint32_t { return (component * alpha + 127) / 255; };
  return uint32_t{alpha} << 24 | scale(red) << 16 | scale(green) << 8 | scale(blue);
}

// The loader's "size-prepared" handler: it runs once the header has given the size, before
// the pixels are decoded. Asking an oversized image for no pixels at all makes the loader stop
// with an error there instead of allocating it.
void refuseOversizedImage(GdkPixbufLoader* loader, int width, int height, gpointer refusedSize) {
  if (int64_t{width} * int64_t{height} <= Image::kMaxDecodedPixels) return;
  *static_cast<std::optional<std::pair<int, int>>*>(refusedSize) = std::pair{width, height};
  gdk_pixbuf_loader_set_size(loader, 0, 0);
}

// The pixels of a GIF's frames, added up frame by frame from their descriptors without decoding
// any: the first total past kMaxDecodedPixels, or nullopt when the frames stay within it (or the
// bytes are no GIF, or end early, which the loader then reports). The loader's size check sees
// only the logical screen, while each frame is decoded at its own size, and an animation may
// hold any number of them.
std::optional<int64_t> gifPixelsPastCap(std::span<const uint8_t> bytes) {
  size_t at = 0;
  auto has = [&](size_t count) { return bytes.size() - at >= count; };
  auto side = [&](size_t offset) {
    return int64_t{bytes[at + offset]} | int64_t{bytes[at + offset + 1]} << 8;
  };
  // Data sub-blocks, each led by its length, up to the empty one; false when the bytes end first.
  auto skipSubBlocks = [&] {
    while (has(1)) {
      const size_t length = bytes[at++];
      if (length == 0) return true;
      if (!has(length)) return false;
      at += length;
    }
    return false;
  };
  // The colour table that a packed field's top bit announces, of 2^(n+1) three-byte entries.
  auto skipColourTable = [&](uint8_t packed) {
    const size_t length = (packed & 0x80) ? 3 * (size_t{2} << (packed & 0x07)) : 0;
    if (!has(length)) return false;
    at += length;
    return true;
  };

  constexpr size_t kHeader = 6;
  constexpr size_t kScreen = 7;
  if (!has(kHeader + kScreen) || std::memcmp(bytes.data(), "GIF8", 4) != 0) return std::nullopt;
  at = kHeader;
  const uint8_t screenPacked = bytes[at + 4];
  at += kScreen;
  if (!skipColourTable(screenPacked)) return std::nullopt;
  int64_t pixels = 0;
  while (has(1)) {
    const uint8_t introducer = bytes[at++];
    if (introducer == 0x2C) {  // an image: left, top, width, height, packed fields
      constexpr size_t kDescriptor = 9;
      if (!has(kDescriptor)) return std::nullopt;
      pixels += side(4) * side(6);
      if (pixels > Image::kMaxDecodedPixels) return pixels;
      const uint8_t packed = bytes[at + 8];
      at += kDescriptor;
      // The colour table, the LZW code size, then the compressed data.
      if (!skipColourTable(packed) || !has(1)) return std::nullopt;
      ++at;
      if (!skipSubBlocks()) return std::nullopt;
    } else if (introducer == 0x21) {  // an extension: its label, then its data
      if (!has(1)) return std::nullopt;
      ++at;
      if (!skipSubBlocks()) return std::nullopt;
    } else {  // the trailer, or bytes the loader will complain about
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// The error for an image refused for its size; `amount` says how many pixels it has.
os::Error tooManyPixels(const std::string& amount) {
  return os::Error(
      g_quark_to_string(GDK_PIXBUF_ERROR), GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
      amount + " pixels, more than the " + std::to_string(Image::kMaxDecodedPixels) + " allowed");
}

// Copies a decoded pixbuf into a new image.
std::optional<Image> imageFromPixbuf(GdkPixbuf* pixbuf, os::Error* error) {
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int height = gdk_pixbuf_get_height(pixbuf);
  std::optional<Image> image = Image::create(width, height);
  if (!image) {
    os::fail(error, os::Error(os::kCocoaErrorDomain, 259, "The image is too large to hold"));
    return std::nullopt;
  }
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const bool hasAlpha = gdk_pixbuf_get_has_alpha(pixbuf);
  const int sourceStride = gdk_pixbuf_get_rowstride(pixbuf);
  const uint8_t* source = gdk_pixbuf_read_pixels(pixbuf);

  cairo_surface_t* surface = image->surface();
  cairo_surface_flush(surface);
  uint8_t* target = cairo_image_surface_get_data(surface);
  const int targetStride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = source + static_cast<ptrdiff_t>(y) * sourceStride;
    auto* out = reinterpret_cast<uint32_t*>(target + static_cast<ptrdiff_t>(y) * targetStride);
    for (int x = 0; x < width; ++x, in += channels) {
      out[x] = premultiplied(in[0], in[1], in[2], hasAlpha ? in[3] : 255);
    }
  }
  cairo_surface_mark_dirty(surface);
  return image;
}

// The new image that imageToFitSize and its kin draw into, with a context on it.
struct Canvas {
  Image image;
  Context context;
};

std::optional<Canvas> canvasOfSize(double width, double height) {
  if (!(width > 0 && height > 0)) return std::nullopt;
  std::optional<Image> image =
      Image::create(static_cast<int>(std::lround(width)), static_cast<int>(std::lround(height)));
  if (!image) return std::nullopt;
  Context context(cairo_create(image->surface()));
  return Canvas{std::move(*image), std::move(context)};
}

// Draws the part `source` of `image` stretched over `destination`.
void drawPart(const Image& image, cairo_t* context, Image::Rect source, Image::Rect destination,
              cairo_operator_t operation, double fraction) {
  cairo_save(context);
  cairo_rectangle(context, destination.x, destination.y, destination.width, destination.height);
  cairo_clip(context);
  cairo_translate(context, destination.x, destination.y);
  cairo_scale(context, destination.width / source.width, destination.height / source.height);
  cairo_set_source_surface(context, image.surface(), -source.x, -source.y);
  cairo_pattern_t* pattern = cairo_get_source(context);
  cairo_pattern_set_filter(pattern, CAIRO_FILTER_BEST);
  // Padding keeps the image's edge pixels opaque instead of fading them into transparency.
  cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
  cairo_set_operator(context, operation);
  cairo_paint_with_alpha(context, fraction);
  cairo_restore(context);
}

}  // namespace

std::optional<Image> Image::create(int width, int height) {
  if (width < 1 || height < 1) return std::nullopt;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return std::nullopt;
  }
  return Image(surface);
}

std::optional<Image> Image::fromData(std::span<const uint8_t> bytes, os::Error* error) {
  const os::Error unknownFormat(os::kCocoaErrorDomain, 259, "The data is not a known image format");
  if (bytes.empty()) {
    os::fail(error, unknownFormat);
    return std::nullopt;
  }
  if (std::optional<int64_t> pixels = gifPixelsPastCap(bytes)) {
    os::fail(error, tooManyPixels("The image's frames have " + std::to_string(*pixels)));
    return std::nullopt;
  }
  GObjectPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new());
  std::optional<std::pair<int, int>> refusedSize;
  g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(refuseOversizedImage), &refusedSize);
  GError* gerror = nullptr;
  const bool written = gdk_pixbuf_loader_write(loader.get(), bytes.data(), bytes.size(), &gerror);
  // Close even after a failed write: the loader insists on being closed before it is released.
  const bool closed = gdk_pixbuf_loader_close(loader.get(), written ? &gerror : nullptr);
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader.get());
  if (refusedSize) {
    g_clear_error(&gerror);
    os::fail(error, tooManyPixels("The image is " + std::to_string(refusedSize->first) + " x " +
                                  std::to_string(refusedSize->second)));
    return std::nullopt;
  }
  if (!written || !closed || pixbuf == nullptr) {
    if (gerror == nullptr) os::fail(error, unknownFormat);
    takeGError(gerror, error);
    return std::nullopt;
  }
  return imageFromPixbuf(pixbuf, error);
}

std::optional<Image> Image::fromFile(const std::filesystem::path& path, os::Error* error) {
  std::optional<std::string> bytes = os::files::readFile(path, error);
  if (!bytes) return std::nullopt;
  return fromData(std::span(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()), error);
}

int Image::width() const { return cairo_image_surface_get_width(surface_.get()); }

int Image::height() const { return cairo_image_surface_get_height(surface_.get()); }

namespace ExtendTool {

void drawInRect(const Image& image, cairo_t* context, Image::Rect rect, cairo_operator_t operation,
                double fraction, ImageFitMethod method) {
  // Single precision and half-away-from-zero rounding, so that sizes come out exactly as the
  // callers' layouts were measured.
  const float imageWidth = static_cast<float>(image.width());
  const float imageHeight = static_cast<float>(image.height());
  const float width = static_cast<float>(rect.width);
  const float height = static_cast<float>(rect.height);
  if (!(width > 0 && height > 0)) return;

  const float imageAspect = imageWidth / imageHeight;
  const float rectAspect = width / height;
  const bool fit = method == ImageFitMethod::ScaleToFit;
  // Fitting matches the height when the image is relatively narrower; filling does the
  // opposite, so that the other side overflows.
  const bool matchHeight = fit ? imageAspect <= rectAspect : imageAspect > rectAspect;
  const float scaledWidth = matchHeight ? std::round(imageAspect * height) : width;
  const float scaledHeight = matchHeight ? height : std::round(width / imageAspect);
  if (!(scaledWidth > 0 && scaledHeight > 0)) return;

  if (fit) {
    const Image::Rect destination{rect.x + (width - scaledWidth) / 2.0,
                                  rect.y + (height - scaledHeight) / 2.0, scaledWidth,
                                  scaledHeight};
    drawPart(image, context, {0, 0, imageWidth, imageHeight}, destination, operation, fraction);
    return;
  }

  // Offsets into the scaled image, the vertical one counted from the bottom edge.
  const float excessWidth = scaledWidth - width;
  const float excessHeight = scaledHeight - height;
  float offsetX;
  float offsetFromBottom;
  switch (method) {
    case ImageFitMethod::CropStart:
      offsetX = 0;
      offsetFromBottom = excessHeight;
      break;
    case ImageFitMethod::CropEnd:
      offsetX = excessWidth;
      offsetFromBottom = 0;
      break;
    default:
      offsetX = std::round(excessWidth / 2);
      offsetFromBottom = std::round(excessHeight / 2);
      break;
  }
  const float scale = scaledHeight / imageHeight;
  const Image::Rect source{offsetX / scale, (excessHeight - offsetFromBottom) / scale,
                           width / scale, height / scale};
  drawPart(image, context, source, rect, operation, fraction);
}

std::optional<Image> imageToFitSize(const Image& image, Image::Size size, ImageFitMethod method) {
  return imageToFitRect(image, {0, 0, size.width, size.height}, method);
}

std::optional<Image> imageToFitRect(const Image& image, Image::Rect rect, ImageFitMethod method) {
  std::optional<Canvas> canvas = canvasOfSize(rect.width, rect.height);
  if (!canvas) return std::nullopt;
  drawInRect(image, canvas->context.get(), rect, CAIRO_OPERATOR_OVER, 1.0, method);
  return std::move(canvas->image);
}

std::optional<Image> imageCroppedToFitSize(const Image& image, Image::Size size) {
  return imageToFitSize(image, size, ImageFitMethod::CropCenter);
}

std::optional<Image> imageScaledToFitSize(const Image& image, Image::Size size) {
  return imageToFitSize(image, size, ImageFitMethod::ScaleToFit);
}

std::optional<Image> imageFromRect(const Image& image, Image::Rect rect) {
  std::optional<Canvas> canvas = canvasOfSize(rect.width, rect.height);
  if (!canvas) return std::nullopt;
  cairo_set_source_surface(canvas->context.get(), image.surface(), -rect.x, -rect.y);
  cairo_paint(canvas->context.get());
  return std::move(canvas->image);
}

}  // namespace ExtendTool
