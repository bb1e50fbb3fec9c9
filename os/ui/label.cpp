#include "os/ui/label.h"

#include <cmath>

#include "os/ui/text_fitting.h"

namespace os::ui {

Label::Label(const Rect& frame, std::string text) : View(frame), text_(std::move(text)) {}

void Label::invalidate() {
  layout_.reset();
  setNeedsDisplay(true);
}

void Label::setStringValue(std::string text) {
  text_ = std::move(text);
  attributedText_.reset();
  invalidate();
}

AttributedString Label::attributedStringValue() const {
  if (attributedText_) return *attributedText_;
  TextAttributes attributes;
  attributes.font = font_;
  attributes.foregroundColor = textColor_;
  attributes.paragraphStyle = ParagraphStyle{alignment_, 0, lineBreakMode_};
  return AttributedString(text_, attributes);
}

void Label::setAttributedStringValue(AttributedString text) {
  text_ = text.string();
  attributedText_ = std::move(text);
  invalidate();
}

void Label::setFont(const Font& font) {
  font_ = font;
  invalidate();
}
void Label::setTextColor(Color color) {
  textColor_ = color;
  invalidate();
}
void Label::setAlignment(TextAlignment alignment) {
  alignment_ = alignment;
  invalidate();
}
void Label::setLineBreakMode(LineBreakMode mode) {
  lineBreakMode_ = mode;
  invalidate();
}
void Label::setMinimumScaleFactor(double factor) {
  minimumScaleFactor_ = factor;
  invalidate();
}
void Label::setBackgroundColor(std::optional<Color> color) {
  backgroundColor_ = color;
  setNeedsDisplay(true);
}

const TextLayout& Label::textLayout() const {
  if (!layout_) {
    const Size box{std::max(0.0, frame().width - 2 * kHorizontalInset), frame().height};
    if (minimumScaleFactor_ > 0) {
      layout_.emplace(fitText(attributedStringValue(), box, minimumScaleFactor_).layout);
    } else {
      layout_.emplace(attributedStringValue(), box.width);
    }
  }
  return *layout_;
}

Size Label::intrinsicContentSize() const {
  Size text = TextLayout(attributedStringValue()).size();
  return {std::ceil(text.width) + 2 * kHorizontalInset, std::ceil(text.height)};
}

void Label::sizeToFit() {
  Size size = intrinsicContentSize();
  Rect old = frame();
  // Keep the top edge where it is, whichever way the superview's y runs.
  bool superFlipped = superview() && superview()->isFlipped();
  double y = superFlipped ? old.y : old.maxY() - size.height;
  setFrame({old.x, y, size.width, size.height});
}

void Label::setFrame(const Rect& frame) {
  const bool fitted = minimumScaleFactor_ > 0;
  if (frame.width != this->frame().width || (fitted && frame.height != this->frame().height)) {
    layout_.reset();
  }
  View::setFrame(frame);
}

void Label::drawRect(GraphicsContext& context, const Rect&) {
  if (backgroundColor_) {
    context.save();
    context.setFillColor(*backgroundColor_);
    context.fillRect(bounds());
    context.restore();
  }
  Rect box = bounds().insetBy(kHorizontalInset, 0);
  textLayout().draw(context, box);
}

}  // namespace os::ui
