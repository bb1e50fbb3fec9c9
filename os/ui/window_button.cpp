#include "os/ui/window_button.h"

namespace os::ui {
namespace {

constexpr double kDiameter = 12;

Color fillFor(Window::ButtonKind kind) {
  switch (kind) {
    case Window::ButtonKind::Close:
      return {255 / 255.0, 95 / 255.0, 87 / 255.0};
    case Window::ButtonKind::Miniaturize:
      return {254 / 255.0, 188 / 255.0, 46 / 255.0};
    case Window::ButtonKind::Zoom:
      break;
  }
  return {40 / 255.0, 200 / 255.0, 64 / 255.0};
}

Color darker(Color color, double factor) {
  return {color.red * factor, color.green * factor, color.blue * factor, color.alpha};
}

}  // namespace

WindowButton::WindowButton(Window::ButtonKind kind) : Button({{0, 0}, kSize}), kind_(kind) {}

void WindowButton::setShowsRollover(bool shows) {
  if (showsRollover_ == shows) return;
  showsRollover_ = shows;
  setNeedsDisplay(true);
}

WindowButton::Look WindowButton::look() const {
  if (isHighlighted()) return Look::Pressed;
  return showsRollover_ ? Look::Rollover : Look::Normal;
}

void WindowButton::drawRect(GraphicsContext& context, const Rect&) {
  Look shown = look();
  Rect circle{(bounds().width - kDiameter) / 2, (bounds().height - kDiameter) / 2, kDiameter,
              kDiameter};
  Color fill = isEnabled() ? fillFor(kind_) : Color{0.8, 0.8, 0.8};
  if (shown == Look::Pressed) fill = darker(fill, 0.75);
  context.save();
  auto disc = BezierPath::oval(circle.insetBy(0.5, 0.5));
  context.setFillColor(fill);
  disc.fill(context);
  context.setStrokeColor(darker(fill, 0.85));
  disc.stroke(context);
  if (shown != Look::Normal && isEnabled()) {
    // The glyph that tells the three apart.
    BezierPath glyph;
    double cx = circle.midX(), cy = circle.midY(), r = 3;
    switch (kind_) {
      case Window::ButtonKind::Close:
        glyph.moveTo({cx - r, cy - r});
        glyph.lineTo({cx + r, cy + r});
        glyph.moveTo({cx - r, cy + r});
        glyph.lineTo({cx + r, cy - r});
        break;
      case Window::ButtonKind::Miniaturize:
        glyph.moveTo({cx - r - 0.5, cy});
        glyph.lineTo({cx + r + 0.5, cy});
        break;
      case Window::ButtonKind::Zoom:
        glyph.moveTo({cx - r, cy});
        glyph.lineTo({cx + r, cy});
        glyph.moveTo({cx, cy - r});
        glyph.lineTo({cx, cy + r});
        break;
    }
    glyph.setLineWidth(1.2);
    context.setStrokeColor(darker(fill, 0.4));
    glyph.stroke(context);
  }
  context.restore();
}

}  // namespace os::ui
