#include "os/ui/text_view.h"

#include <cmath>

#include "os/ui/window.h"

namespace os::ui {
namespace {

constexpr Color kSelection{179 / 255.0, 215 / 255.0, 255 / 255.0};
constexpr Color kLinkBlue{0, 104 / 255.0, 218 / 255.0};

}  // namespace

TextView::TextView(const Rect& frame) : View(frame) {
  linkAttributes_.foregroundColor = kLinkBlue;
  linkAttributes_.underlineStyle = 1;
  linkAttributes_.cursor = Cursor::PointingHand;
}

void TextView::textChanged() {
  layout_.reset();
  if (selection_.end() > storage_.length()) selection_ = {storage_.length(), 0};
  fitHeight();
  setNeedsDisplay(true);
}

void TextView::setAttributedString(AttributedString text) {
  storage_ = std::move(text);
  textChanged();
}

void TextView::setString(std::string text) {
  TextAttributes attributes;
  attributes.font = font_;
  attributes.foregroundColor = textColor_;
  attributes.paragraphStyle = ParagraphStyle{alignment_, 0, LineBreakMode::WordWrapping};
  setAttributedString(AttributedString(std::move(text), attributes));
}

void TextView::setLinkTextAttributes(TextAttributes attributes) {
  linkAttributes_ = std::move(attributes);
  textChanged();
}

void TextView::setSelectedRange(text::Range range) {
  if (range.end() > storage_.length()) return;
  selection_ = range;
  setNeedsDisplay(true);
}

void TextView::setDrawsBackground(bool draws) {
  drawsBackground_ = draws;
  setNeedsDisplay(true);
}

void TextView::setBackgroundColor(Color color) {
  backgroundColor_ = color;
  setNeedsDisplay(true);
}

void TextView::setTextContainerInset(Size inset) {
  inset_ = inset;
  textChanged();
}

void TextView::setLineFragmentPadding(double padding) {
  padding_ = padding;
  textChanged();
}

void TextView::setVerticallyResizable(bool resizable) {
  verticallyResizable_ = resizable;
  fitHeight();
}

void TextView::setMinSize(Size size) {
  minSize_ = size;
  fitHeight();
}

const TextLayout& TextView::textLayout() const {
  if (!layout_) {
    AttributedString shown = storage_;
    for (const auto& run : storage_.runs()) {
      if (run.attributes.link) shown.addAttributes(linkAttributes_, run.range);
    }
    double width = std::max(0.0, frame().width - 2 * (inset_.width + padding_));
    layout_.emplace(shown, width);
  }
  return *layout_;
}

void TextView::fitHeight() {
  if (!verticallyResizable_) return;
  double height =
      std::max(std::ceil(textLayout().size().height + 2 * inset_.height), minSize_.height);
  if (height != frame().height) View::setFrame({frame().origin(), {frame().width, height}});
}

void TextView::setFrame(const Rect& frame) {
  if (frame.width != this->frame().width) layout_.reset();
  View::setFrame(frame);
  fitHeight();
}

std::optional<std::string> TextView::linkAt(Point point, size_t* characterIndex) const {
  Point origin = textOrigin();
  auto index = textLayout().characterIndexAt({point.x - origin.x, point.y - origin.y});
  if (!index) return std::nullopt;
  auto link = storage_.attributesAt(*index).link;
  if (link && characterIndex) *characterIndex = *index;
  return link;
}

void TextView::drawRect(GraphicsContext& context, const Rect&) {
  if (drawsBackground_) {
    context.save();
    context.setFillColor(backgroundColor_);
    context.fillRect(bounds());
    context.restore();
  }
  Point origin = textOrigin();
  if (selection_.length > 0) {
    context.save();
    context.setFillColor(kSelection);
    for (const Rect& rect : textLayout().rectsForRange(selection_)) {
      context.fillRect(rect.offsetBy(origin.x, origin.y));
    }
    context.restore();
  }
  Size size = textLayout().size();
  textLayout().draw(context, {origin.x, origin.y, textLayout().width(), size.height});
}

void TextView::mouseDown(const Event& event) {
  Window* window = this->window();
  if (!selectable_ || !window) return;
  Point point = convertPointFromView(event.locationInWindow, nullptr);
  Point origin = textOrigin();
  size_t anchor = textLayout().closestInsertionIndex({point.x - origin.x, point.y - origin.y});
  size_t pressedIndex = 0;
  std::optional<std::string> pressedLink = linkAt(point, &pressedIndex);
  setSelectedRange({anchor, 0});
  auto weak = std::weak_ptr<View>(shared_from_this());
  // Follow the press to its end: drags select, a release on the link pressed clicks it.
  window->trackMouseUntilUp([this, weak, anchor, pressedLink, pressedIndex](const Event& next) {
    auto self = weak.lock();
    if (!self) return;
    Point at = convertPointFromView(next.locationInWindow, nullptr);
    Point origin = textOrigin();
    size_t index = textLayout().closestInsertionIndex({at.x - origin.x, at.y - origin.y});
    size_t from = std::min(anchor, index), to = std::max(anchor, index);
    setSelectedRange({from, to - from});
    if (next.type != EventType::LeftMouseUp || !pressedLink || to != from) return;
    if (linkAt(at) != pressedLink) return;
    if (auto delegate = delegate_.lock()) {
      delegate->textViewClickedOnLink(*this, *pressedLink, pressedIndex);
    }
  });
}

std::optional<Cursor> TextView::cursorAt(Point point) const {
  Point origin = textOrigin();
  if (auto index = textLayout().characterIndexAt({point.x - origin.x, point.y - origin.y})) {
    TextAttributes attributes = storage_.attributesAt(*index);
    if (attributes.link && linkAttributes_.cursor) return linkAttributes_.cursor;
    if (attributes.cursor) return attributes.cursor;
  }
  return selectable_ ? std::optional<Cursor>(Cursor::IBeam) : std::nullopt;
}

}  // namespace os::ui
