// The installer's main window: borderless, with a shadow, draggable by its background, and with
// its own close and minimise buttons drawn at the top left of the content (the zoom button
// exists but stays hidden). The buttons sit in a clear holder view 10 points from the left
// edge and 15 from the top; moving the mouse over them shows all of them in their rollover
// look. Becoming key posts kMainWindowBecomeKeyNotification.
//
//   auto window = TSRNoTitleBarWindow::create({200, 200, 600, 400});
//   window->contentView()->addSubview(firstScreen);
//   window->closeButton()->setAction(...);     // the application's own close handling
//   window->makeKeyAndOrderFront();
//
// Main thread only.
#pragma once

#include <memory>

#include "installer/widgets/background_view.h"
#include "os/ui/window.h"
#include "os/ui/window_button.h"

class TSRNoTitleBarWindow : public os::ui::Window {
 public:
  // Posted (without an object) whenever a window of this class becomes key.
  static constexpr const char* kMainWindowBecomeKeyNotification = "MainWindowBecomeKeyWindow";
  // The holder's distance below the content's top edge is its height plus this.
  static constexpr double kButtonHolderTopMargin = 15;

  // A hidden window whose content area is `contentRect` (screen points), prepared with its
  // buttons: the platform's window made from an interface file.
  static std::shared_ptr<TSRNoTitleBarWindow> create(const os::ui::Rect& contentRect,
                                                     unsigned styleMask = kBorderless);
  // Use create(), which also lays out the buttons.
  TSRNoTitleBarWindow(const os::ui::Rect& contentRect, unsigned styleMask);

  const std::shared_ptr<os::ui::WindowButton>& closeButton() const { return closeButton_; }
  const std::shared_ptr<os::ui::WindowButton>& minButton() const { return minButton_; }
  const std::shared_ptr<os::ui::WindowButton>& maxButton() const { return maxButton_; }
  // The clear view holding the three buttons.
  const std::shared_ptr<BackGroundView>& maxAndminView() const { return maxAndminView_; }

  // Whether the mouse is over the buttons of a window of this class (one flag for the
  // process, as the buttons' look follows it).
  static bool isMouseOverTitleButtons();

  // Redraws the three buttons.
  void setTitleButtonsNeedDisplay();
  // The close and minimise buttons' actions.
  void closeWindow();
  void minWindow();
  // Puts the button holder back at the top left of the content view (after the content view
  // was replaced or resized).
  void addCloseBtnToContentView();

  bool canBecomeKeyWindow() const override { return true; }
  bool canBecomeMainWindow() const override { return true; }
  bool acceptsFirstResponder() const override { return true; }
  void becomeKeyWindow() override;
  void resignKeyWindow() override;
  // The entries and exits of the buttons' tracking area.
  void mouseEntered(const os::ui::Event& event) override;
  void mouseExited(const os::ui::Event& event) override;
  void mouseDragged(const os::ui::Event& event) override;
  void sendEvent(const os::ui::Event& event) override;

 private:
  void awakeFromNib();
  // Follows the mouse over the close button and `factor` − 1 buttons right of it.
  void setTrackingArea(int factor);

  std::shared_ptr<os::ui::WindowButton> closeButton_;
  std::shared_ptr<os::ui::WindowButton> minButton_;
  std::shared_ptr<os::ui::WindowButton> maxButton_;
  std::shared_ptr<BackGroundView> maxAndminView_;
  std::shared_ptr<os::ui::TrackingArea> buttonsArea_;
};
