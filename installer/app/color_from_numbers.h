// Colours from numbers, as the installer's screens write them: 24-bit 0xRRGGBB values and 0-255
// components. The converters are closures, so a caller first takes the converter and then calls
// it:
//
//   Color linkBlue = ExtendTool::hexColor()(0x50A0FF);       // 80/255, 160/255, 1.0, alpha 1
//   Color shade = ExtendTool::rgbaColor()(224, 224, 224, 0.5);
#pragma once

#include <cstdint>
#include <functional>

#include "support/color_extensions.h"

namespace ExtendTool {

using HexColorConverter = std::function<Color(uint32_t rgb)>;
using RGBAColorConverter =
    std::function<Color(double red, double green, double blue, double alpha)>;

// One shared, unchanging converter of 0xRRGGBB (red bits 16-23, green 8-15, blue 0-7; higher
// bits ignored) with alpha 1, through rgbaColor().
const HexColorConverter& hexColor();

// A new converter of 0-255 red, green and blue (each clamped by checkedNum) and an alpha clamped
// into 0-1, to a colour of components/255.
RGBAColorConverter rgbaColor();

// `value` clamped into 0-255: above 255 gives 255, below 0 gives 0, anything else is returned
// unchanged (no rounding).
double checkedNum(double value);

}  // namespace ExtendTool
