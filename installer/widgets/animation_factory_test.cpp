#include "installer/widgets/animation_factory.h"

#include <gtest/gtest.h>

#include <cmath>

#include "os/process/clock.h"
#include "os/ui/application.h"
#include "os/ui/test_fixture.h"

namespace {

using os::ui::TimingFunction;

// A layer-backed view on a fake media clock that starts at 100 s.
class AnimationFactoryTest : public os::ui::testing::HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    view_ = std::make_shared<os::ui::View>(os::ui::Rect{0, 0, 50, 50});
    view_->setWantsLayer(true);
  }
  os::ui::Layer& layer() { return *view_->layer(); }
  double shown(const std::string& keyPath) {
    return std::get<double>(*layer().presentationValue(keyPath));
  }
  // Moves the clock and lets the application stop what ended, as a turn of the loop does.
  void advance(double seconds) {
    clock_.advance(seconds);
    os::ui::Application::shared().updateDisplay();
  }

  os::clock::ScopedFakeClock clock_{os::clock::kReferenceDate1970, 100};
  std::shared_ptr<os::ui::View> view_;
};

TEST_F(AnimationFactoryTest, SlideEasesInAndOutAndHoldsItsEndOnTheLayer) {
  layer().addAnimation(TSRAnimation::moveY(0.5, 0.0, -140.0, 1), "moveY");
  const double ease = TimingFunction::named(TimingFunction::EaseInEaseOut).evaluate(0.25);
  EXPECT_DOUBLE_EQ(shown("transform.translation.y"), 0);
  advance(0.125);
  EXPECT_NEAR(shown("transform.translation.y"), -140 * ease, 1e-9);
  advance(0.125);
  EXPECT_NEAR(shown("transform.translation.y"), -70, 1e-9);
  advance(0.25);
  EXPECT_DOUBLE_EQ(shown("transform.translation.y"), -140);
  advance(10);
  EXPECT_DOUBLE_EQ(shown("transform.translation.y"), -140);
  EXPECT_NE(layer().animationForKey("moveY"), nullptr);
}

TEST_F(AnimationFactoryTest, PauseAndResumeContinueWhereTheAnimationStopped) {
  layer().addAnimation(TSRAnimation::moveX(1.0, 0.0, 100.0, 1, 0), "moveX");
  advance(0.4);
  double atPause = shown("transform.translation.x");
  TSRAnimation::pauseAnimation(layer());
  advance(5);
  EXPECT_DOUBLE_EQ(shown("transform.translation.x"), atPause);
  TSRAnimation::resumeAnimation(layer());
  EXPECT_DOUBLE_EQ(shown("transform.translation.x"), atPause);
  advance(0.3);
  const double ease = TimingFunction::named(TimingFunction::EaseInEaseOut).evaluate(0.7);
  EXPECT_NEAR(shown("transform.translation.x"), 100 * ease, 1e-9);
  advance(0.3);
  EXPECT_DOUBLE_EQ(shown("transform.translation.x"), 100);
  TSRAnimation::endAnimation(layer());
  EXPECT_TRUE(layer().animationKeys().empty());
  EXPECT_DOUBLE_EQ(shown("transform.translation.x"), 0);
}

