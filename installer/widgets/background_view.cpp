#include "installer/widgets/background_view.h"

void BackGroundView::setBackgroundColor(std::optional<os::ui::Color> color) {
  if (backgroundColor_ == color) return;
  backgroundColor_ = color;
  setNeedsDisplay(true);
}

void BackGroundView::drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& dirtyRect) {
  if (!backgroundColor_) return;
  context.save();
  context.setFillColor(*backgroundColor_);
  context.fillRect(dirtyRect);
  context.restore();
}
