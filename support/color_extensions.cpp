#include "support/color_extensions.h"

namespace ExtendTool {

GraphicsColor toGraphicsColor(const Color& color) {
  return GraphicsColor(cairo_pattern_create_rgba(color.red, color.green, color.blue, color.alpha));
}

std::optional<Color> colorFromGraphicsColor(cairo_pattern_t* pattern) {
  Color color;
  if (pattern == nullptr || cairo_pattern_get_rgba(pattern, &color.red, &color.green, &color.blue,
                                                   &color.alpha) != CAIRO_STATUS_SUCCESS) {
    return std::nullopt;
  }
  return color;
}

}  // namespace ExtendTool
