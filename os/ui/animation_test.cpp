#include "os/ui/animation.h"

#include <gtest/gtest.h>

#include "os/dispatch/runloop.h"
#include "os/process/clock.h"
#include "os/ui/layer.h"
#include "os/ui/test_fixture.h"
#include "os/ui/view.h"

namespace os::ui {
namespace {

using testing::rgb;

double number(const std::optional<AnimationValue>& value) {
  return value ? std::get<double>(*value) : NAN;
}

// Every test runs on a fake media clock that starts at 100 s.
class AnimationTest : public testing::HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    view_ = std::make_shared<View>(Rect{0, 0, 50, 50});
    view_->setWantsLayer(true);
  }
  Layer& layer() { return *view_->layer(); }
  double at(const std::string& keyPath) { return number(layer().presentationValue(keyPath)); }
  // Moves the clock and lets the application stop what ended, as a turn of the loop does.
  void advance(double seconds) {
    clock_.advance(seconds);
    Application::shared().updateDisplay();
  }

  static BasicAnimation slide(double to, double duration = 0.5) {
    BasicAnimation animation("transform.translation.y");
    animation.setFromValue(0.0);
    animation.setToValue(to);
    animation.setDuration(duration);
    return animation;
  }

  os::clock::ScopedFakeClock clock_{os::clock::kReferenceDate1970, 100};
  std::shared_ptr<View> view_;
};

TEST_F(AnimationTest, BasicAnimationValuesAtVirtualTimes) {
  struct Case {
    TimingFunction::Name timing;
    double quarter;  // the value at 0.125 s of a 0.5 s slide from 0 to -100
  };
  const Case cases[] = {
      {TimingFunction::Linear, -25},
      {TimingFunction::EaseInEaseOut,
       -100 * TimingFunction::named(TimingFunction::EaseInEaseOut).evaluate(0.25)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.timing));
    layer().removeAllAnimations();
    auto animation = slide(-100);
    animation.setTimingFunction(TimingFunction::named(c.timing));
    animation.setFillMode(FillMode::Forwards);
    animation.setRemovedOnCompletion(false);
    double start = currentMediaTime();
    layer().addAnimation(animation, "moveY");
    EXPECT_DOUBLE_EQ(number(layer().presentationValue("transform.translation.y", start)), 0);
    EXPECT_NEAR(number(layer().presentationValue("transform.translation.y", start + 0.125)),
                c.quarter, 1e-6);
    // Both curves pass the middle at the middle.
    EXPECT_NEAR(number(layer().presentationValue("transform.translation.y", start + 0.25)), -50,
                1e-6);
    EXPECT_DOUBLE_EQ(number(layer().presentationValue("transform.translation.y", start + 0.5)),
                     -100);
    EXPECT_DOUBLE_EQ(number(layer().presentationValue("transform.translation.y", start + 9)), -100);
    EXPECT_DOUBLE_EQ(layer().transform().translationY, 0);  // the model is untouched
  }
  EXPECT_GT(TimingFunction::named(TimingFunction::EaseInEaseOut).evaluate(0.25), 0);
  EXPECT_LT(TimingFunction::named(TimingFunction::EaseInEaseOut).evaluate(0.25), 0.25);
}

TEST_F(AnimationTest, TheRenderedViewFollowsThePresentation) {
  auto window = makeWindow({100, 200});
  window->setBackgroundColor(Color::white());
  auto box = std::make_shared<View>(Rect{0, 150, 100, 50});
  box->setWantsLayer(true);
  box->layer()->setBackgroundColor(Color::black());
  window->contentView()->addSubview(box);
  auto animation = slide(-100);
  animation.setFillMode(FillMode::Forwards);
  animation.setRemovedOnCompletion(false);
  box->layer()->addAnimation(animation, "moveY");
  EXPECT_EQ(probe(*window, {50, 175}), rgb(0, 0, 0));
  clock_.advance(0.25);
  EXPECT_EQ(probe(*window, {50, 175}), rgb(255, 255, 255));
  EXPECT_EQ(probe(*window, {50, 120}), rgb(0, 0, 0));  // 50 points down
  clock_.advance(0.25);
  EXPECT_EQ(probe(*window, {50, 120}), rgb(255, 255, 255));
  EXPECT_EQ(probe(*window, {50, 75}), rgb(0, 0, 0));  // 100 points down, and it stays
  clock_.advance(3);
  EXPECT_EQ(probe(*window, {50, 75}), rgb(0, 0, 0));
}

