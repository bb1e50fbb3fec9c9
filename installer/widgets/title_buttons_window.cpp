#include "installer/widgets/title_buttons_window.h"

#include "os/dispatch/notifications.h"

using os::ui::Rect;
using os::ui::WindowButton;

namespace {

constexpr double kHolderX = 10;
const Rect kHolderFrame{kHolderX, 0, 56, 16};  // y follows the content's height
constexpr double kButtonSpacing = 20;

// A title-bar button whose rollover look follows its window class's mouse flag rather than its
// own hovering.
class TitleButton : public WindowButton {
 public:
  TitleButton(os::ui::Window::ButtonKind kind, const bool& mouseOverFlag)
      : WindowButton(kind), mouseOverFlag_(mouseOverFlag) {}
  Look look() const override {
    if (isHighlighted()) return Look::Pressed;
    return mouseOverFlag_ ? Look::Rollover : Look::Normal;
  }

 private:
  const bool& mouseOverFlag_;
};

}  // namespace

TitleButtonsWindow::TitleButtonsWindow(const Rect& contentRect, unsigned styleMask,
                                       bool& mouseOverFlag)
    : Window(contentRect, styleMask), mouseOverFlag_(mouseOverFlag) {
  setMovableByWindowBackground(true);
}

void TitleButtonsWindow::prepareTitleButtons(std::shared_ptr<os::ui::View> holder,
                                             const ButtonLayout& layout) {
  setHasShadow(true);
  closeButton_ = std::make_shared<TitleButton>(ButtonKind::Close, mouseOverFlag_);
  minButton_ = std::make_shared<TitleButton>(ButtonKind::Miniaturize, mouseOverFlag_);
  maxButton_ = std::make_shared<TitleButton>(ButtonKind::Zoom, mouseOverFlag_);
  setOpaque(false);
  setBackgroundColor(os::ui::Color::clear());

  holder_ = std::move(holder);
  holder_->setFrame(kHolderFrame);
  holder_->setWantsLayer(true);
  holder_->layer()->setAnchorPointZ(-1);
  double x = 0;
  for (const auto& button : {closeButton_, minButton_, maxButton_}) {
    double y = button == closeButton_ ? layout.closeButtonY : 0;
    button->setFrame({{x, y}, WindowButton::kSize});
    button->setAutoresizingMask(os::ui::View::kMinYMargin);
    holder_->addSubview(button);
    x += kButtonSpacing;
  }
  holder_->setAutoresizingMask(os::ui::View::kMinYMargin);
  placeButtonHolder();
  maxButton_->setHidden(!layout.showsZoomButton);

  std::weak_ptr<Window> weak = weak_from_this();
  closeButton_->setAction([weak](os::ui::Control&) {
    if (auto window = weak.lock()) static_cast<TitleButtonsWindow&>(*window).closeWindow();
  });
  minButton_->setAction([weak](os::ui::Control&) {
    if (auto window = weak.lock()) static_cast<TitleButtonsWindow&>(*window).minWindow();
  });

  Rect close = closeButton_->frame();
  buttonsArea_ = std::make_shared<os::ui::TrackingArea>(
      Rect{0, 0, layout.trackingFactor * close.width + 10, close.height}, layout.trackingOptions,
      this);
  closeButton_->addTrackingArea(buttonsArea_);
}

void TitleButtonsWindow::placeButtonHolder() {
  double top = contentView()->frame().height;
  holder_->setFrameOrigin({kHolderX, top - kHolderFrame.height - kButtonHolderTopMargin});
  contentView()->addSubview(holder_);
}

void TitleButtonsWindow::setTitleButtonsNeedDisplay() {
  for (const auto& button : {closeButton_, maxButton_, minButton_}) button->setNeedsDisplay(true);
}

void TitleButtonsWindow::closeWindow() { close(); }

void TitleButtonsWindow::minWindow() { miniaturize(); }

void TitleButtonsWindow::becomeKeyWindow() {
  Window::becomeKeyWindow();
  setTitleButtonsNeedDisplay();
  os::NotificationCenter::defaultCenter().post(kMainWindowBecomeKeyNotification);
}

void TitleButtonsWindow::resignKeyWindow() {
  Window::resignKeyWindow();
  setTitleButtonsNeedDisplay();
}

void TitleButtonsWindow::mouseEntered(const os::ui::Event& event) {
  if (event.trackingArea != buttonsArea_.get()) return;
  mouseOverFlag_ = true;
  setTitleButtonsNeedDisplay();
}

void TitleButtonsWindow::mouseExited(const os::ui::Event& event) {
  if (event.trackingArea != buttonsArea_.get()) return;
  mouseOverFlag_ = false;
  setTitleButtonsNeedDisplay();
}

void TitleButtonsWindow::mouseDragged(const os::ui::Event& event) {
  Window::mouseDragged(event);
  contentView()->setNeedsDisplay(true);
}
