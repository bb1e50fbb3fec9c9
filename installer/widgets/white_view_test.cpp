#include "installer/widgets/white_view.h"

#include <gtest/gtest.h>

#include "installer/widgets/widget_color.h"
#include "os/ui/test_fixture.h"

namespace {

using os::ui::Point;
using os::ui::Rect;
using os::ui::testing::rgb;

const auto kWindowBackground = rgb(236, 236, 236);
const auto kRule = rgb(229, 229, 229);

// Counts the presses and entries that reach it.
class RecordingView : public os::ui::View {
 public:
  using View::View;
  void mouseDown(const os::ui::Event& event) override {
    ++downs;
    View::mouseDown(event);
  }
  void mouseEntered(const os::ui::Event&) override { ++entries; }
  int downs = 0, entries = 0;
};

// A 100 x 60 panel at 10, 10 inside a recording view that fills a 120 x 80 window.
class WhiteViewTest : public os::ui::testing::HeadlessTest {
 protected:
  static constexpr double kWindowHeight = 80;

  void SetUp() override {
    HeadlessTest::SetUp();
    window_ = makeWindow({120, kWindowHeight});
    window_->setMovableByWindowBackground(true);
    holder_ = std::make_shared<RecordingView>(Rect{0, 0, 120, kWindowHeight});
    window_->contentView()->addSubview(holder_);
    panel_ = std::make_shared<TSRWhiteView>(Rect{10, 10, 100, 60});
    holder_->addSubview(panel_);
  }

  std::shared_ptr<os::ui::Window> window_;
  std::shared_ptr<RecordingView> holder_;
  std::shared_ptr<TSRWhiteView> panel_;
};

TEST_F(WhiteViewTest, RoundedBodyWithRulesFramesAndBorders) {
  struct Probe {
    Point at;
    os::ui::Image::Pixel expected;
  };
  struct Case {
    const char* name;
    std::function<void(TSRWhiteView&)> configure;
    std::vector<Probe> probes;
  };
  const auto red = rgb(255, 0, 0);
  const Case cases[] = {
      {"plain",
       [](TSRWhiteView&) {},
       // White, with corners of radius 5 that show the window behind.
       {{{60, 40}, rgb(255, 255, 255)},
        {{10.1, 10.1}, kWindowBackground},
        {{109.9, 69.9}, kWindowBackground},
        {{11.6, 11.6}, rgb(255, 255, 255)}}},
      {"coloured",
       [](TSRWhiteView& v) { v.setBackgroundColor(WidgetColor::rgb(247, 247, 247)); },
       {{{60, 40}, rgb(247, 247, 247)}}},
      // 2-point rules on the top and bottom edges, of which 1 point shows.
      {"top and bottom rules",
       [](TSRWhiteView& v) {
         v.setIsUpline(true);
         v.setIsBommt(true);
       },
       {{{60, 69.5}, kRule},
        {{60, 68.5}, rgb(255, 255, 255)},
        {{60, 10.5}, kRule},
        {{60, 11.5}, rgb(255, 255, 255)},
        {{10.5, 40}, rgb(255, 255, 255)}}},
      {"frame in the border colour",
       [&](TSRWhiteView& v) {
         v.setBorderColor(WidgetColor::rgb(255, 0, 0));
         v.setIsDrawFrame(true);
       },
       {{{10.5, 40}, red},
        {{109.5, 40}, red},
        {{60, 69.5}, red},
        {{11.5, 40}, rgb(255, 255, 255)}}},
      {"rounded border in the default colour",
       [](TSRWhiteView& v) { v.setHasCorner(true); },
       {{{10.5, 40}, kRule}, {{60, 10.5}, kRule}, {{11.5, 40}, rgb(255, 255, 255)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.configure(*panel_);
    panel_->setNeedsDisplay(true);
    auto image = window_->renderImage(4);
    for (const Probe& probe : c.probes) {
      SCOPED_TRACE("at " + std::to_string(probe.at.x) + ", " + std::to_string(probe.at.y));
      EXPECT_PIXEL_NEAR(pixelAt(*image, probe.at, kWindowHeight), probe.expected, 2);
    }
  }
}

TEST_F(WhiteViewTest, PressesReachTheSuperviewAndDragTheWindowUnlessTheFlagsSayNo) {
  struct Case {
    bool isMove;
    bool isNOCanDraw;
    int downsInSuperview;
    bool windowMoves;
  };
  const Case cases[] = {
      {false, false, 1, true},
      {true, false, 0, false},  // the press stops at the panel
      {false, true, 1, false},  // the press goes on, but the panel may not drag the window
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("isMove ") + (c.isMove ? "YES" : "NO") + ", isNOCanDraw " +
                 (c.isNOCanDraw ? "YES" : "NO"));
    TearDown();
    SetUp();
    panel_->setIsMove(c.isMove);
    panel_->setIsNOCanDraw(c.isNOCanDraw);
    EXPECT_EQ(panel_->mouseDownCanMoveWindow(), !c.isNOCanDraw);
    Point origin = window_->frame().origin();
    screen_->mouseDown(*window_, {60, 40});
    screen_->mouseDrag(*window_, {80, 30});
    screen_->mouseUp(*window_, {80, 30});
    EXPECT_EQ(holder_->downs, c.downsInSuperview);
    Point moved{origin.x + 20, origin.y - 10};
    EXPECT_EQ(window_->frame().origin() == moved, c.windowMoves);

    // Entries, too, stop at a panel with isMove.
    panel_->mouseEntered(os::ui::Event{});
    EXPECT_EQ(holder_->entries, c.isMove ? 0 : 1);
  }
}

TEST_F(WhiteViewTest, FrameFlagRedrawsOnlyWhenItChanges) {
  window_->display();
  ASSERT_FALSE(panel_->needsDisplay());
  panel_->setIsDrawFrame(false);
  EXPECT_FALSE(panel_->needsDisplay());
  panel_->setIsDrawFrame(true);
  EXPECT_TRUE(panel_->needsDisplay());
}

}  // namespace
