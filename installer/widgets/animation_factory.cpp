#include "installer/widgets/animation_factory.h"

#include <cmath>

using os::ui::AnimationValue;
using os::ui::BasicAnimation;
using os::ui::TimingFunction;

namespace {

// The rules every factory animation shares: it stays on its layer when it ends and keeps its
// final value.
template <typename AnimationType>
AnimationType kept(AnimationType animation) {
  animation.setRemovedOnCompletion(false);
  animation.setFillMode(os::ui::FillMode::Forwards);
  return animation;
}

// A begin time `delay` seconds from now.
double delayed(float delay) { return os::ui::currentMediaTime() + delay; }

TimingFunction timing(TimingFunction::Name name) { return TimingFunction::named(name); }

BasicAnimation basic(const char* keyPath, double duration, float repeatCount) {
  BasicAnimation animation(keyPath);
  animation.setDuration(duration);
  animation.setRepeatCount(repeatCount);
  return kept(std::move(animation));
}

// A turn of `degree` degrees about the z axis when `direction` is positive, against it when
// negative; an axis of length 0 turns nothing.
os::ui::LayerTransform turn(float degree, int32_t direction) {
  if (direction == 0) return {};
  double angle = double(degree) * M_PI / 180;
  return os::ui::LayerTransform::rotation(direction > 0 ? angle : -angle);
}

os::ui::KeyframeAnimation curve(os::ui::Point start, double cp1x, double cp1y, double cp2x,
                                double cp2y, float endPointX, float endPointY) {
  os::ui::BezierPath path;
  path.moveTo(start);
  path.curveTo({endPointX, endPointY}, {cp1x, cp1y}, {cp2x, cp2y});
  os::ui::KeyframeAnimation animation("position");
  animation.setPath(std::move(path));
  animation.setValue(TSRAnimation::kKeyframeEndPositionKey, os::ui::Point{endPointX, endPointY});
  return kept(std::move(animation));
}

}  // namespace

BasicAnimation TSRAnimation::opacityForeverAnimation(float duration) {
  BasicAnimation animation = basic("opacity", duration, kForever);
  animation.setFromValue(0.0);
  animation.setToValue(1.0);
  animation.setAutoreverses(true);
  return animation;
}

BasicAnimation TSRAnimation::opacityTimesAnimation(float repeatCount, float duration,
                                                   float beginTime) {
  BasicAnimation animation = basic("opacity", duration, repeatCount);
  animation.setFromValue(1.0);
  animation.setToValue(0.0);
  animation.setBeginTime(delayed(beginTime));
  animation.setTimingFunction(timing(TimingFunction::EaseInEaseOut));
  return animation;
}

BasicAnimation TSRAnimation::opacityChangeAnimation(float repeatCount, AnimationValue from,
                                                    AnimationValue to, float duration) {
  BasicAnimation animation = basic("opacity", duration, repeatCount);
  animation.setFromValue(std::move(from));
  animation.setToValue(std::move(to));
  animation.setTimingFunction(timing(TimingFunction::EaseInEaseOut));
  return animation;
}

BasicAnimation TSRAnimation::moveX(float duration, AnimationValue to) {
  BasicAnimation animation = basic("transform.translation.x", duration, 1);
  animation.setToValue(std::move(to));
  animation.setTimingFunction(timing(TimingFunction::EaseInEaseOut));
  return animation;
}

BasicAnimation TSRAnimation::moveX(float duration, AnimationValue to, float repeatCount,
                                   float beginTime) {
  BasicAnimation animation = basic("transform.translation.x", duration, repeatCount);
  animation.setToValue(std::move(to));
  animation.setBeginTime(delayed(beginTime));
  animation.setTimingFunction(timing(TimingFunction::EaseInEaseOut));
  return animation;
}

BasicAnimation TSRAnimation::moveX(float duration, AnimationValue from, AnimationValue to,
                                   float repeatCount, float beginTime) {
  BasicAnimation animation = moveX(duration, std::move(to), repeatCount, beginTime);
  animation.setFromValue(std::move(from));
  return animation;
}

