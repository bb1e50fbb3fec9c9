#include "installer/widgets/no_title_bar_window.h"

namespace {

// Set while the mouse is over the buttons of a window of this class.
bool mouseOverTitleButtons = false;

}  // namespace

std::shared_ptr<TSRNoTitleBarWindow> TSRNoTitleBarWindow::create(const os::ui::Rect& contentRect,
                                                                 unsigned styleMask) {
  auto window = std::make_shared<TSRNoTitleBarWindow>(contentRect, styleMask);
  window->awakeFromNib();
  return window;
}

TSRNoTitleBarWindow::TSRNoTitleBarWindow(const os::ui::Rect& contentRect, unsigned styleMask)
    : TitleButtonsWindow(contentRect, styleMask, mouseOverTitleButtons) {}

bool TSRNoTitleBarWindow::isMouseOverTitleButtons() { return mouseOverTitleButtons; }

void TSRNoTitleBarWindow::awakeFromNib() {
  maxAndminView_ = std::make_shared<BackGroundView>(os::ui::Rect{});
  maxAndminView_->setBackgroundColor(os::ui::Color::clear());
  prepareTitleButtons(
      maxAndminView_,
      {.closeButtonY = 0,
       .showsZoomButton = false,
       .trackingFactor = 2,
       .trackingOptions = os::ui::TrackingArea::kMouseEnteredAndExited |
                          os::ui::TrackingArea::kMouseMoved | os::ui::TrackingArea::kActiveAlways});
}

void TSRNoTitleBarWindow::sendEvent(const os::ui::Event& event) {
  contentView()->setNeedsDisplay(true);
  Window::sendEvent(event);
}