TEST_F(AnimationTest, EndingRemovesOrKeepsTheAnimationAndStopsOnce) {
  struct Case {
    FillMode fill;
    bool removedOnCompletion;
    double valueAfterEnd;
    bool keptOnLayer;
  };
  const Case cases[] = {
      {FillMode::Removed, true, 0, false},
      {FillMode::Forwards, true, 0, false},  // removal wins over the fill
      {FillMode::Forwards, false, -100, true},
  };
  // A view inside the animated one is on the move until the animation has stopped, even one
  // that stays on the layer.
  auto inside = std::make_shared<View>(Rect{10, 10, 10, 10});
  view_->addSubview(inside);
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.fill) * 10 + c.removedOnCompletion);
    layer().removeAllAnimations();
    auto animation = slide(-100);
    animation.setFillMode(c.fill);
    animation.setRemovedOnCompletion(c.removedOnCompletion);
    std::vector<bool> stops;
    animation.setDidStop([&](bool finished) { stops.push_back(finished); });
    layer().addAnimation(animation, "moveY");
    advance(0.25);
    EXPECT_TRUE(stops.empty());
    EXPECT_TRUE(inside->isAnimatingOrHasAnimatingAncestor());
    advance(0.3);
    advance(0.3);
    EXPECT_EQ(stops, std::vector<bool>{true});
    EXPECT_FALSE(inside->isAnimatingOrHasAnimatingAncestor());
    EXPECT_DOUBLE_EQ(at("transform.translation.y"), c.valueAfterEnd);
    EXPECT_EQ(layer().animationForKey("moveY") != nullptr, c.keptOnLayer);
  }
}

TEST_F(AnimationTest, GroupCompletionRunsOnceWhenEveryAnimationStopped) {
  int completions = 0;
  AnimationContext::runAnimationGroup(
      [&] {
        layer().addAnimation(slide(-100, 0.5), "moveY");
        BasicAnimation fade("opacity");
        fade.setFromValue(0.0);
        fade.setToValue(1.0);
        fade.setDuration(1.0);
        layer().addAnimation(fade, "fade");
      },
      [&] { ++completions; });
  advance(0.6);
  EXPECT_EQ(completions, 0);  // the fade still runs
  advance(0.5);
  EXPECT_EQ(completions, 1);
  advance(1);
  EXPECT_EQ(completions, 1);

  // Removing an animation counts as its end.
  AnimationContext::runAnimationGroup([&] { layer().addAnimation(slide(-100, 5), "moveY"); },
                                      [&] { ++completions; });
  layer().removeAnimation("moveY");
  EXPECT_EQ(completions, 2);

  // A group that added nothing completes on the next turn of the loop.
  bool empty = false;
  AnimationContext::runAnimationGroup([] {}, [&] { empty = true; });
  EXPECT_FALSE(empty);
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return empty; }, 1));
}

TEST_F(AnimationTest, PauseAndResumeContinueWhereTheyStopped) {
  auto animation = slide(-100, 1.0);
  animation.setFillMode(FillMode::Forwards);
  animation.setRemovedOnCompletion(false);
  layer().addAnimation(animation, "moveY");
  advance(0.2);
  EXPECT_NEAR(at("transform.translation.y"), -20, 1e-9);

  // Pause: freeze the layer's time where it is.
  double paused = layer().localTime(currentMediaTime());
  layer().setSpeed(0);
  layer().setTimeOffset(paused);
  EXPECT_EQ(Application::shared().updateDisplay(), kWaitForever);  // no frames while paused
  advance(5);
  EXPECT_NEAR(at("transform.translation.y"), -20, 1e-9);

  // Resume: carry on from the frozen time.
  double offset = layer().timeOffset();
  layer().setSpeed(1);
  layer().setTimeOffset(0);
  layer().setBeginTime(0);
  layer().setBeginTime(layer().localTime(currentMediaTime()) - offset);
  EXPECT_NEAR(at("transform.translation.y"), -20, 1e-9);
  advance(0.1);
  EXPECT_NEAR(at("transform.translation.y"), -30, 1e-9);
  EXPECT_LT(Application::shared().updateDisplay(), 1);  // frames again
}

