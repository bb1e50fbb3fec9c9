#include "os/ui/box.h"

namespace os::ui {

Box::Box(const Rect& frame) : View(frame) {}

void Box::setContentView(std::shared_ptr<View> view) {
  if (view == content_) return;
  if (content_) content_->removeFromSuperview();
  content_ = std::move(view);
  if (!content_) return;
  content_->setFrame(bounds());
  content_->setAutoresizingMask(kWidthSizable | kHeightSizable);
  addSubview(content_);
}

void Box::setFillColor(std::optional<Color> color) {
  fillColor_ = color;
  setNeedsDisplay(true);
}

void Box::drawRect(GraphicsContext& context, const Rect&) {
  if (!fillColor_) return;
  context.save();
  context.setFillColor(*fillColor_);
  context.fillRect(bounds());
  context.restore();
}

}  // namespace os::ui
