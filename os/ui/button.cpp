#include "os/ui/button.h"

#include <cmath>

#include "os/ui/text_layout.h"

namespace os::ui {
namespace {

constexpr Color kAccent{0 / 255.0, 122 / 255.0, 255 / 255.0};
constexpr Color kBorder{178 / 255.0, 178 / 255.0, 178 / 255.0};
constexpr Color kDisabledText{150 / 255.0, 150 / 255.0, 150 / 255.0};
constexpr double kCheckboxSize = 14;
constexpr double kCheckboxGap = 4;

}  // namespace

Button::Button(const Rect& frame, std::string title) : Control(frame), title_(std::move(title)) {}

void Button::setTitle(std::string title) {
  title_ = std::move(title);
  setNeedsDisplay(true);
}
void Button::setButtonType(Type type) {
  type_ = type;
  setNeedsDisplay(true);
}
void Button::setState(int state) {
  state_ = state;
  setNeedsDisplay(true);
}
void Button::setImage(std::shared_ptr<Image> image) {
  image_ = std::move(image);
  setNeedsDisplay(true);
}
void Button::setAlternateImage(std::shared_ptr<Image> image) {
  alternateImage_ = std::move(image);
  setNeedsDisplay(true);
}
void Button::setBordered(bool bordered) {
  bordered_ = bordered;
  setNeedsDisplay(true);
}

bool Button::isInside(const Event& event) const {
  return mouseInRect(convertPointFromView(event.locationInWindow, nullptr), bounds(), isFlipped());
}

void Button::mouseDown(const Event&) {
  if (!isEnabled()) return;
  tracking_ = true;
  highlighted_ = true;
  setNeedsDisplay(true);
}

void Button::mouseDragged(const Event& event) {
  if (!tracking_) return;
  bool inside = isInside(event);
  if (inside != highlighted_) {
    highlighted_ = inside;
    setNeedsDisplay(true);
  }
}

void Button::mouseUp(const Event& event) {
  if (!tracking_) return;
  tracking_ = false;
  highlighted_ = false;
  setNeedsDisplay(true);
  if (!isInside(event)) return;
  if (type_ == Type::Switch) setState(state_ == kOn ? kOff : kOn);
  sendAction();
}

void Button::drawRect(GraphicsContext& context, const Rect&) {
  if (type_ == Type::Switch) {
    drawCheckbox(context);
  } else {
    drawPushButton(context);
  }
}

void Button::drawCheckbox(GraphicsContext& context) {
  Rect box{0, std::round((bounds().height - kCheckboxSize) / 2), kCheckboxSize, kCheckboxSize};
  const auto& picture = state_ == kOn && alternateImage_ ? alternateImage_ : image_;
  if (picture) {
    Size size = picture->size();
    box = {0, std::round((bounds().height - size.height) / 2), size.width, size.height};
    context.drawImage(*picture, box, isEnabled() ? 1 : 0.5);
  } else {
    context.save();
    auto body = BezierPath::roundedRect(box.insetBy(0.5, 0.5), 3, 3);
    context.setFillColor(state_ == kOn ? kAccent : Color::white());
    if (highlighted_) context.setFillColor(state_ == kOn ? kAccent.withAlpha(0.8) : kBorder);
    body.fill(context);
    context.setStrokeColor(state_ == kOn ? kAccent : kBorder);
    body.stroke(context);
    if (state_ == kOn) {
      BezierPath check;
      Rect r = box;
      check.moveTo({r.x + 3.5, r.y + r.height * 0.5});
      check.lineTo({r.x + 6, r.y + 3.5});
      check.lineTo({r.x + r.width - 3, r.y + r.height - 3.5});
      check.setLineWidth(2);
      context.setStrokeColor(Color::white());
      check.stroke(context);
    }
    context.restore();
  }
  if (title_.empty()) return;
  TextAttributes attributes;
  attributes.font = font();
  attributes.foregroundColor = isEnabled() ? Color::black() : kDisabledText;
  TextLayout layout(AttributedString(title_, attributes));
  Size size = layout.size();
  double x = box.maxX() + kCheckboxGap;
  layout.draw(context, {x, (bounds().height - size.height) / 2, size.width, size.height});
}

void Button::drawPushButton(GraphicsContext& context) {
  Rect body = bounds().insetBy(0.5, 0.5);
  if (bordered_) {
    auto path = BezierPath::roundedRect(body, 4, 4);
    context.save();
    context.setFillColor(highlighted_ ? kAccent : Color::white());
    path.fill(context);
    context.setStrokeColor(highlighted_ ? kAccent : kBorder);
    path.stroke(context);
    context.restore();
  }
  TextAttributes attributes;
  attributes.font = font();
  attributes.foregroundColor = !isEnabled()                ? kDisabledText
                               : highlighted_ && bordered_ ? Color::white()
                                                           : Color::black();
  TextLayout layout(AttributedString(title_, attributes));
  Size text = layout.size();
  double imageWidth = image_ ? image_->size().width + (title_.empty() ? 0 : kCheckboxGap) : 0;
  double x = (bounds().width - text.width - imageWidth) / 2;
  if (image_) {
    Size size = image_->size();
    context.drawImage(*image_, {x, (bounds().height - size.height) / 2, size.width, size.height});
  }
  layout.draw(context,
              {x + imageWidth, (bounds().height - text.height) / 2, text.width, text.height});
}

}  // namespace os::ui