TEST_F(AnimationTest, RepeatsAutoreversesAndDelays) {
  BasicAnimation pulse("opacity");
  pulse.setFromValue(0.0);
  pulse.setToValue(1.0);
  pulse.setDuration(1);
  pulse.setRepeatCount(2);
  pulse.setAutoreverses(true);
  layer().addAnimation(pulse, "pulse");
  struct Sample {
    double time;
    double opacity;
  };
  double start = currentMediaTime();
  for (Sample s : std::vector<Sample>{{0.25, 0.25}, {1.25, 0.75}, {2.5, 0.5}, {3.75, 0.25}}) {
    SCOPED_TRACE(s.time);
    EXPECT_NEAR(number(layer().presentationValue("opacity", start + s.time)), s.opacity, 1e-9);
  }
  EXPECT_DOUBLE_EQ(number(layer().presentationValue("opacity", start + 4.5)), 1);  // the model

  // A delayed start shows the from value before it only with a backwards fill.
  layer().removeAllAnimations();
  for (FillMode fill : {FillMode::Removed, FillMode::Backwards}) {
    BasicAnimation delayed("opacity");
    delayed.setFromValue(0.2);
    delayed.setToValue(0.4);
    delayed.setDuration(1);
    delayed.setBeginTime(layer().localTime(currentMediaTime()) + 2);
    delayed.setFillMode(fill);
    layer().addAnimation(delayed, "delayed");
    EXPECT_DOUBLE_EQ(at("opacity"), fill == FillMode::Backwards ? 0.2 : 1.0);
    EXPECT_NEAR(number(layer().presentationValue("opacity", currentMediaTime() + 2.5)), 0.3, 1e-9);
  }
}

