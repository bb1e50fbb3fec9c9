// Colours of the installer's widgets as the screens write them, 0-255 components or 0xRRGGBB,
// made by the installer's own converters (installer/app/color_from_numbers.h) and handed over
// in the view toolkit's form.
//
//   os::ui::Color track = WidgetColor::rgb(230, 230, 230);
//   os::ui::Color link = WidgetColor::hex(0x50A0FF);
#pragma once

#include <cstdint>

#include "os/ui/color.h"

namespace WidgetColor {

// Red, green and blue from 0 to 255 (clamped), alpha from 0 to 1.
os::ui::Color rgb(double red, double green, double blue, double alpha = 1);

// 0xRRGGBB with alpha 1; bits above 23 are ignored.
os::ui::Color hex(uint32_t rgb);

}  // namespace WidgetColor
