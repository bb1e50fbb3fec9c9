#include "installer/app/color_from_numbers.h"

#include <algorithm>

namespace ExtendTool {

const HexColorConverter& hexColor() {
  static const HexColorConverter converter = [](uint32_t rgb) {
    return rgbaColor()((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF, 1.0);
  };
  return converter;
}

RGBAColorConverter rgbaColor() {
  return [](double red, double green, double blue, double alpha) {
    return Color{checkedNum(red) / 255.0, checkedNum(green) / 255.0, checkedNum(blue) / 255.0,
                 std::clamp(alpha, 0.0, 1.0)};
  };
}

double checkedNum(double value) {
  if (value > 255) return 255.0;
  if (value < 0) return 0.0;
  return value;
}

}  // namespace ExtendTool
