#include "installer/widgets/download_progress_view.h"

#include <gtest/gtest.h>

#include <cmath>

#include "installer/widgets/widget_color.h"
#include "os/process/clock.h"
#include "os/ui/test_fixture.h"

namespace {

using os::ui::Point;
using os::ui::testing::rgb;

const auto kTrack = rgb(230, 230, 230);
const auto kStripe = rgb(1, 150, 235);

// A 199 x 10 bar at 10, 20 in a 220 x 50 window.
class DownloadProgressViewTest : public os::ui::testing::HeadlessTest {
 protected:
  static constexpr double kWindowHeight = 50;

  void SetUp() override {
    HeadlessTest::SetUp();
    window_ = makeWindow({220, kWindowHeight});
    bar_ = std::make_shared<TSRDownloadProgressView>(os::ui::Rect{10, 20, 199, 10});
    window_->contentView()->addSubview(bar_);
  }

  // The pixel in column `x` of the bar (points from its left edge), at mid-height.
  os::ui::Image::Pixel column(const os::ui::Image& image, double x) {
    return pixelAt(image, {10 + x + 0.5, 25.5}, kWindowHeight);
  }

  os::clock::ScopedFakeClock clock_{os::clock::kReferenceDate1970, 50};
  std::shared_ptr<os::ui::Window> window_;
  std::shared_ptr<TSRDownloadProgressView> bar_;
};

TEST_F(DownloadProgressViewTest, HalfOf199PointsIsA99PointStripeOnTheTrack) {
  bar_->setProgress(50);
  auto image = window_->renderImage(1);
  EXPECT_EQ(column(*image, 0), kStripe);
  EXPECT_EQ(column(*image, 98), kStripe);
  EXPECT_EQ(column(*image, 99), kTrack);
  EXPECT_EQ(column(*image, 195), kTrack);
  // The 3-point corners of the track cut the stripe and the track alike.
  auto fine = window_->renderImage(4);
  EXPECT_EQ(pixelAt(*fine, {10.1, 20.1}, kWindowHeight), rgb(236, 236, 236));
  EXPECT_EQ(pixelAt(*fine, {208.9, 29.9}, kWindowHeight), rgb(236, 236, 236));
  EXPECT_EQ(pixelAt(*fine, {11.5, 21.5}, kWindowHeight), kStripe);
}

TEST_F(DownloadProgressViewTest, ProgressOnlyMovesForwardUntilReinitialised) {
  constexpr double kReinit = -1000;  // a step that sends reInitProgress instead
  struct Step {
    double set;
    double shown;
  };
  const Step steps[] = {{40, 40},  {30, 40},     {40, 40}, {NAN, 40}, {150, 100},
                        {99, 100}, {kReinit, 0}, {10, 10}, {-5, 10}};
  for (const Step& step : steps) {
    if (step.set == kReinit) {
      bar_->reInitProgress();
    } else {
      bar_->setProgress(step.set);
    }
    EXPECT_EQ(bar_->progress(), step.shown) << "after " << step.set;
  }
  auto image = window_->renderImage(1);
  EXPECT_EQ(column(*image, 18), kStripe);  // 10 % of 199 is 19 points
  EXPECT_EQ(column(*image, 19), kTrack);
}

TEST_F(DownloadProgressViewTest, FullAndGradientStripes) {
  bar_->setProgress(100);
  auto image = window_->renderImage(1);
  EXPECT_EQ(column(*image, 100), kStripe);
  EXPECT_EQ(column(*image, 195), kStripe);

  // Gradient with the default colours: left end to 60 % of the stripe, then the right colour.
  bar_->reInitProgress();
  bar_->setIsGra(true);
  bar_->setProgress(50);  // 99 points
  image = window_->renderImage(1);
  EXPECT_PIXEL_NEAR(column(*image, 0), rgb(84, 217, 197), 2);
  EXPECT_PIXEL_NEAR(column(*image, 30), rgb(95, 198, 221), 3);  // halfway to 60 %
  EXPECT_PIXEL_NEAR(column(*image, 60), rgb(105, 178, 246), 2);
  EXPECT_PIXEL_NEAR(column(*image, 98), rgb(105, 178, 246), 2);
  EXPECT_EQ(column(*image, 99), kTrack);

  bar_->setLeftColor(WidgetColor::hex(0xce68ff));
  bar_->setRightColor(WidgetColor::hex(0x2f87ff));
  bar_->setNeedsDisplay(true);
  image = window_->renderImage(1);
  EXPECT_PIXEL_NEAR(column(*image, 0), rgb(0xce, 0x68, 0xff), 2);
  EXPECT_PIXEL_NEAR(column(*image, 80), rgb(0x2f, 0x87, 0xff), 2);
}

TEST_F(DownloadProgressViewTest, StrokeGrowsOverThreeSecondsAndIsRemovedWithAllAnimations) {
  bar_->setFillColor(WidgetColor::rgb(0, 0, 0));  // the stroke keeps its own colour
  bar_->progressDrawCount(100);
  ASSERT_NE(bar_->animLayer(), nullptr);
  auto strokeEnd = [&] {
    return std::get<double>(*bar_->animLayer()->presentationValue("strokeEnd"));
  };
  EXPECT_DOUBLE_EQ(strokeEnd(), 0);
  clock_.advance(1.5);
  double halfway = strokeEnd();
  EXPECT_GT(halfway, 0.5);  // easing out: more than half the way at half the time
  EXPECT_LT(halfway, 1);
  clock_.advance(1.5);
  os::ui::Application::shared().updateDisplay();
  EXPECT_DOUBLE_EQ(strokeEnd(), 1);
  clock_.advance(10);
  os::ui::Application::shared().updateDisplay();
  EXPECT_DOUBLE_EQ(strokeEnd(), 1);  // kept after it ended
  auto image = window_->renderImage(1);
  EXPECT_EQ(column(*image, 50), kStripe);  // the stroke along the bar's bottom edge
  EXPECT_EQ(column(*image, 150), kTrack);

  bar_->removerAllAnatimation();
  EXPECT_EQ(bar_->animLayer(), nullptr);
  EXPECT_TRUE(bar_->layer()->sublayers().empty());
  image = window_->renderImage(1);
  EXPECT_EQ(column(*image, 50), kTrack);
  // Without a stroke only the view's own animations go.
  bar_->removerAllAnatimation();
  EXPECT_EQ(bar_->animLayer(), nullptr);
}

}  // namespace
