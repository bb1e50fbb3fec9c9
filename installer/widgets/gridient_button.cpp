#include "installer/widgets/gridient_button.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

#include "installer/widgets/quartz_path.h"
#include "os/ui/drawing.h"
#include "os/ui/text_fitting.h"
#include "os/ui/text_layout.h"
#include "os/ui/window.h"

using os::ui::BezierPath;
using os::ui::Color;
using os::ui::GraphicsContext;
using os::ui::Rect;

namespace {

constexpr double kDefaultCornerRadius = 5.0;
// The plus sign or chevron of an add button, and the gap between it and the title.
constexpr double kAddGlyphWidth = 12;
constexpr double kAddGlyphAdvance = kAddGlyphWidth + 6;
// A title too long for the button shrinks down to this share of its size before it is cut.
constexpr double kMinimumTitleScale = 0.7;

}  // namespace

TSRGridientButton::TSRGridientButton(const Rect& frame) : Button(frame) {}

void TSRGridientButton::setIsLeftRightGridient(
    bool isLeftRightGridient, OptionalColor leftNormalBgColor, OptionalColor rightNormalBgColor,
    OptionalColor leftEnterBgColor, OptionalColor rightEnterBgColor, OptionalColor leftDownBgColor,
    OptionalColor rightDownBgColor, OptionalColor leftForbiddenBgColor,
    OptionalColor rightForbiddenBgColor) {
  isLeftRightGridient_ = isLeftRightGridient;
  leftNormalBgColor_ = leftNormalBgColor;
  rightNormalBgColor_ = rightNormalBgColor;
  leftEnterBgColor_ = leftEnterBgColor;
  rightEnterBgColor_ = rightEnterBgColor;
  leftDownBgColor_ = leftDownBgColor;
  rightDownBgColor_ = rightDownBgColor;
  leftForbiddenBgColor_ = leftForbiddenBgColor;
  rightForbiddenBgColor_ = rightForbiddenBgColor;
  setNeedsDisplay(true);
}

void TSRGridientButton::setButtonBorder(bool hasBorder, OptionalColor normalBorderColor,
                                        OptionalColor enterBorderColor,
                                        OptionalColor downBorderColor,
                                        OptionalColor forbiddenBorderColor, float borderLineWidth) {
  hasBorder_ = hasBorder;
  normalBorderColor_ = normalBorderColor;
  enterBorderColor_ = enterBorderColor;
  downBorderColor_ = downBorderColor;
  forbiddenBorderColor_ = forbiddenBorderColor;
  borderLineWidth_ = borderLineWidth;
  setNeedsDisplay(true);
}

void TSRGridientButton::setButtonTitle(std::string buttonTitle, OptionalColor normalTitleColor,
                                       OptionalColor enterTitleColor, OptionalColor downTitleColor,
                                       OptionalColor forbiddenTitleColor, float titleSize,
                                       bool isAnimation) {
  buttonTitle_ = std::move(buttonTitle);
  normalTitleColor_ = normalTitleColor;
  enterTitleColor_ = enterTitleColor;
  downTitleColor_ = downTitleColor;
  forbiddenTitleColor_ = forbiddenTitleColor;
  titleSize_ = titleSize;
  isAnimation_ = isAnimation;
  setNeedsDisplay(true);
}

void TSRGridientButton::setNormalFillColor(OptionalColor normalFillColor,
                                           OptionalColor enterFillColor,
                                           OptionalColor downFillColor) {
  isNoGridient_ = true;
  normalFillColor_ = normalFillColor;
  enterFillColor_ = enterFillColor;
  downFillColor_ = downFillColor;
}

void TSRGridientButton::setIsAddButton(bool value) {
  isAddButton_ = value;
  isOpenMenu_ = false;
}

void TSRGridientButton::setEnabled(bool enabled) {
  os::ui::Button::setEnabled(enabled);
  if (lightImageView_) lightImageView_->setHidden(!enabled);
}

std::optional<os::ui::BezierPath> TSRGridientButton::quartzPath(const os::ui::BezierPath& path) {
  return BezierPathQuartzUtilities::quartzPath(path);
}

std::shared_ptr<os::ui::Image> TSRGridientButton::NSImageToCGImageRef(
    const std::shared_ptr<os::ui::Image>& image) {
  if (!image) return nullptr;
  cairo_surface_t* copy =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, image->pixelWidth(), image->pixelHeight());
  cairo_t* cr = cairo_create(copy);
  cairo_set_source_surface(cr, image->surface(), 0, 0);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  auto result = os::ui::Image::fromSurface(copy, image->scale());
  cairo_surface_destroy(copy);
  return result;
}

void TSRGridientButton::setIsOpenMenu(bool value) {
  isOpenMenu_ = value;
  setNeedsDisplay(true);
}

