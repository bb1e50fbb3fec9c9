// The animation factory of the installer's screens and widgets: fades, slides, scales,
// rotations, groups, movements along a curve and transitions, built for the caller to add to
// a layer, and the pausing, resuming and clearing of a layer's animations.
//
//   // The alert panel slides down by its height less 10 points in half a second:
//   os::ui::BasicAnimation slide = TSRAnimation::moveY(0.5, 0.0, 10.0 - height, 0);
//   panel->layer()->addAnimation(slide, "moveY");
//
//   TSRAnimation::pauseAnimation(*layer);    // the layer's time stands still
//   TSRAnimation::resumeAnimation(*layer);   // and goes on from where it stopped
//
// Unless a method says otherwise an animation stays on its layer when it ends and keeps
// showing its final value (fill forwards). A begin time is a delay from now. "Forever" is the
// largest finite float, 3.4028235e38 repeats. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/ui/animation.h"
#include "os/ui/layer.h"
#include "os/ui/view.h"

class TSRAnimation {
 public:
  // The repeat count that stands for "forever".
  static constexpr float kForever = 3.4028235e38f;
  // Keys under which the rotation and keyframe animations keep a value for their owner.
  static constexpr const char* kRotationToValueKey = "KCBasicAnimationProperty_ToValue";
  static constexpr const char* kKeyframeEndPositionKey = "KCKeyframeAnimationProperty_EndPosition";

  TSRAnimation() = delete;

  // Opacity ---------------------------------------------------------------------------------
  // 0 to 1 and back, forever, each way taking `duration`.
  static os::ui::BasicAnimation opacityForeverAnimation(float duration);
  // 1 to 0, `repeatCount` times, after `beginTime` seconds (ease in and out).
  static os::ui::BasicAnimation opacityTimesAnimation(float repeatCount, float duration,
                                                      float beginTime);
  // `from` to `to`, `repeatCount` times (ease in and out).
  static os::ui::BasicAnimation opacityChangeAnimation(float repeatCount,
                                                       os::ui::AnimationValue from,
                                                       os::ui::AnimationValue to, float duration);

  // Horizontal slides ("transform.translation.x", ease in and out) -------------------------
  // From the model value to `to`, once.
  static os::ui::BasicAnimation moveX(float duration, os::ui::AnimationValue to);
  static os::ui::BasicAnimation moveX(float duration, os::ui::AnimationValue to, float repeatCount,
                                      float beginTime);
  static os::ui::BasicAnimation moveX(float duration, os::ui::AnimationValue from,
                                      os::ui::AnimationValue to, float repeatCount,
                                      float beginTime);

  // Vertical slides ("transform.translation.y") --------------------------------------------
  // Ease in and out.
  static os::ui::BasicAnimation moveY(float duration, os::ui::AnimationValue from,
                                      os::ui::AnimationValue to, float repeatCount);
  // Ease in and out, forever, showing `from` before it starts (fill backwards instead of
  // forwards).
  static os::ui::BasicAnimation moveY(float duration, os::ui::AnimationValue from,
                                      os::ui::AnimationValue to);
  // Linear, after `beginTime` seconds.
  static os::ui::BasicAnimation moveY(float duration, os::ui::AnimationValue from,
                                      os::ui::AnimationValue to, float repeatCount, float beginTime,
                                      bool autoreverses);

  // Scales ----------------------------------------------------------------------------------
  // "transform.scale.z" from `origin` to `scale`, after `beginTime` seconds.
  static os::ui::BasicAnimation scale(os::ui::AnimationValue scale, os::ui::AnimationValue origin,
                                      float duration, float repeatCount, float beginTime);
  // "transform.scale" from `scale` back to `origin` (linear).
  static os::ui::BasicAnimation scale(os::ui::AnimationValue scale, os::ui::AnimationValue origin,
                                      float duration, float repeatCount);

  // Groups of `animations` on one timeline, after `beginTime` seconds; the second autoreverses.
  static os::ui::AnimationGroup groupAnimationChips(
      std::vector<std::shared_ptr<os::ui::Animation>> animations, float duration, float repeatCount,
      float beginTime);
  static os::ui::AnimationGroup groupAnimation(
      std::vector<std::shared_ptr<os::ui::Animation>> animations, float duration, float repeatCount,
      float beginTime);

  // Rotations ("transform.rotation.z" unless said) ----------------------------------------
  // To `to` in 4 seconds; keeps 3π/2 under kRotationToValueKey.
  static os::ui::BasicAnimation rotation(float repeatCount, os::ui::AnimationValue to);
  // From 0 to `to` (ease in and out).
  static os::ui::BasicAnimation rotation(float repeatCount, os::ui::AnimationValue to,
                                         float duration);
  // To a turn of `degree` degrees about the z axis pointing as `direction` says (its sign; 0
  // turns nothing), on the whole "transform" (linear).
  static os::ui::BasicAnimation rotation(float duration, float degree, int32_t direction,
                                         int32_t repeatCount);
  // The same turn on "transform.rotation.z" after `beginTime` seconds, cumulative: every repeat
  // turns on from where the last one stopped, so the layer keeps turning the same way.
  static os::ui::BasicAnimation rotation(float duration, float degree, int32_t direction,
                                         int64_t repeatCount, float beginTime);

  // Movements of "position" along a cubic curve through (cp1x, cp1y) and (cp2x, cp2y) to the
  // end point, kept under kKeyframeEndPositionKey. The first starts at the first control point
  // and runs once in 0.5 s (ease out); the second starts at `layer`'s position and runs
  // forever, back and forth (ease in).
  static os::ui::KeyframeAnimation keyframeAnimation(double cp1x, double cp1y, double cp2x,
                                                     double cp2y, float endPointX, float endPointY);
  static os::ui::KeyframeAnimation keyframeAnimation(float duration, double cp1x, double cp1y,
                                                     double cp2x, double cp2y, float endPointX,
                                                     float endPointY, const os::ui::Layer& layer);

  // Transitions (ease in and out) -----------------------------------------------------------
  // The old content is revealed leftwards, shown from 0 to 40 % of the way.
  static os::ui::Transition pushAnimation(float duration);
  // The new content moves in from the bottom (or the top), shown from 70 % of the way.
  static os::ui::Transition verticalAnimationWithdurTimes(float duration, bool isFromBottom);

  // Layers ----------------------------------------------------------------------------------
  // Replaces every animation of `view`'s layer by a slide of "transform.translation.y" from
  // `from` to `to` under the key "moveY". Does nothing for a view without a layer.
  static void animationMouseEnteredExitedWithView(os::ui::View& view, os::ui::AnimationValue from,
                                                  os::ui::AnimationValue to, double timeInterval);
  // Removes every animation of `layer`.
  static void endAnimation(os::ui::Layer& layer);
  // Freezes `layer`'s time where it is now.
  static void pauseAnimation(os::ui::Layer& layer);
  // Lets `layer`'s time run again from where pauseAnimation froze it.
  static void resumeAnimation(os::ui::Layer& layer);
  // Takes `layer` out of its superlayer.
  static void destoryAnimation(os::ui::Layer& layer);
};
