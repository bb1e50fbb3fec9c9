#include "os/ui/image.h"

#include <map>

#include "os/bundle/bundle.h"
#include "os/log/log.h"

namespace os::ui {
namespace {

constexpr const char* kImageErrorDomain = "os.ui.image";

}  // namespace

Image::Image(Private, cairo_surface_t* surface, double scale) : surface_(surface), scale_(scale) {}

Image::~Image() { cairo_surface_destroy(surface_); }

std::shared_ptr<Image> Image::fromSurface(cairo_surface_t* surface, double scale) {
  return std::make_shared<Image>(Private{}, cairo_surface_reference(surface), scale);
}

std::shared_ptr<Image> Image::fromFile(const std::string& path, Error* error) {
  cairo_surface_t* surface = cairo_image_surface_create_from_png(path.c_str());
  cairo_status_t status = cairo_surface_status(surface);
  if (status != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    fail(error, Error(kImageErrorDomain, status,
                      "cannot read the image " + path + ": " + cairo_status_to_string(status)));
    return nullptr;
  }
  // Drawing wants ARGB32 everywhere; cairo reads opaque PNGs as RGB24, which has the same layout.
  return std::make_shared<Image>(Private{}, surface, 1);
}

std::shared_ptr<Image> Image::named(std::string_view name) {
  static std::map<std::string, std::shared_ptr<Image>, std::less<>> cache;
  if (auto cached = cache.find(name); cached != cache.end()) return cached->second;
  bool hasExtension = name.find('.') != std::string_view::npos;
  auto path = Bundle::main().pathForResource(name, hasExtension ? "" : "png");
  std::shared_ptr<Image> image;
  if (path) {
    Error error;
    image = fromFile(*path, &error);
    if (!image) log::write(log::Level::Warning, "ui: " + error.description);
  }
  cache.emplace(std::string(name), image);
  return image;
}

int Image::pixelWidth() const { return cairo_image_surface_get_width(surface_); }
int Image::pixelHeight() const { return cairo_image_surface_get_height(surface_); }

Image::Pixel Image::pixelAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= pixelWidth() || y >= pixelHeight()) return {};
  cairo_surface_flush(surface_);
  const unsigned char* row =
      cairo_image_surface_get_data(surface_) + y * cairo_image_surface_get_stride(surface_);
  uint32_t argb = reinterpret_cast<const uint32_t*>(row)[x];
  bool opaque = cairo_image_surface_get_format(surface_) == CAIRO_FORMAT_RGB24;
  uint8_t alpha = opaque ? 255 : uint8_t(argb >> 24);
  if (alpha == 0) return {};
  auto unpremultiply = [alpha](uint32_t value) {
    return uint8_t(std::min<uint32_t>(255, (value * 255 + alpha / 2) / alpha));
  };
  return {unpremultiply((argb >> 16) & 0xff), unpremultiply((argb >> 8) & 0xff),
          unpremultiply(argb & 0xff), alpha};
}

bool Image::writePNG(const std::string& path, Error* error) const {
  cairo_status_t status = cairo_surface_write_to_png(surface_, path.c_str());
  if (status != CAIRO_STATUS_SUCCESS) {
    return fail(error, Error(kImageErrorDomain, status,
                             "cannot write " + path + ": " + cairo_status_to_string(status)));
  }
  return true;
}

}  // namespace os::ui
