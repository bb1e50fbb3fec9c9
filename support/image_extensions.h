// Images as owned cairo image surfaces (ARGB32, premultiplied alpha), decoded by gdk-pixbuf
// (PNG, JPEG, GIF, BMP, TIFF, ... as its loaders allow), and their cropping, scaling and
// fitting into a size or a rectangle, drawn with cairo.
//
//   std::optional<Image> photo = Image::fromFile("banner.jpg", &error);
//   std::optional<Image> thumb = ExtendTool::imageCroppedToFitSize(*photo, {100, 100});
//   cairo_set_source_surface(context, thumb->surface(), 0, 0);
//
// Coordinates are pixels with the origin at the top-left corner and y growing downwards, as
// cairo has them. A size or rectangle with a side of zero (or less) has no image: the functions
// that make one return nullopt, and drawInRect draws nothing.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>

#include "os/value/error.h"

class Image {
 public:
  struct Size {
    double width = 0;
    double height = 0;
  };
  struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
  };

  // The most pixels a decoded image may have (8192 x 8192, 256 MiB as ARGB32): more than any
  // picture the installer shows, and a bound on what a few hostile bytes can make it allocate.
  static constexpr int64_t kMaxDecodedPixels = int64_t{8192} * 8192;

  // A fully transparent image; nullopt when a side is below 1 or too large for cairo.
  static std::optional<Image> create(int width, int height);
  // The image encoded in `bytes` (the first frame of an animation); nullopt and `error`
  // (gdk-pixbuf's domain, code and message) when it cannot be decoded. An image whose header
  // declares more than kMaxDecodedPixels, or a GIF whose frames have more than that together, is
  // refused before anything is decoded (GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY).
  static std::optional<Image> fromData(std::span<const uint8_t> bytes, os::Error* error = nullptr);
  // The image in the file at `path`; nullopt and `error` when it cannot be read or decoded.
  static std::optional<Image> fromFile(const std::filesystem::path& path,
                                       os::Error* error = nullptr);

  int width() const;
  int height() const;
  // The pixels, owned by this image; valid while it lives. Call cairo_surface_flush before
  // reading the data directly and cairo_surface_mark_dirty after writing it.
  cairo_surface_t* surface() const { return surface_.get(); }

 private:
  struct SurfaceRelease {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
  };
  explicit Image(cairo_surface_t* surface) : surface_(surface) {}

  std::unique_ptr<cairo_surface_t, SurfaceRelease> surface_;
};

// How an image is sized into a rectangle of another shape.
enum class ImageFitMethod : int {
  // Fill the rectangle, keeping the aspect ratio; the overflowing side is cropped equally on
  // both ends.
  CropCenter = 0,
  // Fill and crop, showing the left part (when too wide) or the top part (when too tall).
  CropStart = 1,
  // Fill and crop, showing the right part or the bottom part.
  CropEnd = 2,
  // Fit the whole image inside the rectangle, keeping the aspect ratio, centred; the rest of the
  // rectangle is left untouched.
  ScaleToFit = 3,
};

namespace ExtendTool {

// Draws `image` into `rect` of `context` with the compositing operator `operation` and opacity
// `fraction`, sized by `method` (a value outside the enumeration crops to the centre). Sizes are
// computed in single precision with the computed side rounded to whole pixels, so that results
// match pixel for pixel wherever this is used; sampling uses cairo's best filter.
void drawInRect(const Image& image, cairo_t* context, Image::Rect rect, cairo_operator_t operation,
                double fraction, ImageFitMethod method);

// A new image of `size` (rounded to whole pixels) with `image` drawn over all of it by `method`.
std::optional<Image> imageToFitSize(const Image& image, Image::Size size, ImageFitMethod method);
// A new image of `rect`'s size with `image` drawn by `method` into `rect` (at its origin, so
// that a rectangle away from 0,0 leaves part of the drawing outside the new image).
std::optional<Image> imageToFitRect(const Image& image, Image::Rect rect, ImageFitMethod method);
// imageToFitSize with CropCenter.
std::optional<Image> imageCroppedToFitSize(const Image& image, Image::Size size);
// imageToFitSize with ScaleToFit.
std::optional<Image> imageScaledToFitSize(const Image& image, Image::Size size);
// The part of `image` inside `rect`, unscaled, as a new image of `rect`'s size (parts of the
// rectangle outside the image are transparent).
std::optional<Image> imageFromRect(const Image& image, Image::Rect rect);

}  // namespace ExtendTool
