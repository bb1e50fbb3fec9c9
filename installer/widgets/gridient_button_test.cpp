#include "installer/widgets/gridient_button.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <functional>

#include "installer/widgets/widget_color.h"
#include "installer/widgets/widget_test_util.h"
#include "os/ui/test_fixture.h"

namespace {

using os::ui::Color;
using os::ui::Image;
using os::ui::Point;
using os::ui::Rect;
using os::ui::testing::rgb;
using widget_testing::mostDistinctPixel;

// Counts what the button tells its delegate.
class TagRecorder : public MouseEnumDelegate {
 public:
  void mouseEnterTag(int32_t tag) override {
    ++enters;
    lastTag = tag;
  }
  void mouseUpTag(int32_t tag) override {
    ++ups;
    lastTag = tag;
  }
  int enters = 0, ups = 0;
  int32_t lastTag = 0;
};

// One colour per look, so that a probe tells the looks apart.
struct Look {
  Image::Pixel body, border, title;
};
const Look kNormal{rgb(255, 255, 255), rgb(17, 127, 228), rgb(10, 20, 200)};
const Look kEnter{rgb(234, 243, 252), rgb(0, 200, 0), rgb(0, 150, 0)};
const Look kDown{rgb(212, 231, 251), rgb(200, 0, 0), rgb(150, 0, 0)};
const Look kForbidden{rgb(240, 240, 240), rgb(179, 179, 179), rgb(120, 120, 120)};

Color colorOf(Image::Pixel pixel) { return WidgetColor::rgb(pixel.red, pixel.green, pixel.blue); }

// A window of 240 x 120 points with a 200 x 50 button at 20, 30.
class GridientButtonTest : public os::ui::testing::HeadlessTest {
 public:
  static constexpr double kWindowHeight = 120;
  const Rect kFrame{20, 30, 200, 50};

  void SetUp() override {
    HeadlessTest::SetUp();
    actions_ = 0;
    recorder_ = std::make_shared<TagRecorder>();
    window_ = makeWindow({240, kWindowHeight});
    button_ = std::make_shared<TSRGridientButton>(kFrame);
    button_->setTag(7);
    button_->setIsLeftRightGridient(true, colorOf(kNormal.body), colorOf(kNormal.body),
                                    colorOf(kEnter.body), colorOf(kEnter.body), colorOf(kDown.body),
                                    colorOf(kDown.body), colorOf(kForbidden.body),
                                    colorOf(kForbidden.body));
    button_->setButtonBorder(true, colorOf(kNormal.border), colorOf(kEnter.border),
                             colorOf(kDown.border), colorOf(kForbidden.border), 2.0);
    button_->setButtonTitle("HHH", colorOf(kNormal.title), colorOf(kEnter.title),
                            colorOf(kDown.title), colorOf(kForbidden.title), 24, false);
    button_->setAction([this](os::ui::Control&) { ++actions_; });
    button_->setDelegate(recorder_);
    window_->contentView()->addSubview(button_);
  }

  Point inside() const { return {120, 55}; }
  Point outside() const { return {120, 100}; }

  // The body left of the title, the inner half of the top border, and the title's strokes.
  Look shown() {
    auto image = window_->renderImage(2);
    Look look;
    look.body = pixelAt(*image, {30, 55}, kWindowHeight);
    look.border = pixelAt(*image, {120, 79.5}, kWindowHeight);
    look.title = mostDistinctPixel(*image, {60, 35, 120, 40}, kWindowHeight, look.body);
    return look;
  }

  os::ui::HeadlessBackend& screen() { return *screen_; }

