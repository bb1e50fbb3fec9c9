#include "installer/widgets/no_title_bar_window.h"

#include "os/notifications.h"

using os::ui::Rect;
using os::ui::WindowButton;

namespace {

constexpr double kHolderX = 10;
const Rect kHolderFrame{kHolderX, 0, 56, 16};  // y follows the content's height
constexpr double kButtonSpacing = 20;

// Set while the mouse is over the buttons of a window of this class.
bool mouseOverTitleButtons = false;

// A title-bar button whose rollover look follows the class's mouse flag rather than its own.
class TitleButton : public WindowButton {
 public:
  using WindowButton::WindowButton;
  Look look() const override {
    if (isHighlighted()) return Look::Pressed;
    return mouseOverTitleButtons ? Look::Rollover : Look::Normal;
  }
};

}  // namespace

std::shared_ptr<TSRNoTitleBarWindow> TSRNoTitleBarWindow::create(const Rect& contentRect,
                                                                 unsigned styleMask) {
  auto window = std::make_shared<TSRNoTitleBarWindow>(contentRect, styleMask);
  window->awakeFromNib();
  return window;
}

TSRNoTitleBarWindow::TSRNoTitleBarWindow(const Rect& contentRect, unsigned styleMask)
    : Window(contentRect, styleMask) {
  setMovableByWindowBackground(true);
}

bool TSRNoTitleBarWindow::isMouseOverTitleButtons() { return mouseOverTitleButtons; }

void TSRNoTitleBarWindow::awakeFromNib() {
  setHasShadow(true);
  closeButton_ = std::make_shared<TitleButton>(ButtonKind::Close);
  minButton_ = std::make_shared<TitleButton>(ButtonKind::Miniaturize);
  maxButton_ = std::make_shared<TitleButton>(ButtonKind::Zoom);
  setOpaque(false);
  setBackgroundColor(os::ui::Color::clear());

  maxAndminView_ = std::make_shared<BackGroundView>(kHolderFrame);
  maxAndminView_->setWantsLayer(true);
  maxAndminView_->layer()->setAnchorPointZ(-1);
  double x = 0;
  for (const auto& button : {closeButton_, minButton_, maxButton_}) {
    button->setFrame({{x, 0}, WindowButton::kSize});
    button->setAutoresizingMask(os::ui::View::kMinYMargin);
    maxAndminView_->addSubview(button);
    x += kButtonSpacing;
  }
  maxAndminView_->setBackgroundColor(os::ui::Color::clear());
  maxAndminView_->setAutoresizingMask(os::ui::View::kMinYMargin);
  addCloseBtnToContentView();
  maxButton_->setHidden(true);

  std::weak_ptr<Window> weak = weak_from_this();
  closeButton_->setAction([weak](os::ui::Control&) {
    if (auto window = weak.lock()) static_cast<TSRNoTitleBarWindow&>(*window).closeWindow();
  });
  minButton_->setAction([weak](os::ui::Control&) {
    if (auto window = weak.lock()) static_cast<TSRNoTitleBarWindow&>(*window).minWindow();
  });
  setTrackingArea(2);
}

void TSRNoTitleBarWindow::setTrackingArea(int factor) {
  Rect close = closeButton_->frame();
  buttonsArea_ = std::make_shared<os::ui::TrackingArea>(
      Rect{0, 0, factor * close.width + 10, close.height},
      os::ui::TrackingArea::kMouseEnteredAndExited | os::ui::TrackingArea::kMouseMoved |
          os::ui::TrackingArea::kActiveAlways,
      this);
  closeButton_->addTrackingArea(buttonsArea_);
}

void TSRNoTitleBarWindow::addCloseBtnToContentView() {
  double top = contentView()->frame().height;
  maxAndminView_->setFrameOrigin({kHolderX, top - kHolderFrame.height - kButtonHolderTopMargin});
  contentView()->addSubview(maxAndminView_);
}

void TSRNoTitleBarWindow::setTitleButtonsNeedDisplay() {
  for (const auto& button : {closeButton_, maxButton_, minButton_}) button->setNeedsDisplay(true);
}

void TSRNoTitleBarWindow::closeWindow() { close(); }

void TSRNoTitleBarWindow::minWindow() { miniaturize(); }

void TSRNoTitleBarWindow::becomeKeyWindow() {
  Window::becomeKeyWindow();
  setTitleButtonsNeedDisplay();
  os::NotificationCenter::defaultCenter().post(kMainWindowBecomeKeyNotification);
}

void TSRNoTitleBarWindow::resignKeyWindow() {
  Window::resignKeyWindow();
  setTitleButtonsNeedDisplay();
}

// Entries and exits that views pass up the responder chain are not about the buttons.
void TSRNoTitleBarWindow::mouseEntered(const os::ui::Event& event) {
  if (event.trackingArea != buttonsArea_.get()) return;
  mouseOverTitleButtons = true;
  setTitleButtonsNeedDisplay();
}

void TSRNoTitleBarWindow::mouseExited(const os::ui::Event& event) {
  if (event.trackingArea != buttonsArea_.get()) return;
  mouseOverTitleButtons = false;
  setTitleButtonsNeedDisplay();
}

void TSRNoTitleBarWindow::mouseDragged(const os::ui::Event& event) {
  Window::mouseDragged(event);
  contentView()->setNeedsDisplay(true);
}

void TSRNoTitleBarWindow::sendEvent(const os::ui::Event& event) {
  contentView()->setNeedsDisplay(true);
  Window::sendEvent(event);
}