BasicAnimation TSRAnimation::moveY(float duration, AnimationValue from, AnimationValue to,
                                   float repeatCount) {
  BasicAnimation animation = basic("transform.translation.y", duration, repeatCount);
  animation.setFromValue(std::move(from));
  animation.setToValue(std::move(to));
  animation.setTimingFunction(timing(TimingFunction::EaseInEaseOut));
  return animation;
}

BasicAnimation TSRAnimation::moveY(float duration, AnimationValue from, AnimationValue to) {
  BasicAnimation animation = moveY(duration, std::move(from), std::move(to), kForever);
  animation.setFillMode(os::ui::FillMode::Backwards);
  return animation;
}

BasicAnimation TSRAnimation::moveY(float duration, AnimationValue from, AnimationValue to,
                                   float repeatCount, float beginTime, bool autoreverses) {
  BasicAnimation animation = basic("transform.translation.y", duration, repeatCount);
  animation.setFromValue(std::move(from));
  animation.setToValue(std::move(to));
  animation.setBeginTime(delayed(beginTime));
  animation.setAutoreverses(autoreverses);
  animation.setTimingFunction(timing(TimingFunction::Linear));
  return animation;
}

BasicAnimation TSRAnimation::scale(AnimationValue scale, AnimationValue origin, float duration,
                                   float repeatCount, float beginTime) {
  BasicAnimation animation = basic("transform.scale.z", duration, repeatCount);
  animation.setFromValue(std::move(origin));
  animation.setToValue(std::move(scale));
  animation.setBeginTime(delayed(beginTime));
  return animation;
}

BasicAnimation TSRAnimation::scale(AnimationValue scale, AnimationValue origin, float duration,
                                   float repeatCount) {
  BasicAnimation animation = basic("transform.scale", duration, repeatCount);
  animation.setFromValue(std::move(scale));
  animation.setToValue(std::move(origin));
  animation.setTimingFunction(timing(TimingFunction::Linear));
  return animation;
}

os::ui::AnimationGroup TSRAnimation::groupAnimationChips(
    std::vector<std::shared_ptr<os::ui::Animation>> animations, float duration, float repeatCount,
    float beginTime) {
  os::ui::AnimationGroup group;
  group.setAnimations(std::move(animations));
  group.setDuration(duration);
  group.setRepeatCount(repeatCount);
  group.setBeginTime(delayed(beginTime));
  return kept(std::move(group));
}

os::ui::AnimationGroup TSRAnimation::groupAnimation(
    std::vector<std::shared_ptr<os::ui::Animation>> animations, float duration, float repeatCount,
    float beginTime) {
  os::ui::AnimationGroup group =
      groupAnimationChips(std::move(animations), duration, repeatCount, beginTime);
  group.setAutoreverses(true);
  return group;
}

BasicAnimation TSRAnimation::rotation(float repeatCount, AnimationValue to) {
  BasicAnimation animation = basic("transform.rotation.z", 4.0f, repeatCount);
  animation.setToValue(std::move(to));
  animation.setValue(kRotationToValueKey, double(float(3 * M_PI / 2)));
  return animation;
}

BasicAnimation TSRAnimation::rotation(float repeatCount, AnimationValue to, float duration) {
  BasicAnimation animation = basic("transform.rotation.z", duration, repeatCount);
  animation.setFromValue(0.0);
  animation.setToValue(std::move(to));
  animation.setTimingFunction(timing(TimingFunction::EaseInEaseOut));
  return animation;
}

BasicAnimation TSRAnimation::rotation(float duration, float degree, int32_t direction,
                                      int32_t repeatCount) {
  BasicAnimation animation = basic("transform", duration, float(repeatCount));
  animation.setToValue(turn(degree, direction));
  animation.setTimingFunction(timing(TimingFunction::Linear));
  return animation;
}

