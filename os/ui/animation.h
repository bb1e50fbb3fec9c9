// Animations in the platform's layer model: an animation added to a layer changes how the
// layer is shown (its presentation) while the model values stay as set. Every presentation
// value is computed from the animation's timing at the current media time, so nothing is
// stepped frame by frame and a test can move a fake clock and look.
//
//   os::ui::BasicAnimation slide("transform.translation.y");
//   slide.setFromValue(0.0);
//   slide.setToValue(10.0 - panelHeight);
//   slide.setDuration(0.5);
//   slide.setTimingFunction(os::ui::TimingFunction::named(os::ui::TimingFunction::EaseInEaseOut));
//   slide.setFillMode(os::ui::FillMode::Forwards);
//   slide.setRemovedOnCompletion(false);
//   os::ui::AnimationContext::runAnimationGroup(
//       [&] { panel->layer()->addAnimation(slide, "moveY"); },
//       [panel] { panel->layer()->removeAnimation("moveY"); /* set the final frame */ });
//
// Media time is os::clock::monotonic(), so os::clock::ScopedFakeClock drives animations in
// tests. Times: an animation's beginTime is in its layer's local time (0: when added); a
// layer's local time follows its superlayers' beginTime, speed and timeOffset, which is how
// pausing (speed 0) and resuming work. Main thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "os/ui/drawing.h"
#include "os/ui/geometry.h"
#include "os/ui/image.h"

namespace os::ui {

class Layer;
class Transition;

// The clock animations and layers run on: os::clock::monotonic().
double currentMediaTime();

// A value an animation moves between: a number (opacity, a transform component, stroke end), a
// point (position) or a whole transform.
using AnimationValue = std::variant<double, Point, LayerTransform>;

// Pacing of an animation: a cubic Bézier from (0, 0) to (1, 1).
class TimingFunction {
 public:
  enum Name { Linear, EaseIn, EaseOut, EaseInEaseOut, Default };
  static TimingFunction named(Name name);
  TimingFunction(double c1x, double c1y, double c2x, double c2y);

  // The paced progress at time fraction `x` in [0, 1].
  double evaluate(double x) const;

 private:
  double c1x_, c1y_, c2x_, c2y_;
};

// What an animation shows outside its active time.
enum class FillMode { Removed, Forwards, Backwards, Both };

// The animatable properties of a layer, as the model has them or as shown at a given time.
struct LayerProperties {
  double opacity = 1;
  LayerTransform transform;
  Point position;  // the anchor point's place in the superlayer (the view's frame centre)
  double strokeStart = 0;
  double strokeEnd = 1;
  // A transition in progress and how far it has gone (between its start and end progress).
  const Transition* transition = nullptr;
  double transitionProgress = 0;
};

// The value of `keyPath` in `properties`; nullopt for key paths layers do not animate.
std::optional<AnimationValue> valueForKeyPath(const LayerProperties& properties,
                                              const std::string& keyPath);
// Sets `keyPath` of `properties` to `value` (a transform given for a component key path
// contributes that component); false for key paths layers do not animate.
bool setValueForKeyPath(LayerProperties& properties, const std::string& keyPath,
                        const AnimationValue& value);

class Animation {
 public:
  virtual ~Animation() = default;
  // A copy: layers hold copies of what is added to them.
  virtual std::shared_ptr<Animation> clone() const = 0;

  // Timing. A duration of 0 means 0.25 s; a repeat count of 0 means once.
  double beginTime() const { return beginTime_; }
  void setBeginTime(double seconds) { beginTime_ = seconds; }
  double duration() const { return duration_; }
  void setDuration(double seconds) { duration_ = seconds; }
  double speed() const { return speed_; }
  void setSpeed(double speed) { speed_ = speed; }
  double timeOffset() const { return timeOffset_; }
  void setTimeOffset(double seconds) { timeOffset_ = seconds; }
  double repeatCount() const { return repeatCount_; }
  void setRepeatCount(double count) { repeatCount_ = count; }
  bool autoreverses() const { return autoreverses_; }
  void setAutoreverses(bool autoreverses) { autoreverses_ = autoreverses; }
  FillMode fillMode() const { return fillMode_; }
  void setFillMode(FillMode mode) { fillMode_ = mode; }
  // Whether the layer drops the animation once it has ended (true unless set).
  bool isRemovedOnCompletion() const { return removedOnCompletion_; }
  void setRemovedOnCompletion(bool removed) { removedOnCompletion_ = removed; }
  const std::optional<TimingFunction>& timingFunction() const { return timingFunction_; }
  void setTimingFunction(std::optional<TimingFunction> function) { timingFunction_ = function; }

  // Called when the animation ends (finished true) or is removed before (false); once.
  void setDidStop(std::function<void(bool finished)> didStop) { didStop_ = std::move(didStop); }
  const std::function<void(bool)>& didStop() const { return didStop_; }

  // Free-form values kept with the animation for its owner to read back.
  void setValue(const std::string& key, AnimationValue value) { values_[key] = std::move(value); }
  std::optional<AnimationValue> value(const std::string& key) const;

  // The effective duration of one pass (duration, or 0.25 s when 0).
  double simpleDuration() const { return duration_ > 0 ? duration_ : 0.25; }
  // How long the animation runs in its parent's time: passes × repeats (twice with
  // autoreverses), divided by the speed.
  double activeDuration() const;
  // Where an animation stands at one moment: the time within its current pass (counting back
  // down while autoreversing) and how many whole repeats (a pass there and back while
  // autoreversing) it completed before that pass.
  struct Pass {
    double time = 0;
    double completedRepeats = 0;
  };
  // Where the animation stands `elapsed` seconds of the parent's time after it began; nullopt
  // when it shows nothing then (before it starts without a backwards fill, or after its end
  // without a forwards fill).
  std::optional<Pass> passAt(double elapsed) const;
  // The paced progress, 0 to 1, of a pass time.
  double progressOfPassTime(double passTime) const;

