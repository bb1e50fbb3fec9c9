#include "installer/widgets/upgrade_window.h"

#include <gtest/gtest.h>

#include "installer/widgets/background_view.h"
#include "installer/widgets/no_title_bar_window.h"
#include "os/dispatch/notifications.h"
#include "os/ui/test_fixture.h"

namespace {

using os::ui::Point;
using os::ui::Rect;
using os::ui::WindowButton;
using os::ui::testing::color255;
using os::ui::testing::rgb;

// A 600 x 400 upgrade window at 100, 100, asked for a titled style, over a red content view.
class UpgradeWindowTest : public os::ui::testing::HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    window_ = TSRUpgradeWindow::create({100, 100, 600, 400},
                                       os::ui::Window::kTitled | os::ui::Window::kClosable);
    auto red = std::make_shared<BackGroundView>(Rect{0, 0, 600, 400});
    red->setBackgroundColor(color255(255, 0, 0));
    window_->contentView()->addSubview(red, os::ui::View::Ordering::Below, nullptr);
    window_->makeKeyAndOrderFront();
  }
  void TearDown() override {
    // The rollover flag is the process's: leave it as found.
    screen_->mouseExit(*window_);
    HeadlessTest::TearDown();
  }

  std::vector<WindowButton::Look> looks() const {
    std::vector<WindowButton::Look> all;
    for (const auto& button :
         {window_->closeButton(), window_->minButton(), window_->maxButton()}) {
      all.push_back(button->look());
    }
    return all;
  }

  std::shared_ptr<TSRUpgradeWindow> window_;
};

TEST_F(UpgradeWindowTest, IsResizableWithoutTitleBarAndHoldsThreeButtonsAtTheTopLeft) {
  EXPECT_EQ(window_->styleMask(), unsigned(os::ui::Window::kResizable));
  EXPECT_EQ(window_->collectionBehavior(), 128u);
  EXPECT_TRUE(window_->isMovableByWindowBackground());
  EXPECT_TRUE(window_->hasShadow());
  EXPECT_FALSE(window_->isOpaque());
  EXPECT_TRUE(window_->isKeyWindow());

  EXPECT_EQ(window_->maxAndminView()->frame(), (Rect{10, 400 - 31, 56, 16}));
  EXPECT_EQ(window_->maxAndminView()->superview(), window_->contentView().get());
  EXPECT_EQ(window_->closeButton()->frame().origin(), (Point{0, 2}));
  EXPECT_EQ(window_->minButton()->frame().origin(), (Point{20, 0}));
  EXPECT_EQ(window_->maxButton()->frame().origin(), (Point{40, 0}));
  EXPECT_FALSE(window_->maxButton()->isHidden());

  // The holder draws nothing of its own: between the buttons the content shows through.
  EXPECT_PIXEL_NEAR(probe(*window_, {10 + 16, 369 + 8}), rgb(255, 0, 0), 2);

  window_->setFrame({100, 100, 600, 500});
  EXPECT_EQ(window_->maxAndminView()->frame().y, 500 - 31);
}

TEST_F(UpgradeWindowTest, HoveringShowsTheRolloverLookOfAllThreeWithItsOwnFlag) {
  using Looks = std::vector<WindowButton::Look>;
  const Looks normal(3, WindowButton::Look::Normal), rollover(3, WindowButton::Look::Rollover);
  const Point zoomCentre{10 + 40 + 7, 369 + 8};
  auto before = probe(*window_, zoomCentre, 2);
  EXPECT_EQ(looks(), normal);

  // The tracking area spans three button widths and 10 points: the zoom button is inside.
  screen_->mouseMove(*window_, zoomCentre);
  EXPECT_TRUE(TSRUpgradeWindow::isMouseOverTitleButtons());
  EXPECT_FALSE(TSRNoTitleBarWindow::isMouseOverTitleButtons());
  EXPECT_EQ(looks(), rollover);
  auto hovered = probe(*window_, zoomCentre, 2);
  EXPECT_FALSE(os::ui::testing::near(before, hovered, 30))
      << os::ui::testing::describe(before) << " vs " << os::ui::testing::describe(hovered);

  screen_->mouseMove(*window_, {300, 200});
  EXPECT_EQ(looks(), normal);
  EXPECT_EQ(probe(*window_, zoomCentre, 2), before);
}

TEST_F(UpgradeWindowTest, ButtonsZoomMinimiseAndClose) {
  const Rect unzoomed = window_->frame();
  screen_->click(*window_, {10 + 40 + 7, 369 + 8});
  EXPECT_EQ(window_->frame(), os::ui::Application::shared().screenFrame());
  window_->doZoomWindow();
  EXPECT_EQ(window_->frame(), unzoomed);

  screen_->click(*window_, {10 + 20 + 7, 369 + 8});
  EXPECT_TRUE(window_->isMiniaturized());
  window_->deminiaturize();
  screen_->click(*window_, {10 + 7, 369 + 2 + 8});
  EXPECT_FALSE(window_->isVisible());
}

TEST_F(UpgradeWindowTest, BecomingKeyPostsTheMainWindowNotification) {
  int posts = 0;
  auto& center = os::NotificationCenter::defaultCenter();
  os::ObserverRegistration registration(
      center, center.addObserver(TSRUpgradeWindow::kMainWindowBecomeKeyNotification, nullptr,
                                 [&](const os::Notification&) { ++posts; }));
  auto other = TSRUpgradeWindow::create({800, 100, 200, 200});
  other->makeKeyAndOrderFront();
  window_->makeKeyWindow();
  EXPECT_EQ(posts, 2);
}

}  // namespace