TEST_F(AnimationFactoryTest, ValuesOverTimeOfTheFadesScalesAndDelays) {
  struct Sample {
    double at;  // seconds after adding
    double value;
  };
  struct Case {
    const char* name;
    // Made when the case runs: begin times count from the moment of making.
    std::function<os::ui::BasicAnimation()> make;
    const char* keyPath;
    std::vector<Sample> samples;
  };
  const Case cases[] = {
      // Forever, each way taking the duration.
      {"opacity forever",
       [] { return TSRAnimation::opacityForeverAnimation(1); },
       "opacity",
       {{0, 0}, {1, 1}, {2, 0}, {1001, 1}}},
      // 1 to 0 twice after a delay of 1 s, then held.
      {"opacity times",
       [] { return TSRAnimation::opacityTimesAnimation(2, 0.5, 1); },
       "opacity",
       {{0.5, 1}, {1.25, 0.5}, {1.5, 1}, {1.75, 0.5}, {5, 0}}},
      {"opacity change",
       [] { return TSRAnimation::opacityChangeAnimation(1, 0.0, 1.0, 0.5); },
       "opacity",
       {{0, 0}, {0.25, 0.5}, {0.5, 1}, {3, 1}}},
      // Shown from the start value before its delay, then forever.
      {"slide forever",
       [] { return TSRAnimation::moveY(2, 10.0, 30.0); },
       "transform.translation.y",
       {{0, 10}, {1, 20}, {401, 20}}},
      {"linear slide",
       [] { return TSRAnimation::moveY(1, 0.0, 8.0, 1, 0.5, true); },
       "transform.translation.y",
       {{0.25, 0}, {0.75, 2}, {1.5, 8}, {2, 4}, {3, 0}}},
      // The delayed scale grows from the origin, the other shrinks back to it.
      {"scale with delay",
       [] { return TSRAnimation::scale(2.0, 1.0, 1, 1, 0); },
       "transform.scale.z",
       {{0, 1}, {0.5, 1.5}, {1, 2}}},
      {"scale",
       [] { return TSRAnimation::scale(2.0, 1.0, 1, 1); },
       "transform.scale.x",
       {{0, 2}, {0.5, 1.5}, {1, 1}}},
      {"rotation from 0",
       [] { return TSRAnimation::rotation(1, M_PI, 1); },
       "transform.rotation.z",
       {{0, 0}, {0.5, M_PI / 2}, {1, M_PI}}},
      {"turn against z",
       [] { return TSRAnimation::rotation(1, 90, -1, 1); },
       "transform.rotation.z",
       {{0.5, -M_PI / 4}, {1, -M_PI / 2}}},
      // A quarter turn a second, three times after a delay of 2 s: each turn goes on from the
      // last, and the third ends three quarters round.
      {"cumulative turn with delay",
       [] { return TSRAnimation::rotation(1, 90, 1, int64_t{3}, 2); },
       "transform.rotation.z",
       {{1, 0},
        {2.5, M_PI / 4},
        {3, M_PI / 2},
        {3.5, 3 * M_PI / 4},
        {4.5, 5 * M_PI / 4},
        {5, 3 * M_PI / 2},
        {60, 3 * M_PI / 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    layer().removeAllAnimations();
    double start = os::ui::currentMediaTime();
    layer().addAnimation(c.make(), "under test");
    for (const Sample& sample : c.samples) {
      clock_.setMonotonic(start + sample.at);
      os::ui::Application::shared().updateDisplay();
      EXPECT_NEAR(shown(c.keyPath), sample.value, 1e-6) << "at " << sample.at;
    }
  }
}

TEST_F(AnimationFactoryTest, KeyframesFollowTheCurveAndKeepTheirEndPoint) {
  os::ui::KeyframeAnimation once = TSRAnimation::keyframeAnimation(0, 0, 10, 20, 30, 40);
  auto end = once.value(TSRAnimation::kKeyframeEndPositionKey);
  ASSERT_TRUE(end);
  EXPECT_EQ(std::get<os::ui::Point>(*end), (os::ui::Point{30, 40}));
  layer().addAnimation(once, "curve");
  EXPECT_EQ(std::get<os::ui::Point>(*layer().presentationValue("position")), (os::ui::Point{0, 0}));
  advance(0.5);
  EXPECT_EQ(std::get<os::ui::Point>(*layer().presentationValue("position")),
            (os::ui::Point{30, 40}));

  // The endless one starts at the layer's own position and comes back to it.
  layer().removeAllAnimations();
  os::ui::Point home = layer().modelProperties().position;
  layer().addAnimation(TSRAnimation::keyframeAnimation(1, 0, 0, 10, 20, 30, 40, layer()), "loop");
  EXPECT_EQ(std::get<os::ui::Point>(*layer().presentationValue("position")), home);
  advance(1);
  EXPECT_EQ(std::get<os::ui::Point>(*layer().presentationValue("position")),
            (os::ui::Point{30, 40}));
  advance(1);
  EXPECT_EQ(std::get<os::ui::Point>(*layer().presentationValue("position")), home);
}

TEST_F(AnimationFactoryTest, GroupsAndTheHoverSlideReplaceTheLayersAnimations) {
  auto fade = std::make_shared<os::ui::BasicAnimation>(
      TSRAnimation::opacityChangeAnimation(1, 1.0, 0.0, 1));
  layer().addAnimation(TSRAnimation::groupAnimation({fade}, 1, 1, 0), "group");
  advance(0.5);
  EXPECT_NEAR(shown("opacity"), 0.5, 1e-9);
  advance(1.5);  // autoreversed: back at the start
  EXPECT_NEAR(shown("opacity"), 1, 1e-9);

  TSRAnimation::animationMouseEnteredExitedWithView(*view_, 0.0, 6.0, 0.2);
  EXPECT_EQ(layer().animationKeys(), std::vector<std::string>{"moveY"});
  advance(0.2);
  EXPECT_DOUBLE_EQ(shown("transform.translation.y"), 6);
}

}  // namespace