os::ui::Font TSRGridientButton::titleFont(double size) const {
  return os::ui::Font::named(isMediumSize_ ? "Helvetica Neue Medium" : "Helvetica Neue", size);
}

Rect TSRGridientButton::calcuTextBounds(const std::string& text, double fontSize) const {
  if (text.empty()) return {};
  return {{0, 0}, os::ui::measureText(text, titleFont(fontSize))};
}

const TSRGridientButton::OptionalColor& TSRGridientButton::colorForLook(
    const OptionalColor& normal, const OptionalColor& enter, const OptionalColor& down,
    const OptionalColor& forbidden) const {
  if (!isEnabled()) return forbidden;
  if (buttonType_ == MouseState::Entered) return enter;
  if (buttonType_ == MouseState::Down) return down;
  return normal;
}

// Mouse ------------------------------------------------------------------------------------------

void TSRGridientButton::updateTrackingAreas() { trackMouseInKeyWindow(*this, trackingArea_); }

void TSRGridientButton::notifyDelegate(void (MouseEnumDelegate::*message)(int32_t)) const {
  if (auto delegate = delegate_.lock()) (delegate.get()->*message)(tag());
}

void TSRGridientButton::mouseEntered(const os::ui::Event&) {
  if (!isEnabled()) return;
  buttonType_ = MouseState::Entered;
  setNeedsDisplay(true);
  notifyDelegate(&MouseEnumDelegate::mouseEnterTag);
}

void TSRGridientButton::mouseExited(const os::ui::Event&) {
  if (!isEnabled()) return;
  buttonType_ = MouseState::Exited;
  setNeedsDisplay(true);
  notifyDelegate(&MouseEnumDelegate::mouseUpTag);
}

// The platform button's own tracking is not used: the release decides.
void TSRGridientButton::mouseDown(const os::ui::Event&) {
  if (!isEnabled()) return;
  buttonType_ = MouseState::Down;
  setNeedsDisplay(true);
}

void TSRGridientButton::mouseUp(const os::ui::Event& event) {
  if (!isEnabled()) return;
  buttonType_ = MouseState::Up;
  notifyDelegate(&MouseEnumDelegate::mouseUpTag);
  setNeedsDisplay(true);
  os::ui::Point point = convertPointFromView(event.locationInWindow, nullptr);
  if (!os::ui::mouseInRect(point, bounds(), isFlipped())) return;
  // The second release of a double click must not act again.
  if (isAddButton_ || event.clickCount == 1) sendAction();
}

// Drawing ----------------------------------------------------------------------------------------

void TSRGridientButton::drawGradient(GraphicsContext& context) const {
  const Rect b = bounds();
  if (!(b.width > 0)) return;
  const OptionalColor* left = &leftNormalBgColor_;
  const OptionalColor* right = &rightNormalBgColor_;
  if (!isEnabled()) {
    left = &leftForbiddenBgColor_;
    right = &rightForbiddenBgColor_;
  } else if (buttonType_ == MouseState::Entered) {
    left = &leftEnterBgColor_;
    right = &rightEnterBgColor_;
  } else if (buttonType_ == MouseState::Down) {
    left = &leftDownBgColor_;
    right = &rightDownBgColor_;
  }
  if (!*left || !*right) return;
  // The colours' own alpha is ignored; the left colour holds over the first tenth of the axis.
  os::ui::Gradient gradient({{0.1, (*left)->withAlpha(1)}, {1.0, (*right)->withAlpha(1)}});
  os::ui::Point end =
      isLeftRightGridient_ ? os::ui::Point{b.x + b.width, b.y} : os::ui::Point{b.x, b.y + b.height};
  gradient.drawLinear(context, b.origin(), end, os::ui::Gradient::kDrawsAfterEndLocation);
}

void TSRGridientButton::drawAddGlyph(GraphicsContext& context, double titleWidth) const {
  const double w = bounds().width, h = bounds().height;
  double hx = (w - kAddGlyphAdvance - titleWidth) * 0.5;
  double cy = (h - 2) * 0.5;
  if (isOpenMenu_) {
    BezierPath chevron;
    chevron.moveTo({hx, cy - 3});
    chevron.lineTo({hx + 6, cy + 5});
    chevron.lineTo({hx + kAddGlyphWidth, cy - 3});
    chevron.setLineWidth(2.0);
    context.setStrokeColor(Color::white());
    chevron.stroke(context);
  } else {
    context.setFillColor(Color::white());
    BezierPath::roundedRect({hx + 5, (h - kAddGlyphWidth) * 0.5, 2, kAddGlyphWidth}, 1, 1)
        .fill(context);
    BezierPath::roundedRect({hx, cy, kAddGlyphWidth, 2}, 1, 1).fill(context);
  }
}

