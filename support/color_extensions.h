// Colours in device RGB and their graphics form for drawing: a cairo solid pattern.
//
//   Color orange{1.0, 0.5, 0.0, 1.0};
//   GraphicsColor source = ExtendTool::toGraphicsColor(orange);
//   cairo_set_source(context, source.get());
//   std::optional<Color> back = ExtendTool::colorFromGraphicsColor(source.get());
#pragma once

#include <cairo.h>

#include <memory>
#include <optional>

// A device-RGB colour; each component runs from 0 to 1.
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
  friend bool operator==(const Color&, const Color&) = default;
};

struct GraphicsColorRelease {
  void operator()(cairo_pattern_t* pattern) const { cairo_pattern_destroy(pattern); }
};
// A cairo pattern owned by the caller; released with it.
using GraphicsColor = std::unique_ptr<cairo_pattern_t, GraphicsColorRelease>;

namespace ExtendTool {

// A solid cairo pattern of `color`'s four components, alpha included.
GraphicsColor toGraphicsColor(const Color& color);

// The colour of a solid pattern; nullopt for a null pattern or one that is not a solid colour
// (a gradient or a surface).
std::optional<Color> colorFromGraphicsColor(cairo_pattern_t* pattern);

}  // namespace ExtendTool
