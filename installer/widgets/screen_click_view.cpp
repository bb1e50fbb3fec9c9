#include "installer/widgets/screen_click_view.h"

TSRScreenClickView::TSRScreenClickView(const os::ui::Rect& frame) : View(frame) {
  registerForDraggedTypes({os::ui::kFilesPromisePboardType, os::ui::kFilenamesPboardType});
  addTrackingArea(std::make_shared<os::ui::TrackingArea>(
      bounds(),
      os::ui::TrackingArea::kMouseEnteredAndExited | os::ui::TrackingArea::kActiveInKeyWindow |
          os::ui::TrackingArea::kInVisibleRect,
      this));
}

void TSRScreenClickView::mouseEntered(const os::ui::Event&) { becomeFirstResponder(); }

void TSRScreenClickView::mouseMoved(const os::ui::Event&) { becomeFirstResponder(); }

void TSRScreenClickView::mouseExited(const os::ui::Event&) { becomeFirstResponder(); }

os::ui::DragOperation TSRScreenClickView::draggingEntered(const os::ui::DraggingInfo&) {
  return os::ui::DragOperation::None;
}

os::ui::DragOperation TSRScreenClickView::draggingUpdated(const os::ui::DraggingInfo&) {
  return os::ui::DragOperation::None;
}

void TSRScreenClickView::drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& dirtyRect) {
  if (backGroundColor_) {
    context.save();
    context.setFillColor(*backGroundColor_);
    context.fillRect(dirtyRect);
    context.restore();
  }
  if (backgroundImage_) context.drawImage(*backgroundImage_, dirtyRect);
}
