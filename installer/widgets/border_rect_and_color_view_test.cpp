#include "installer/widgets/border_rect_and_color_view.h"

#include <gtest/gtest.h>

#include "installer/widgets/background_view.h"
#include "installer/widgets/widget_color.h"
#include "os/ui/test_fixture.h"

namespace {

using os::ui::Point;
using os::ui::Rect;
using os::ui::testing::rgb;

const auto kWindowBackground = rgb(236, 236, 236);

int brightness(os::ui::Image::Pixel pixel) { return pixel.red + pixel.green + pixel.blue; }

class PanelViewsTest : public os::ui::testing::HeadlessTest {};

TEST_F(PanelViewsTest, CardOf300By200IsA290By190PanelInsetBy5WithAShadowBelow) {
  constexpr double kHeight = 200;
  auto window = makeWindow({300, kHeight});
  auto card = std::make_shared<TSRBorderRectAndColorView>(Rect{0, 0, 300, 200});
  card->setBackground(WidgetColor::rgb(1, 150, 235));
  window->contentView()->addSubview(card);
  auto image = window->renderImage(2);
  const auto blue = rgb(1, 150, 235);
  struct Probe {
    Point at;
    bool onCard;
  };
  const Probe probes[] = {
      {{5.25, 100}, true}, {{4.75, 100}, false}, {{294.75, 100}, true}, {{295.25, 100}, false},
      {{150, 5.25}, true}, {{150, 4.75}, false}, {{150, 194.75}, true}, {{150, 195.25}, false},
      {{10, 10}, true},    {{290, 190}, true},
  };
  for (const Probe& probe : probes) {
    auto pixel = pixelAt(*image, probe.at, kHeight);
    EXPECT_EQ(os::ui::testing::near(pixel, blue, 2), probe.onCard)
        << probe.at.x << ", " << probe.at.y << ": " << os::ui::testing::describe(pixel);
  }
  // The grey shadow falls 2 points below the card: darker under it than above it.
  auto below = pixelAt(*image, {150, 3.5}, kHeight);
  auto above = pixelAt(*image, {150, 196.5}, kHeight);
  EXPECT_LT(brightness(below), brightness(above) - 30);
  EXPECT_LT(brightness(below), brightness(kWindowBackground));
  // Without a background the card is white.
  card->setBackground(std::nullopt);
  EXPECT_EQ(probe(*window, {150, 100}), rgb(255, 255, 255));
}

TEST_F(PanelViewsTest, CardBorderOnlyWithALineColour) {
  constexpr double kHeight = 100;
  auto window = makeWindow({100, kHeight});
  auto card = std::make_shared<TSRBorderRectAndColorView>(Rect{0, 0, 100, 100});
  window->contentView()->addSubview(card);
  // The inner half of a 1-point line on the card's left edge at x = 5.
  const Point edge{5.25, 50};
  EXPECT_EQ(probe(*window, edge, 4), rgb(255, 255, 255));
  card->setLineColor(WidgetColor::rgb(255, 0, 0));
  EXPECT_PIXEL_NEAR(probe(*window, edge, 4), rgb(255, 0, 0), 2);
  EXPECT_EQ(probe(*window, {5.75, 50}, 4), rgb(255, 255, 255));
}

TEST_F(PanelViewsTest, BackGroundViewFillsWithItsColourAndIgnoresTheSameColour) {
  auto window = makeWindow({50, 50});
  auto view = std::make_shared<BackGroundView>(Rect{10, 10, 30, 30});
  window->contentView()->addSubview(view);
  EXPECT_EQ(probe(*window, {25, 25}), kWindowBackground);  // no colour, no fill
  view->setBackgroundColor(WidgetColor::rgb(35, 115, 240));
  EXPECT_EQ(probe(*window, {25, 25}), rgb(35, 115, 240));
  EXPECT_EQ(probe(*window, {5, 5}), kWindowBackground);
  window->display();
  view->setBackgroundColor(WidgetColor::rgb(35, 115, 240));
  EXPECT_FALSE(view->needsDisplay());
  view->setBackgroundColor(os::ui::Color::clear());
  EXPECT_TRUE(view->needsDisplay());
  EXPECT_EQ(probe(*window, {25, 25}), kWindowBackground);
}

}  // namespace
