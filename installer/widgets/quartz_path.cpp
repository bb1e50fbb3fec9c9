#include "installer/widgets/quartz_path.h"

namespace BezierPathQuartzUtilities {

std::optional<os::ui::BezierPath> quartzPath(const os::ui::BezierPath& path) {
  using Type = os::ui::BezierPath::ElementType;
  if (path.isEmpty()) return std::nullopt;
  os::ui::BezierPath converted;
  bool closed = true;
  for (const os::ui::BezierPath::Element& element : path.elements()) {
    switch (element.type) {
      case Type::MoveTo:
        converted.moveTo(element.points[0]);
        break;
      case Type::LineTo:
        converted.lineTo(element.points[0]);
        closed = false;
        break;
      case Type::CurveTo:
        converted.curveTo(element.points[2], element.points[0], element.points[1]);
        closed = false;
        break;
      case Type::ClosePath:
        converted.closePath();
        closed = true;
        break;
    }
  }
  if (!closed) converted.closePath();
  return converted;
}

}  // namespace BezierPathQuartzUtilities
