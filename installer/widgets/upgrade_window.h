// The twin of the installer's main window for its upgrade screens: borderless and resizable
// whatever style it is given, draggable by its background, with a shadow and its own close,
// minimise and zoom buttons at the top left of the content in a clear TSRBackGroundView; see
// TitleButtonsWindow. The mouse over the buttons (and the space of one more button right of
// them) shows all three in their rollover look. The zoom button fills the screen and back.
//
//   auto window = TSRUpgradeWindow::create({200, 200, 600, 400});
//   window->contentView()->addSubview(upgradeScreen);
//   window->makeKeyAndOrderFront();
//
// Main thread only.
#pragma once

#include <memory>

#include "installer/widgets/title_buttons_window.h"
#include "os/ui/view.h"

// The transparent holder of TSRUpgradeWindow's buttons: it fills what it draws with the clear
// colour.
class TSRBackGroundView : public os::ui::View {
 public:
  using View::View;
  void drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& dirtyRect) override;
};

class TSRUpgradeWindow : public TitleButtonsWindow {
 public:
  // The platform's collection behaviour of a window that can be the primary one in full screen.
  static constexpr unsigned kCollectionBehaviorFullScreenPrimary = 128;

  // A hidden window whose content area is `contentRect` (screen points), prepared with its
  // buttons. `styleMask` is ignored: the window is always resizable without a title bar, as
  // when made from an interface file with any other style.
  static std::shared_ptr<TSRUpgradeWindow> create(const os::ui::Rect& contentRect,
                                                  unsigned styleMask = kResizable);
  // Use create(), which also lays out the buttons.
  explicit TSRUpgradeWindow(const os::ui::Rect& contentRect);

  // The clear view holding the three buttons.
  const std::shared_ptr<TSRBackGroundView>& maxAndminView() const { return maxAndminView_; }
  // kCollectionBehaviorFullScreenPrimary. Kept for callers that ask; on this desktop full
  // screen is the window manager's, and the zoom button fills the screen instead.
  unsigned collectionBehavior() const { return kCollectionBehaviorFullScreenPrimary; }

  // Whether the mouse is over the buttons of a window of this class (one flag for the process,
  // separate from the main window's).
  static bool isMouseOverTitleButtons();

  // The zoom button's action.
  void doZoomWindow();

 private:
  void awakeFromNib();

  std::shared_ptr<TSRBackGroundView> maxAndminView_;
};
