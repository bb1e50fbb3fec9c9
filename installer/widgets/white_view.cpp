#include "installer/widgets/white_view.h"

#include "installer/widgets/widget_color.h"
#include "os/ui/drawing.h"

using os::ui::BezierPath;

namespace {

constexpr double kRuleWidth = 2.0;

os::ui::Color defaultLineColor() { return WidgetColor::rgb(229, 229, 229); }

void strokeLine(os::ui::GraphicsContext& context, os::ui::Point from, os::ui::Point to,
                double width) {
  BezierPath line;
  line.moveTo(from);
  line.lineTo(to);
  line.setLineWidth(width);
  line.stroke(context);
}

}  // namespace

TSRWhiteView::TSRWhiteView(const os::ui::Rect& frame) : View(frame) {}

void TSRWhiteView::setBackgroundColor(std::optional<os::ui::Color> color) {
  backgroundColor_ = color;
  setNeedsDisplay(true);
}

void TSRWhiteView::setIsDrawFrame(bool value) {
  if (isDrawFrame_ == value) return;
  isDrawFrame_ = value;
  setNeedsDisplay(true);
}

void TSRWhiteView::mouseDown(const os::ui::Event& event) {
  if (!isMove_) View::mouseDown(event);
}

void TSRWhiteView::mouseEntered(const os::ui::Event& event) {
  if (!isMove_) View::mouseEntered(event);
}

void TSRWhiteView::mouseExited(const os::ui::Event& event) {
  if (!isMove_) View::mouseExited(event);
}

void TSRWhiteView::drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& r) {
  context.save();
  BezierPath body = BezierPath::roundedRect(r, cornerRadius_, cornerRadius_);
  body.setWindingRule(os::ui::WindingRule::EvenOdd);
  // The body stays the clip: rules and borders on the edges show their inner half.
  body.addClip(context);
  context.setFillColor(backgroundColor_.value_or(os::ui::Color::white()));
  body.fill(context);

  const os::ui::Color line = defaultLineColor();
  const os::ui::Color border = borderColor_.value_or(line);
  context.setStrokeColor(line);
  if (isHaveLine_) strokeLine(context, {0, 0}, {r.width, 0}, 1.0);
  if (isUpline_) strokeLine(context, {r.x, r.maxY()}, {r.maxX(), r.maxY()}, kRuleWidth);
  if (isBommt_) strokeLine(context, {r.x, r.y}, {r.maxX(), r.y}, kRuleWidth);
  if (isDrawFrame_) {
    BezierPath frame;
    frame.moveTo({r.x, r.maxY()});
    frame.lineTo({r.maxX(), r.maxY()});
    frame.lineTo({r.maxX(), r.y});
    frame.lineTo({r.x, r.y});
    frame.lineTo({r.x, r.maxY()});
    frame.setLineWidth(kRuleWidth);
    context.setStrokeColor(border);
    frame.stroke(context);
  }
  if (hasCorner_) {
    BezierPath rounded = BezierPath::roundedRect(r, cornerRadius_, cornerRadius_);
    rounded.addClip(context);
    rounded.setLineWidth(kRuleWidth);
    context.setStrokeColor(border);
    rounded.stroke(context);
  }
  context.restore();
}