os::ui::TextFit TSRGridientButton::fittedTitle() const {
  double width = bounds().width - 4;
  if (hasLeftImage_ && leftImage_) width -= leftImage_->size().width + spaceWithText_;
  if (hasRightImage_ && rightImage_) width -= rightImage_->size().width + spaceWithText_;
  if (isAddButton_) width -= kAddGlyphAdvance;
  os::ui::TextAttributes attributes;
  attributes.font = titleFont(titleSize_);
  attributes.foregroundColor =
      colorForLook(normalTitleColor_, enterTitleColor_, downTitleColor_, forbiddenTitleColor_);
  attributes.paragraphStyle = os::ui::ParagraphStyle{os::ui::TextAlignment::Center};
  return os::ui::fitText(os::ui::AttributedString(buttonTitle_, attributes),
                         {std::max(0.0, width), bounds().height}, kMinimumTitleScale);
}

void TSRGridientButton::drawRect(GraphicsContext& context, const Rect&) {
  const Rect b = bounds();
  const double w = b.width, h = b.height;
  const OptionalColor& titleColor =
      colorForLook(normalTitleColor_, enterTitleColor_, downTitleColor_, forbiddenTitleColor_);
  const os::ui::TextFit fit = fittedTitle();
  const double tw = buttonTitle_.empty() ? 0 : fit.layout.size().width;
  const double th = buttonTitle_.empty() ? 0 : fit.layout.size().height;
  // A title that wraps fills the height: it is raised no further than the top edge.
  auto withinHeight = [&](double top) { return std::clamp(top, 0.0, std::max(0.0, h - th)); };

  double x = b.x, y = b.y;
  if (hasLeftImage_ && leftImage_) {
    double iw = leftImage_->size().width;
    x = std::ceil((w - tw - iw - spaceWithText_) * 0.5) + iw + spaceWithText_;
  } else if (hasRightImage_ && rightImage_) {
    double iw = rightImage_->size().width;
    x = std::ceil((w - tw - iw - spaceWithText_) * 0.5);
  } else if (!hasLeftImage_ && !hasRightImage_) {
    x = isRightAlignment_ ? std::ceil(w - tw) : std::ceil((w - tw) * 0.5);
    y = std::ceil((h - th) * 0.5 - 2);
  }
  double fontSize = font().pointSize();
  if (fontSize == 12 || fontSize == 14) {
    y = std::ceil((h - th - 5) * 0.5);
  } else if (fontSize == 16 || fontSize == 24) {
    y = std::ceil((h - th) * 0.5 - 2);
  }

  context.save();
  double radius = cornerRadius_ != 0 ? cornerRadius_ : kDefaultCornerRadius;
  BezierPath body = BezierPath::roundedRect(b, radius, radius);
  if (borderLineWidth_ != 0) body.setLineWidth(borderLineWidth_);
  // The body stays the clip, so only the inner half of the border shows.
  body.addClip(context);
  body.setWindingRule(os::ui::WindingRule::EvenOdd);

  if (isNoGridient_) {
    const OptionalColor& fill = buttonType_ == MouseState::Entered ? enterFillColor_
                                : buttonType_ == MouseState::Down  ? downFillColor_
                                                                   : normalFillColor_;
    if (fill) {
      context.setFillColor(*fill);
      body.fill(context);
    }
  } else {
    drawGradient(context);
  }

  if (titleColor) {
    const double boxWidth = fit.layout.width();
    // The layout centres its lines in its box: the box sits so that the lines' block starts at
    // `left`.
    auto drawTitle = [&](double left, double top) {
      context.drawText(fit.layout, {left - (boxWidth - tw) * 0.5, withinHeight(top), boxWidth, th});
    };
    double raisedY = (h - th) * 0.5 - 2;
    if (hasRightImage_) {
      drawTitle(x - 5, raisedY);
    } else if (hasLeftImage_) {
      drawTitle(x, raisedY);
    } else if (isAddButton_) {
      drawAddGlyph(context, tw);
      drawTitle((w - kAddGlyphAdvance - tw) * 0.5 + kAddGlyphAdvance, raisedY);
    } else {
      drawTitle(x, y + offsetY_);
    }
  }

  if (hasLeftImage_ && leftImage_) {
    os::ui::Size size = leftImage_->size();
    context.drawImage(*leftImage_, {x - size.width - spaceWithText_ - 3, (h - size.height) * 0.5,
                                    size.width, size.height});
  } else if (hasRightImage_ && rightImage_) {
    os::ui::Size size = rightImage_->size();
    context.drawImage(*rightImage_,
                      {x + tw + spaceWithText_, (h - size.height) * 0.5, size.width, size.height});
  }

  if (hasBorder_) {
    OptionalColor border = colorForLook(normalBorderColor_, enterBorderColor_, downBorderColor_,
                                        forbiddenBorderColor_);
    // Unset enter and down colours fall back to the normal one.
    if (!border && isEnabled()) border = normalBorderColor_;
    if (border) {
      context.setStrokeColor(*border);
      body.stroke(context);
    }
  }
  context.restore();
}
