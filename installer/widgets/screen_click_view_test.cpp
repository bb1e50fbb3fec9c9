#include "installer/widgets/screen_click_view.h"

#include <gtest/gtest.h>

#include "installer/widgets/widget_color.h"
#include "os/ui/button.h"
#include "os/ui/test_fixture.h"

namespace {

using os::ui::Rect;
using os::ui::testing::rgb;

// Takes the files dropped on it.
class DropTarget : public os::ui::View {
 public:
  explicit DropTarget(const Rect& frame) : View(frame) {
    registerForDraggedTypes({os::ui::kFilenamesPboardType});
  }
  os::ui::DragOperation draggingEntered(const os::ui::DraggingInfo&) override {
    return os::ui::DragOperation::Copy;
  }
  bool performDragOperation(const os::ui::DraggingInfo&) override { return true; }
};

class ScreenClickViewTest : public os::ui::testing::HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    window_ = makeWindow({200, 100});
    window_->setMovableByWindowBackground(true);
    target_ = std::make_shared<DropTarget>(Rect{0, 0, 200, 100});
    window_->contentView()->addSubview(target_);
    button_ = std::make_shared<os::ui::Button>(Rect{20, 20, 80, 30}, "Install");
    button_->setAction([this](os::ui::Control&) { ++actions_; });
    target_->addSubview(button_);
  }

  std::shared_ptr<os::ui::Window> window_;
  std::shared_ptr<DropTarget> target_;
  std::shared_ptr<os::ui::Button> button_;
  int actions_ = 0;
};

TEST_F(ScreenClickViewTest, ShieldSwallowsClicksAndRefusesDrops) {
  // Without the shield the button acts, the background drags and files are taken.
  screen_->click(*window_, {60, 35});
  EXPECT_EQ(actions_, 1);
  EXPECT_TRUE(screen_->dropFiles(*window_, {150, 50}, {"/tmp/a.zip"}));

  auto shield = std::make_shared<TSRScreenClickView>(Rect{0, 0, 200, 100});
  window_->contentView()->addSubview(shield);
  screen_->click(*window_, {60, 35});
  screen_->rightMouseDown(*window_, {60, 35});
  EXPECT_EQ(actions_, 1);
  os::ui::Point origin = window_->frame().origin();
  screen_->mouseDown(*window_, {150, 50});
  screen_->mouseDrag(*window_, {170, 60});
  screen_->mouseUp(*window_, {170, 60});
  EXPECT_EQ(window_->frame().origin(), origin);
  EXPECT_FALSE(screen_->dropFiles(*window_, {150, 50}, {"/tmp/a.zip"}));
  EXPECT_EQ(shield->draggingUpdated({}), os::ui::DragOperation::None);
}

TEST_F(ScreenClickViewTest, DrawsOnlyWhatItIsGiven) {
  auto shield = std::make_shared<TSRScreenClickView>(Rect{100, 0, 100, 100});
  window_->contentView()->addSubview(shield);
  EXPECT_EQ(probe(*window_, {150, 50}), rgb(236, 236, 236));
  shield->setBackGroundColor(WidgetColor::rgb(41, 38, 75));
  shield->setNeedsDisplay(true);
  EXPECT_EQ(probe(*window_, {150, 50}), rgb(41, 38, 75));

  // An image is scaled over the whole view, above the colour.
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 20, 20);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  shield->setBackgroundImage(os::ui::Image::fromSurface(surface));
  cairo_surface_destroy(surface);
  EXPECT_EQ(probe(*window_, {150, 50}), rgb(255, 0, 0));
  EXPECT_EQ(probe(*window_, {110, 90}), rgb(255, 0, 0));
}

// Counts what the shield asks of itself.
class CountingShield : public TSRScreenClickView {
 public:
  using TSRScreenClickView::TSRScreenClickView;
  bool becomeFirstResponder() override {
    ++requests;
    return true;
  }
  int requests = 0;
};

TEST_F(ScreenClickViewTest, MouseEnteringAndLeavingAsksForFirstResponder) {
  auto shield = std::make_shared<CountingShield>(Rect{100, 0, 100, 100});
  window_->contentView()->addSubview(shield);
  ASSERT_EQ(shield->trackingAreas().size(), 1u);
  screen_->mouseMove(*window_, {50, 50});
  EXPECT_EQ(shield->requests, 0);
  screen_->mouseMove(*window_, {150, 50});
  EXPECT_EQ(shield->requests, 1);
  screen_->mouseMove(*window_, {50, 50});
  EXPECT_EQ(shield->requests, 2);
  // The area stays the one made at creation when the geometry changes.
  auto area = shield->trackingAreas().front();
  shield->setFrame({0, 0, 200, 100});
  screen_->mouseMove(*window_, {20, 20});
  ASSERT_EQ(shield->trackingAreas().size(), 1u);
  EXPECT_EQ(shield->trackingAreas().front(), area);
  EXPECT_EQ(shield->requests, 3);
  screen_->mouseExit(*window_);
}

}  // namespace