  // Changes `properties` as the animation shows them at `pass`; `model` holds the layer's own
  // values for from or to values left unset.
  virtual void apply(const Pass& pass, const LayerProperties& model,
                     LayerProperties& properties) const = 0;

 private:
  double beginTime_ = 0;
  double duration_ = 0;
  double speed_ = 1;
  double timeOffset_ = 0;
  double repeatCount_ = 0;
  bool autoreverses_ = false;
  FillMode fillMode_ = FillMode::Removed;
  bool removedOnCompletion_ = true;
  std::optional<TimingFunction> timingFunction_;
  std::function<void(bool)> didStop_;
  std::map<std::string, AnimationValue> values_;
};

// An animation of one key path: "opacity", "position", "transform",
// "transform.translation[.x|.y]", "transform.scale[.x|.y|.z]", "transform.rotation[.z]",
// "strokeStart", "strokeEnd".
class PropertyAnimation : public Animation {
 public:
  explicit PropertyAnimation(std::string keyPath) : keyPath_(std::move(keyPath)) {}
  const std::string& keyPath() const { return keyPath_; }

 private:
  std::string keyPath_;
};

// From one value to another. An unset from value starts at the model value, an unset to value
// ends there.
class BasicAnimation : public PropertyAnimation {
 public:
  using PropertyAnimation::PropertyAnimation;
  std::shared_ptr<Animation> clone() const override;

  const std::optional<AnimationValue>& fromValue() const { return from_; }
  void setFromValue(std::optional<AnimationValue> value) { from_ = std::move(value); }
  const std::optional<AnimationValue>& toValue() const { return to_; }
  void setToValue(std::optional<AnimationValue> value) { to_ = std::move(value); }
  // A cumulative animation starts each repeat where the one before ended: after n whole
  // repeats it shows from + n × (to − from) and goes on from there (a rotation that keeps
  // turning instead of jumping back). False unless set.
  bool isCumulative() const { return cumulative_; }
  void setCumulative(bool cumulative) { cumulative_ = cumulative; }

  void apply(const Pass& pass, const LayerProperties& model,
             LayerProperties& properties) const override;

 private:
  std::optional<AnimationValue> from_;
  std::optional<AnimationValue> to_;
  bool cumulative_ = false;
};

// Through a list of values (at keyTimes, evenly spread when none are given) or, for "position",
// along a path whose segments each take an equal share of the time.
class KeyframeAnimation : public PropertyAnimation {
 public:
  using PropertyAnimation::PropertyAnimation;
  std::shared_ptr<Animation> clone() const override;

  void setValues(std::vector<AnimationValue> values) { values_ = std::move(values); }
  const std::vector<AnimationValue>& values() const { return values_; }
  void setKeyTimes(std::vector<double> keyTimes) { keyTimes_ = std::move(keyTimes); }
  void setPath(std::optional<BezierPath> path) { path_ = std::move(path); }
  const std::optional<BezierPath>& path() const { return path_; }

  void apply(const Pass& pass, const LayerProperties& model,
             LayerProperties& properties) const override;

 private:
  std::vector<AnimationValue> values_;
  std::vector<double> keyTimes_;
  std::optional<BezierPath> path_;
};

// Animations run together on the group's timeline; their begin times count from the group's
// start and they are cut at the group's duration.
class AnimationGroup : public Animation {
 public:
  std::shared_ptr<Animation> clone() const override;

  void setAnimations(std::vector<std::shared_ptr<Animation>> animations);
  const std::vector<std::shared_ptr<Animation>>& animations() const { return animations_; }

  void apply(const Pass& pass, const LayerProperties& model,
             LayerProperties& properties) const override;

 private:
  std::vector<std::shared_ptr<Animation>> animations_;
};

// A change of a layer's content shown as a fade or a slide from the look the layer had on
// screen when the transition was added to the look it has now.
class Transition : public Animation {
 public:
  enum class Type { Fade, MoveIn, Push, Reveal };
  // Where the new content comes from (push, move in) or where the old goes to (reveal).
  enum class Subtype { FromRight, FromLeft, FromTop, FromBottom };

  std::shared_ptr<Animation> clone() const override;

  Type type() const { return type_; }
  void setType(Type type) { type_ = type; }
  Subtype subtype() const { return subtype_; }
  void setSubtype(Subtype subtype) { subtype_ = subtype; }
  double startProgress() const { return startProgress_; }
  void setStartProgress(double progress) { startProgress_ = progress; }
  double endProgress() const { return endProgress_; }
  void setEndProgress(double progress) { endProgress_ = progress; }

  // The layer's look before the change, at the window's backing scale; null when the layer
  // had not been shown. Set by the layer when the transition is added.
  const std::shared_ptr<Image>& outgoingContent() const { return outgoing_; }
  void setOutgoingContent(std::shared_ptr<Image> content) { outgoing_ = std::move(content); }

  void apply(const Pass& pass, const LayerProperties& model,
             LayerProperties& properties) const override;

 private:
  Type type_ = Type::Fade;
  Subtype subtype_ = Subtype::FromLeft;
  double startProgress_ = 0;
  double endProgress_ = 1;
  std::shared_ptr<Image> outgoing_;
};

// Groups of changes with a completion, the platform's animation-context grouping.
class AnimationContext {
 public:
  // Runs `changes`; `completion` runs once, on the main thread, when every animation that
  // `changes` added to a layer has ended or has been removed (soon after, on the main queue,
  // when it added none).
  static void runAnimationGroup(const std::function<void()>& changes,
                                std::function<void()> completion);
};

}  // namespace os::ui
