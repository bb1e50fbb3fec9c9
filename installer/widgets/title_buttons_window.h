// What the installer's two borderless windows share: their own close, minimise and zoom buttons
// in a small holder view at the top left of the content (x 10, 15 points below the top), a
// tracking area on the close button that shows all of them in their rollover look while the
// mouse is over them, key and main status, dragging by the background, and the
// kMainWindowBecomeKeyNotification when they become key. Each window class keeps its own
// mouse-over flag, as the buttons' look follows the class rather than the button.
//
// A subclass builds its holder view and calls prepareTitleButtons() right after construction
// (the platform's preparation after loading from an interface file). Main thread only.
#pragma once

#include <memory>

#include "os/ui/window.h"
#include "os/ui/window_button.h"

class TitleButtonsWindow : public os::ui::Window {
 public:
  // Posted (without an object) whenever a window with these buttons becomes key.
  static constexpr const char* kMainWindowBecomeKeyNotification = "MainWindowBecomeKeyWindow";
  // The holder's distance below the content's top edge is its height plus this.
  static constexpr double kButtonHolderTopMargin = 15;

  const std::shared_ptr<os::ui::WindowButton>& closeButton() const { return closeButton_; }
  const std::shared_ptr<os::ui::WindowButton>& minButton() const { return minButton_; }
  const std::shared_ptr<os::ui::WindowButton>& maxButton() const { return maxButton_; }

  // Redraws the three buttons.
  void setTitleButtonsNeedDisplay();
  // The close and minimise buttons' actions.
  void closeWindow();
  void minWindow();

  bool canBecomeKeyWindow() const override { return true; }
  bool canBecomeMainWindow() const override { return true; }
  bool acceptsFirstResponder() const override { return true; }
  void becomeKeyWindow() override;
  void resignKeyWindow() override;
  // The entries and exits of the buttons' tracking area set and clear the class's flag; those
  // that views pass up the responder chain are not about the buttons and change nothing.
  void mouseEntered(const os::ui::Event& event) override;
  void mouseExited(const os::ui::Event& event) override;
  void mouseDragged(const os::ui::Event& event) override;

 protected:
  // How a window class places and follows its buttons.
  struct ButtonLayout {
    double closeButtonY = 0;  // in the holder
    bool showsZoomButton = false;
    // The tracking area covers trackingFactor close-button widths plus 10 points.
    int trackingFactor = 2;
    unsigned trackingOptions = 0;  // os::ui::TrackingArea options
  };

  // `mouseOverFlag` is the window class's own flag; it must outlive the window.
  TitleButtonsWindow(const os::ui::Rect& contentRect, unsigned styleMask, bool& mouseOverFlag);

  // Shadow, clear non-opaque background, the three buttons at x 0, 20 and 40 in `holder` (a
  // clear view), the holder put at the top left of the content, the close and minimise
  // actions, and the tracking area on the close button.
  void prepareTitleButtons(std::shared_ptr<os::ui::View> holder, const ButtonLayout& layout);
  // Moves the holder to the top left of the current content view and adds it there again.
  void placeButtonHolder();

 private:
  bool& mouseOverFlag_;
  std::shared_ptr<os::ui::WindowButton> closeButton_;
  std::shared_ptr<os::ui::WindowButton> minButton_;
  std::shared_ptr<os::ui::WindowButton> maxButton_;
  std::shared_ptr<os::ui::View> holder_;
  std::shared_ptr<os::ui::TrackingArea> buttonsArea_;
};