BasicAnimation TSRAnimation::rotation(float duration, float degree, int32_t direction,
                                      int64_t repeatCount, float beginTime) {
  BasicAnimation animation = basic("transform.rotation.z", duration, float(repeatCount));
  animation.setToValue(turn(degree, direction));
  animation.setBeginTime(delayed(beginTime));
  animation.setAutoreverses(false);
  animation.setCumulative(true);
  return animation;
}

os::ui::KeyframeAnimation TSRAnimation::keyframeAnimation(double cp1x, double cp1y, double cp2x,
                                                          double cp2y, float endPointX,
                                                          float endPointY) {
  os::ui::KeyframeAnimation animation =
      curve({cp1x, cp1y}, cp1x, cp1y, cp2x, cp2y, endPointX, endPointY);
  animation.setDuration(0.5);
  animation.setRepeatCount(1);
  animation.setTimingFunction(timing(TimingFunction::EaseOut));
  return animation;
}

os::ui::KeyframeAnimation TSRAnimation::keyframeAnimation(float duration, double cp1x, double cp1y,
                                                          double cp2x, double cp2y, float endPointX,
                                                          float endPointY,
                                                          const os::ui::Layer& layer) {
  os::ui::KeyframeAnimation animation =
      curve(layer.modelProperties().position, cp1x, cp1y, cp2x, cp2y, endPointX, endPointY);
  animation.setDuration(duration);
  animation.setRepeatCount(kForever);
  animation.setAutoreverses(true);
  animation.setTimingFunction(timing(TimingFunction::EaseIn));
  return animation;
}

os::ui::Transition TSRAnimation::pushAnimation(float duration) {
  os::ui::Transition transition;
  transition.setDuration(duration);
  transition.setTimingFunction(timing(TimingFunction::EaseInEaseOut));
  transition.setType(os::ui::Transition::Type::Reveal);
  transition.setSubtype(os::ui::Transition::Subtype::FromLeft);
  transition.setStartProgress(0.0);
  transition.setEndProgress(0.4);
  return transition;
}

os::ui::Transition TSRAnimation::verticalAnimationWithdurTimes(float duration, bool isFromBottom) {
  os::ui::Transition transition;
  transition.setDuration(duration);
  transition.setTimingFunction(timing(TimingFunction::EaseInEaseOut));
  transition.setType(os::ui::Transition::Type::MoveIn);
  transition.setSubtype(isFromBottom ? os::ui::Transition::Subtype::FromBottom
                                     : os::ui::Transition::Subtype::FromTop);
  transition.setStartProgress(0.7);
  transition.setEndProgress(1.0);
  return transition;
}

void TSRAnimation::animationMouseEnteredExitedWithView(os::ui::View& view, AnimationValue from,
                                                       AnimationValue to, double timeInterval) {
  os::ui::Layer* layer = view.layer();
  if (!layer) return;
  layer->removeAllAnimations();
  BasicAnimation slide = basic("transform.translation.y", timeInterval, 0);
  slide.setFromValue(std::move(from));
  slide.setToValue(std::move(to));
  slide.setTimingFunction(timing(TimingFunction::EaseInEaseOut));
  layer->addAnimation(slide, "moveY");
}

void TSRAnimation::endAnimation(os::ui::Layer& layer) { layer.removeAllAnimations(); }

void TSRAnimation::pauseAnimation(os::ui::Layer& layer) {
  double paused = layer.localTime(os::ui::currentMediaTime());
  layer.setSpeed(0);
  layer.setTimeOffset(paused);
}

void TSRAnimation::resumeAnimation(os::ui::Layer& layer) {
  double paused = layer.timeOffset();
  layer.setSpeed(1.0);
  layer.setTimeOffset(0);
  layer.setBeginTime(0);
  layer.setBeginTime(layer.localTime(os::ui::currentMediaTime()) - paused);
}

void TSRAnimation::destoryAnimation(os::ui::Layer& layer) { layer.removeFromSuperlayer(); }