  std::shared_ptr<os::ui::Window> window_;
  std::shared_ptr<TSRGridientButton> button_;
  std::shared_ptr<TagRecorder> recorder_;
  int actions_ = 0;
};

TEST_F(GridientButtonTest, EachMouseStateAndTheDisabledStateShowTheirColours) {
  struct Case {
    const char* name;
    std::function<void(GridientButtonTest&)> script;
    Look expected;
    MouseState state;
  };
  const Case cases[] = {
      {"untouched", [](auto&) {}, kNormal, MouseState::None},
      {"hovered", [](auto& t) { t.screen().mouseMove(*t.window_, t.inside()); }, kEnter,
       MouseState::Entered},
      {"pressed",
       [](auto& t) {
         t.screen().mouseMove(*t.window_, t.inside());
         t.screen().mouseDown(*t.window_, t.inside());
       },
       kDown, MouseState::Down},
      {"released", [](auto& t) { t.screen().click(*t.window_, t.inside()); }, kNormal,
       MouseState::Up},
      {"left",
       [](auto& t) {
         t.screen().mouseMove(*t.window_, t.inside());
         t.screen().mouseMove(*t.window_, t.outside());
       },
       kNormal, MouseState::Exited},
      {"disabled while pressed",
       [](auto& t) {
         t.screen().mouseMove(*t.window_, t.inside());
         t.screen().mouseDown(*t.window_, t.inside());
         t.button_->setEnabled(false);
       },
       kForbidden, MouseState::Down},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.script(*this);
    EXPECT_EQ(button_->buttonType(), c.state);
    Look look = shown();
    EXPECT_PIXEL_NEAR(look.body, c.expected.body, 2);
    EXPECT_PIXEL_NEAR(look.border, c.expected.border, 2);
    EXPECT_PIXEL_NEAR(look.title, c.expected.title, 2);
  }
}

TEST_F(GridientButtonTest, MouseSequencesActOnceForASingleClickReleasedInside) {
  struct Case {
    const char* name;
    bool addButton;
    bool enabled;
    std::function<void(GridientButtonTest&)> script;
    int actions, enters, ups;
  };
  const Case cases[] = {
      {"click", false, true, [](auto& t) { t.screen().click(*t.window_, t.inside()); }, 1, 1, 1},
      {"release outside", false, true,
       [](auto& t) {
         t.screen().mouseMove(*t.window_, t.inside());
         t.screen().mouseDown(*t.window_, t.inside());
         t.screen().mouseDrag(*t.window_, t.outside());
         t.screen().mouseUp(*t.window_, t.outside());
       },
       // The release and then the exit once the press is over both report mouseUpTag.
       0, 1, 2},
      {"double click", false, true, [](auto& t) { t.screen().doubleClick(*t.window_, t.inside()); },
       1, 1, 2},
      {"add button double click", true, true,
       [](auto& t) { t.screen().doubleClick(*t.window_, t.inside()); }, 2, 1, 2},
      {"disabled click", false, false, [](auto& t) { t.screen().click(*t.window_, t.inside()); }, 0,
       0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    button_->setIsAddButton(c.addButton);
    button_->setEnabled(c.enabled);
    c.script(*this);
    EXPECT_EQ(actions_, c.actions);
    EXPECT_EQ(recorder_->enters, c.enters);
    EXPECT_EQ(recorder_->ups, c.ups);
    if (c.ups > 0) {
      EXPECT_EQ(recorder_->lastTag, 7);
    }
  }
  // After a release outside the button shows its normal colours again.
  TearDown();
  SetUp();
  screen_->mouseMove(*window_, inside());
  screen_->mouseDown(*window_, inside());
  screen_->mouseDrag(*window_, outside());
  screen_->mouseUp(*window_, outside());
  EXPECT_PIXEL_NEAR(shown().body, kNormal.body, 2);
}

TEST_F(GridientButtonTest, FlatFillKeepsTheColourOfTheLastLookWhenDisabled) {
  button_->setNormalFillColor(colorOf(kNormal.border), colorOf(kEnter.border),
                              colorOf(kDown.border));
  button_->setNeedsDisplay(true);
  EXPECT_PIXEL_NEAR(shown().body, kNormal.border, 2);
  screen_->mouseMove(*window_, inside());
  EXPECT_PIXEL_NEAR(shown().body, kEnter.border, 2);
  button_->setEnabled(false);
  EXPECT_PIXEL_NEAR(shown().body, kEnter.border, 2);
}

TEST_F(GridientButtonTest, GradientRunsAlongTheChosenAxisInsideRoundedCorners) {
  button_->setButtonBorder(false, std::nullopt, std::nullopt, std::nullopt, std::nullopt, 0);
  button_->setButtonTitle("", std::nullopt, std::nullopt, std::nullopt, std::nullopt, 24, false);
  const Color red{1, 0, 0}, blue{0, 0, 1};
  for (bool leftRight : {true, false}) {
    SCOPED_TRACE(leftRight ? "left to right" : "top to bottom");
    button_->setIsLeftRightGridient(leftRight, red, blue, red, blue, red, blue, red, blue);
    auto image = window_->renderImage(1);
    // The first colour holds over the first tenth of the axis, the second is reached at its end.
    Point start = leftRight ? Point{22.5, 55.5} : Point{120.5, 78.5};
    Point end = leftRight ? Point{219.5, 55.5} : Point{120.5, 30.5};
    EXPECT_PIXEL_NEAR(pixelAt(*image, start, kWindowHeight), rgb(255, 0, 0), 2);
    EXPECT_PIXEL_NEAR(pixelAt(*image, end, kWindowHeight), rgb(0, 0, 255), 8);
    // A corner radius of 0 means 5: the very corner shows the window behind.
    EXPECT_PIXEL_NEAR(pixelAt(*image, {20.5, 79.5}, kWindowHeight), rgb(236, 236, 236), 2);
  }
}

TEST_F(GridientButtonTest, TitleCentredAndShrunkOrCutToStayInside) {
  button_->setButtonBorder(false, std::nullopt, std::nullopt, std::nullopt, std::nullopt, 0);
  auto titleExtent = [&] {
    auto image = window_->renderImage(1);
    double left = 1e9, right = -1;
    for (int x = 20; x < 220; ++x) {
      for (int y = 120 - 80; y < 120 - 30; ++y) {
        if (!os::ui::testing::near(image->pixelAt(x, y), kNormal.body, 40)) {
          left = std::min(left, double(x));
          right = std::max(right, double(x));
        }
      }
    }
    return std::pair{left, right};
  };
  auto [left, right] = titleExtent();
  EXPECT_NEAR((left + right + 1) / 2, 120, 2);

  // A title a little too wide shrinks and stays centred on one line; one far too wide is cut at
  // 70% of its size. Neither reaches the two points at the edges.
  for (size_t letters : {12u, 40u}) {
    SCOPED_TRACE(letters);
    const std::string wide(letters, 'H');
    ASSERT_GT(button_->calcuTextBounds(wide, 24).width, kFrame.width - 4);
    button_->setButtonTitle(wide, colorOf(kNormal.title), colorOf(kEnter.title),
                            colorOf(kDown.title), colorOf(kForbidden.title), 24, false);
    const os::ui::TextFit fit = button_->fittedTitle();
    EXPECT_LT(fit.scale, 1);
    EXPECT_EQ(fit.layout.isTruncated(), letters == 40);
    EXPECT_LE(fit.layout.size().height, kFrame.height);
    std::tie(left, right) = titleExtent();
    EXPECT_GE(left, kFrame.x + 2);
    EXPECT_LE(right, kFrame.maxX() - 2);
    EXPECT_NEAR((left + right + 1) / 2, 120, 2);
  }
}

TEST_F(GridientButtonTest, AddButtonFlagClearsTheChevron) {
  button_->setIsOpenMenu(true);
  button_->setIsAddButton(true);
  EXPECT_TRUE(button_->isAddButton());
  EXPECT_FALSE(button_->isOpenMenu());
  EXPECT_EQ(button_->calcuTextBounds("", 24), Rect{});
}

TEST(GridientButtonPartsTest, LightImageFollowsEnabledAndDictionaryIsACopy) {
  TSRGridientButton button({0, 0, 100, 30});
  auto light = std::make_shared<os::ui::ImageView>(os::ui::Rect{0, 0, 10, 10});
  button.setLightImageView(light);
  button.setEnabled(false);
  EXPECT_TRUE(light->isHidden());
  button.setEnabled(true);
  EXPECT_FALSE(light->isHidden());

  os::Dictionary given = {{"product", 7}};
  button.setDic(given);
  given["product"] = 8;
  EXPECT_EQ(os::Value(button.dic()), os::Value(os::Dictionary{{"product", 7}}));
}

TEST(GridientButtonPartsTest, ImageCopyHasTheSamePixelsAndItsOwnSurface) {
  EXPECT_EQ(TSRGridientButton::NSImageToCGImageRef(nullptr), nullptr);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 3, 2);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  auto image = os::ui::Image::fromSurface(surface, 2);
  cairo_surface_destroy(surface);
  auto copy = TSRGridientButton::NSImageToCGImageRef(image);
  ASSERT_TRUE(copy);
  EXPECT_NE(copy->surface(), image->surface());
  EXPECT_EQ(copy->size(), image->size());
  EXPECT_EQ(copy->pixelAt(2, 1), image->pixelAt(2, 1));
  EXPECT_EQ(copy->pixelAt(2, 1), os::ui::testing::rgb(255, 0, 0));
}

}  // namespace
