// For the widgets' tests: a pixel probe over a rectangle of a rendered window.
#pragma once

#include <cmath>
#include <cstdlib>

#include "os/ui/image.h"
#include "os/ui/test_fixture.h"

namespace widget_testing {

// The pixel within `rect` (window points) of `image` (drawn from a window `windowHeight`
// points high) that differs most from `background`: inside a glyph drawn over it, the glyph's
// own colour.
inline os::ui::Image::Pixel mostDistinctPixel(const os::ui::Image& image, const os::ui::Rect& rect,
                                              double windowHeight,
                                              os::ui::Image::Pixel background) {
  double scale = image.scale();
  os::ui::Image::Pixel best = background;
  int bestDistance = -1;
  for (int x = int(std::floor(rect.minX() * scale)); x < int(std::ceil(rect.maxX() * scale)); ++x) {
    for (int y = int(std::floor((windowHeight - rect.maxY()) * scale));
         y < int(std::ceil((windowHeight - rect.minY()) * scale)); ++y) {
      os::ui::Image::Pixel pixel = image.pixelAt(x, y);
      int distance = std::abs(pixel.red - background.red) +
                     std::abs(pixel.green - background.green) +
                     std::abs(pixel.blue - background.blue);
      if (distance > bestDistance) {
        bestDistance = distance;
        best = pixel;
      }
    }
  }
  return best;
}

}  // namespace widget_testing
