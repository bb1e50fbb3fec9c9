// Images: pixels in a cairo surface and their size in points. PNG files are read by cairo;
// images named by the installer come from the main bundle's resources.
//
//   std::shared_ptr<os::ui::Image> picture = os::ui::Image::named("bv_install");  // bv_install.png
//   context.drawImage(*picture, {20, 60, 64, 64});
//
// Images are immutable once made, so views share them freely.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "os/ui/geometry.h"
#include "os/value/error.h"

namespace os::ui {

class Image {
  struct Private {};

 public:
  // Unpremultiplied 8-bit components.
  struct Pixel {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    uint8_t alpha = 0;
    friend bool operator==(const Pixel&, const Pixel&) = default;
  };

  // The PNG resource `name` (".png" is added when `name` has no extension) of the main bundle,
  // read once and shared; null when there is none or it cannot be read (logged).
  static std::shared_ptr<Image> named(std::string_view name);
  // The PNG file at `path`; null and `error` when it cannot be read.
  static std::shared_ptr<Image> fromFile(const std::string& path, Error* error = nullptr);
  // An image of `surface` (an ARGB32 image surface, referenced, not copied) with `scale` pixels
  // per point.
  static std::shared_ptr<Image> fromSurface(cairo_surface_t* surface, double scale = 1);

  Image(Private, cairo_surface_t* surface, double scale);
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  // The size in points.
  Size size() const { return {pixelWidth() / scale_, pixelHeight() / scale_}; }
  int pixelWidth() const;
  int pixelHeight() const;
  double scale() const { return scale_; }
  cairo_surface_t* surface() const { return surface_; }

  // The pixel at column `x`, row `y` from the top-left corner; transparent outside the image.
  Pixel pixelAt(int x, int y) const;
  // Writes the image as a PNG file.
  bool writePNG(const std::string& path, Error* error = nullptr) const;

 private:
  cairo_surface_t* surface_;
  double scale_;
};

}  // namespace os::ui
