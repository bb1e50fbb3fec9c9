#include "installer/widgets/border_rect_and_color_view.h"

#include "installer/widgets/widget_color.h"
#include "os/ui/drawing.h"

namespace {

constexpr double kInset = 5.0;
constexpr double kCornerRadius = 5.0;
constexpr double kDefaultBlurRadius = 4.0;

}  // namespace

void TSRBorderRectAndColorView::setBackground(std::optional<os::ui::Color> color) {
  background_ = color;
  setNeedsDisplay(true);
}

void TSRBorderRectAndColorView::setLineColor(std::optional<os::ui::Color> color) {
  lineColor_ = color;
  setNeedsDisplay(true);
}

void TSRBorderRectAndColorView::drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& r) {
  os::ui::Rect card{r.x + kInset, r.y + kInset, frame().width - 2 * kInset,
                    frame().height - 2 * kInset};
  auto path = os::ui::BezierPath::roundedRect(card, kCornerRadius, kCornerRadius);
  context.save();
  context.setShadow(os::ui::Shadow{WidgetColor::rgb(145, 145, 145),
                                   isOffSetY_ ? os::ui::Size{0, 0} : os::ui::Size{0, -2},
                                   blurRadius_ != 0 ? blurRadius_ : kDefaultBlurRadius});
  context.setFillColor(background_.value_or(os::ui::Color::white()));
  path.fill(context);
  context.restore();
  if (!lineColor_) return;
  // Clipped to the card, the border shows its inner half.
  context.save();
  path.addClip(context);
  context.setStrokeColor(*lineColor_);
  path.stroke(context);
  context.restore();
}