TEST_F(AnimationTest, CumulativeRepeatsGoOnFromWhereTheLastEnded) {
  struct Sample {
    double time;
    double value;
  };
  struct Case {
    const char* name;
    double repeatCount;
    bool autoreverses;
    std::vector<Sample> samples;
  };
  // Slides from 10 to 20 taking 1 s a pass, with a forwards fill.
  const Case cases[] = {
      {"plain", 3, false, {{0.5, 15}, {1, 20}, {1.5, 25}, {2.25, 32.5}, {3, 40}, {8, 40}}},
      // Half a repeat more ends half way through the third span.
      {"fractional", 2.5, false, {{2.25, 32.5}, {2.5, 35}, {9, 35}}},
      // There and back is one repeat: the second starts from where the first came back to,
      // one span further on.
      {"autoreversing", 2, true, {{0.5, 15}, {1.5, 15}, {2.5, 25}, {3.5, 25}, {4, 20}, {9, 20}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    layer().removeAllAnimations();
    BasicAnimation slide("transform.translation.x");
    slide.setFromValue(10.0);
    slide.setToValue(20.0);
    slide.setDuration(1);
    slide.setRepeatCount(c.repeatCount);
    slide.setAutoreverses(c.autoreverses);
    slide.setCumulative(true);
    slide.setFillMode(FillMode::Forwards);
    slide.setRemovedOnCompletion(false);
    double start = currentMediaTime();
    layer().addAnimation(slide, "slide");
    for (Sample sample : c.samples) {
      EXPECT_NEAR(number(layer().presentationValue("transform.translation.x", start + sample.time)),
                  sample.value, 1e-9)
          << "at " << sample.time;
    }
  }
}

TEST_F(AnimationTest, KeyframesAndGroups) {
  KeyframeAnimation along("position");
  BezierPath path;
  path.moveTo({0, 0});
  path.lineTo({100, 0});
  path.lineTo({100, 50});
  along.setPath(path);
  along.setDuration(1);
  layer().addAnimation(along, "path");
  double start = currentMediaTime();
  auto position = [&](double t) {
    return std::get<Point>(*layer().presentationValue("position", start + t));
  };
  EXPECT_EQ(position(0.25), (Point{50, 0}));
  EXPECT_EQ(position(0.75), (Point{100, 25}));
  layer().removeAllAnimations();

  KeyframeAnimation steps("opacity");
  steps.setValues({0.0, 1.0, 0.5});
  steps.setKeyTimes({0, 0.8, 1});
  steps.setDuration(1);
  // In a group the children's times count from the group's start and stop at its end.
  BasicAnimation late("transform.scale");
  late.setFromValue(1.0);
  late.setToValue(3.0);
  late.setBeginTime(0.5);
  late.setDuration(1);
  AnimationGroup group;
  group.setAnimations(
      {std::make_shared<KeyframeAnimation>(steps), std::make_shared<BasicAnimation>(late)});
  group.setDuration(1);
  layer().addAnimation(group, "group");
  start = currentMediaTime();
  EXPECT_NEAR(number(layer().presentationValue("opacity", start + 0.4)), 0.5, 1e-9);
  EXPECT_NEAR(number(layer().presentationValue("opacity", start + 0.9)), 0.75, 1e-9);
  EXPECT_DOUBLE_EQ(number(layer().presentationValue("transform.scale", start + 0.25)), 1);
  EXPECT_NEAR(number(layer().presentationValue("transform.scale", start + 0.75)), 1.5, 1e-9);
  EXPECT_DOUBLE_EQ(number(layer().presentationValue("transform.scale", start + 1.5)), 1);
}

TEST_F(AnimationTest, TransitionsMoveFromTheLookOnScreen) {
  auto window = makeWindow({100, 50});
  auto panel = std::make_shared<View>(Rect{0, 0, 100, 50});
  panel->setWantsLayer(true);
  panel->layer()->setBackgroundColor(Color{1, 0, 0});
  window->contentView()->addSubview(panel);
  window->display();  // what the screen shows: red

  struct Case {
    Transition::Type type;
    Image::Pixel left;   // at 25 % of the width, half way through
    Image::Pixel right;  // at 75 %
  };
  const Case cases[] = {
      {Transition::Type::Push, rgb(255, 0, 0), rgb(0, 0, 255)},    // new comes from the right
      {Transition::Type::Reveal, rgb(255, 0, 0), rgb(0, 0, 255)},  // old leaves to the left
      {Transition::Type::Fade, rgb(128, 0, 127), rgb(128, 0, 127)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.type));
    panel->layer()->setBackgroundColor(Color{1, 0, 0});
    panel->layer()->removeAllAnimations();
    window->display();
    panel->layer()->setBackgroundColor(Color{0, 0, 1});
    Transition transition;
    transition.setType(c.type);
    transition.setSubtype(Transition::Subtype::FromRight);
    transition.setDuration(1);
    panel->layer()->addAnimation(transition, "kTransitionAnimation");
    clock_.advance(0.5);
    auto image = window->renderImage(1);
    EXPECT_PIXEL_NEAR(pixelAt(*image, {25, 25}, 50), c.left, 2);
    EXPECT_PIXEL_NEAR(pixelAt(*image, {75, 25}, 50), c.right, 2);
    advance(0.6);
    EXPECT_EQ(panel->layer()->animationForKey("kTransitionAnimation"), nullptr);
    EXPECT_EQ(probe(*window, {25, 25}), rgb(0, 0, 255));
  }
}

TEST_F(AnimationTest, ShapeLayerStrokeGrowsWithStrokeEnd) {
  auto window = makeWindow({100, 20});
  window->setBackgroundColor(Color::white());
  auto bar = std::make_shared<View>(Rect{0, 0, 100, 20});
  bar->setWantsLayer(true);
  auto stroke = std::make_shared<ShapeLayer>();
  BezierPath line;
  line.moveTo({0, 0});
  line.lineTo({100, 0});
  stroke->setPath(line);
  stroke->setLineWidth(20);
  stroke->setStrokeColor(Color{0, 0, 1});
  stroke->setFillColor(Color::clear());
  stroke->setStrokeEnd(0);
  bar->layer()->addSublayer(stroke);
  window->contentView()->addSubview(bar);
  BasicAnimation draw("strokeEnd");
  draw.setFromValue(0.0);
  draw.setToValue(1.0);
  draw.setDuration(3);
  draw.setFillMode(FillMode::Forwards);
  draw.setRemovedOnCompletion(false);
  stroke->addAnimation(draw, "");
  EXPECT_EQ(probe(*window, {10, 5}), rgb(255, 255, 255));
  clock_.advance(1.5);
  EXPECT_EQ(probe(*window, {10, 5}), rgb(0, 0, 255));  // half the line: up to x 50
  EXPECT_EQ(probe(*window, {60, 5}), rgb(255, 255, 255));
  EXPECT_EQ(probe(*window, {60, 15}), rgb(255, 255, 255));  // only the lower half is inside
  clock_.advance(10);
  EXPECT_EQ(probe(*window, {95, 5}), rgb(0, 0, 255));
}

}  // namespace
}  // namespace os::ui
