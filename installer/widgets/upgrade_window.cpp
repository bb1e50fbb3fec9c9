#include "installer/widgets/upgrade_window.h"

namespace {

// Set while the mouse is over the buttons of a window of this class.
bool mouseOverTitleButtons = false;

// The close button sits this much higher in the holder than the other two.
constexpr double kCloseButtonY = 2;

}  // namespace

void TSRBackGroundView::drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& dirtyRect) {
  context.save();
  context.setFillColor(os::ui::Color::clear());
  context.fillRect(dirtyRect);
  context.restore();
}

std::shared_ptr<TSRUpgradeWindow> TSRUpgradeWindow::create(const os::ui::Rect& contentRect,
                                                           unsigned /*styleMask*/) {
  auto window = std::make_shared<TSRUpgradeWindow>(contentRect);
  window->awakeFromNib();
  return window;
}

TSRUpgradeWindow::TSRUpgradeWindow(const os::ui::Rect& contentRect)
    : TitleButtonsWindow(contentRect, kResizable, mouseOverTitleButtons) {}

bool TSRUpgradeWindow::isMouseOverTitleButtons() { return mouseOverTitleButtons; }

void TSRUpgradeWindow::awakeFromNib() {
  maxAndminView_ = std::make_shared<TSRBackGroundView>(os::ui::Rect{});
  prepareTitleButtons(maxAndminView_,
                      {.closeButtonY = kCloseButtonY,
                       .showsZoomButton = true,
                       .trackingFactor = 3,
                       .trackingOptions = os::ui::TrackingArea::kMouseEnteredAndExited |
                                          os::ui::TrackingArea::kActiveAlways});
  std::weak_ptr<Window> weak = weak_from_this();
  maxButton()->setAction([weak](os::ui::Control&) {
    if (auto window = weak.lock()) static_cast<TSRUpgradeWindow&>(*window).doZoomWindow();
  });
}

void TSRUpgradeWindow::doZoomWindow() { zoom(); }
