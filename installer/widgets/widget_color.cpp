#include "installer/widgets/widget_color.h"

#include "installer/app/color_from_numbers.h"

namespace WidgetColor {
namespace {

os::ui::Color toUi(const Color& color) { return {color.red, color.green, color.blue, color.alpha}; }

}  // namespace

os::ui::Color rgb(double red, double green, double blue, double alpha) {
  return toUi(ExtendTool::rgbaColor()(red, green, blue, alpha));
}

os::ui::Color hex(uint32_t rgb) { return toUi(ExtendTool::hexColor()(rgb)); }

}  // namespace WidgetColor
