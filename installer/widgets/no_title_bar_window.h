// The installer's main window: borderless, with a shadow, draggable by its background, and with
// its own close and minimise buttons drawn at the top left of the content (the zoom button
// exists but stays hidden); see TitleButtonsWindow. Moving the mouse over the buttons (and the
// space right of them) shows all of them in their rollover look.
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
#include "installer/widgets/title_buttons_window.h"

class TSRNoTitleBarWindow : public TitleButtonsWindow {
 public:
  // A hidden window whose content area is `contentRect` (screen points), prepared with its
  // buttons: the platform's window made from an interface file.
  static std::shared_ptr<TSRNoTitleBarWindow> create(const os::ui::Rect& contentRect,
                                                     unsigned styleMask = kBorderless);
  // Use create(), which also lays out the buttons.
  TSRNoTitleBarWindow(const os::ui::Rect& contentRect, unsigned styleMask);

  // The clear view holding the three buttons.
  const std::shared_ptr<BackGroundView>& maxAndminView() const { return maxAndminView_; }

  // Whether the mouse is over the buttons of a window of this class (one flag for the
  // process, as the buttons' look follows it).
  static bool isMouseOverTitleButtons();

  // Puts the button holder back at the top left of the content view (after the content view
  // was replaced or resized).
  void addCloseBtnToContentView() { placeButtonHolder(); }

  void sendEvent(const os::ui::Event& event) override;

 private:
  void awakeFromNib();

  std::shared_ptr<BackGroundView> maxAndminView_;
};
