#include "installer/widgets/no_title_bar_window.h"

#include <gtest/gtest.h>

#include "os/dispatch/notifications.h"
#include "os/ui/test_fixture.h"

namespace {

using os::ui::Point;
using os::ui::Rect;
using os::ui::WindowButton;

// A 600 x 400 borderless window at 100, 100.
class NoTitleBarWindowTest : public os::ui::testing::HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    window_ = TSRNoTitleBarWindow::create({100, 100, 600, 400});
    window_->makeKeyAndOrderFront();
  }
  void TearDown() override {
    // The rollover flag is the process's: leave it as found.
    screen_->mouseExit(*window_);
    HeadlessTest::TearDown();
  }

  std::shared_ptr<TSRNoTitleBarWindow> window_;
};

TEST_F(NoTitleBarWindowTest, ButtonHolderSitsAtTheTopLeftAndFollowsTheHeight) {
  EXPECT_EQ(window_->maxAndminView()->frame(), (Rect{10, 400 - 31, 56, 16}));
  EXPECT_EQ(window_->maxAndminView()->superview(), window_->contentView().get());
  EXPECT_EQ(window_->closeButton()->frame().origin(), (Point{0, 0}));
  EXPECT_EQ(window_->minButton()->frame().origin(), (Point{20, 0}));
  EXPECT_EQ(window_->maxButton()->frame().origin(), (Point{40, 0}));
  EXPECT_TRUE(window_->maxButton()->isHidden());
  EXPECT_FALSE(window_->isOpaque());
  EXPECT_TRUE(window_->hasShadow());
  EXPECT_TRUE(window_->isKeyWindow());

  window_->setFrame({100, 100, 600, 500});
  EXPECT_EQ(window_->maxAndminView()->frame().y, 500 - 31);
  window_->contentView()->setFrameSize({600, 300});  // as a replaced content view would be
  window_->addCloseBtnToContentView();
  EXPECT_EQ(window_->maxAndminView()->frame().y, 300 - 31);
}

TEST_F(NoTitleBarWindowTest, HoveringTheButtonsShowsTheRolloverLookOfAll) {
  auto looks = [&] {
    std::vector<WindowButton::Look> all;
    for (const auto& button :
         {window_->closeButton(), window_->minButton(), window_->maxButton()}) {
      all.push_back(button->look());
    }
    return all;
  };
  using Looks = std::vector<WindowButton::Look>;
  const Looks normal(3, WindowButton::Look::Normal), rollover(3, WindowButton::Look::Rollover);
  // The close button's centre, in window points: the glyph shows only on hover.
  const Point closeCentre{10 + 7, 369 + 8};
  auto before = probe(*window_, closeCentre, 2);
  EXPECT_EQ(looks(), normal);

  screen_->mouseMove(*window_, {10 + 20 + 7, 369 + 8});  // over the minimise button
  EXPECT_TRUE(TSRNoTitleBarWindow::isMouseOverTitleButtons());
  EXPECT_EQ(looks(), rollover);
  auto hovered = probe(*window_, closeCentre, 2);
  EXPECT_FALSE(os::ui::testing::near(before, hovered, 30))
      << os::ui::testing::describe(before) << " vs " << os::ui::testing::describe(hovered);

  screen_->mouseMove(*window_, {300, 200});
  EXPECT_EQ(looks(), normal);
  EXPECT_EQ(probe(*window_, closeCentre, 2), before);
  // Entries that views pass up to the window do not count.
  window_->mouseEntered(os::ui::Event{});
  EXPECT_EQ(looks(), normal);
}

TEST_F(NoTitleBarWindowTest, ButtonsCloseAndMinimise) {
  screen_->click(*window_, {10 + 20 + 7, 369 + 8});
  EXPECT_TRUE(window_->isMiniaturized());
  window_->deminiaturize();
  screen_->click(*window_, {10 + 7, 369 + 8});
  EXPECT_FALSE(window_->isVisible());
}

TEST_F(NoTitleBarWindowTest, DraggingTheBackgroundMovesTheWindow) {
  screen_->mouseDown(*window_, {300, 200});
  screen_->mouseDrag(*window_, {320, 190});
  screen_->mouseDrag(*window_, {340, 170});
  screen_->mouseUp(*window_, {340, 170});
  EXPECT_EQ(window_->frame().origin(), (Point{140, 70}));
}

TEST_F(NoTitleBarWindowTest, BecomingKeyPostsTheMainWindowNotification) {
  int posts = 0;
  auto& center = os::NotificationCenter::defaultCenter();
  os::ObserverRegistration registration(
      center, center.addObserver(TSRNoTitleBarWindow::kMainWindowBecomeKeyNotification, nullptr,
                                 [&](const os::Notification& note) {
                                   EXPECT_EQ(note.object, nullptr);
                                   ++posts;
                                 }));
  auto other = TSRNoTitleBarWindow::create({800, 100, 200, 200});
  other->makeKeyAndOrderFront();
  EXPECT_EQ(posts, 1);
  window_->makeKeyWindow();
  EXPECT_EQ(posts, 2);
}

}  // namespace
