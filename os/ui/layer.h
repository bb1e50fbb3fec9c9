// Layers: how a view is composited (background colour, rounded corners, masking, border,
// opacity, transform, shadow), the animations that change that over time, and plain sublayers
// such as a stroked shape.
//
//   view->setWantsLayer(true);
//   os::ui::Layer& layer = *view->layer();
//   layer.setCornerRadius(3);
//   layer.setMasksToBounds(true);
//   layer.addAnimation(fade, "animation1");
//
// Pausing freezes the layer's time, resuming carries on from where it stopped:
//
//   double now = layer.localTime(os::ui::currentMediaTime());
//   layer.setSpeed(0);
//   layer.setTimeOffset(now);
//
// Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/ui/animation.h"
#include "os/ui/color.h"
#include "os/ui/drawing.h"
#include "os/ui/geometry.h"

namespace os::ui {

class View;
namespace internal {
struct CompletionGroup;
}  // namespace internal

class Layer : public std::enable_shared_from_this<Layer> {
 public:
  Layer() = default;
  virtual ~Layer();
  Layer(const Layer&) = delete;
  Layer& operator=(const Layer&) = delete;

  // Appearance. Setters redraw the window that shows the layer.
  std::optional<Color> backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::optional<Color> color) { assign(backgroundColor_, color); }
  double cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(double radius) { assign(cornerRadius_, radius); }
  // Whether content and sublayers are cut to the (rounded) bounds.
  bool masksToBounds() const { return masksToBounds_; }
  void setMasksToBounds(bool masks) { assign(masksToBounds_, masks); }
  // The border is drawn inside the bounds, above the content.
  double borderWidth() const { return borderWidth_; }
  void setBorderWidth(double width) { assign(borderWidth_, width); }
  Color borderColor() const { return borderColor_; }
  void setBorderColor(Color color) { assign(borderColor_, color); }
  double opacity() const { return model_.opacity; }
  void setOpacity(double opacity) { assign(model_.opacity, opacity); }
  const LayerTransform& transform() const { return model_.transform; }
  void setTransform(const LayerTransform& transform) { assign(model_.transform, transform); }
  // The shadow the composited layer casts; none while the opacity is 0 (the default).
  Color shadowColor() const { return shadowColor_; }
  void setShadowColor(Color color) { assign(shadowColor_, color); }
  double shadowOpacity() const { return shadowOpacity_; }
  void setShadowOpacity(double opacity) { assign(shadowOpacity_, opacity); }
  Size shadowOffset() const { return shadowOffset_; }
  void setShadowOffset(Size offset) { assign(shadowOffset_, offset); }
  double shadowRadius() const { return shadowRadius_; }
  void setShadowRadius(double radius) { assign(shadowRadius_, radius); }
  // The point of the bounds, in unit coordinates, that transforms turn and scale about.
  Point anchorPoint() const { return anchorPoint_; }
  void setAnchorPoint(Point point) { assign(anchorPoint_, point); }
  // Kept for callers that set it; flat drawing has no depth.
  double anchorPointZ() const { return anchorPointZ_; }
  void setAnchorPointZ(double z) { anchorPointZ_ = z; }

  // Geometry in the superlayer's coordinates. A view's layer has its view's frame; setFrame
  // only places sublayers.
  Rect frame() const;
  void setFrame(const Rect& frame);
  Rect bounds() const { return {0, 0, frame().width, frame().height}; }

  // Sublayers, drawn above the view's content and subviews in the order added.
  void addSublayer(std::shared_ptr<Layer> layer);
  void removeFromSuperlayer();
  const std::vector<std::shared_ptr<Layer>>& sublayers() const { return sublayers_; }
  Layer* superlayer() const { return superlayer_; }
  // The view this layer backs, or null for a sublayer.
  View* view() const { return view_; }

  // Local time: (parent time − beginTime) × speed + timeOffset, the parent being the
  // superlayer, else the layer of the nearest ancestor view that has one, else media time.
  double beginTime() const { return beginTime_; }
  void setBeginTime(double seconds) { assign(beginTime_, seconds); }
  double speed() const { return speed_; }
  void setSpeed(double speed) { assign(speed_, speed); }
  double timeOffset() const { return timeOffset_; }
  void setTimeOffset(double seconds) { assign(timeOffset_, seconds); }
  // This layer's local time at media time `mediaTime`.
  double localTime(double mediaTime) const;

  // Adds a copy of `animation` under `key`, replacing one already there (which stops
  // unfinished). A begin time of 0 means now. A transition takes the layer's look on screen
  // now as the content it moves away from.
  void addAnimation(const Animation& animation, const std::string& key);
  // Removes the animation under `key`: the model value shows again. One that had not ended
  // stops unfinished.
  void removeAnimation(const std::string& key);
  void removeAllAnimations();
  // The layer's copy of the animation under `key`, or null.
  std::shared_ptr<const Animation> animationForKey(const std::string& key) const;
  std::vector<std::string> animationKeys() const;

  // The animatable properties as set.
  LayerProperties modelProperties() const;
  // The animatable properties as shown at `mediaTime`.
  LayerProperties presentationProperties(double mediaTime) const;
  // One key path as shown at `mediaTime`; nullopt for key paths layers do not animate.
  std::optional<AnimationValue> presentationValue(const std::string& keyPath,
                                                  double mediaTime = currentMediaTime()) const;
  // True when an animation has not reached its end and the layer's time moves, so that the
  // layer looks different from one frame to the next.
  bool hasRunningAnimations(double mediaTime) const;
  // True until every animation added has stopped (its didStop and completion have run),
  // whatever the layer's speed: a repeating one that never ends keeps it true.
  bool hasUnstoppedAnimations() const;

  // Draws what the layer itself holds (nothing for a plain layer), in its bounds' coordinates.
  virtual void drawContent(GraphicsContext& context, const LayerProperties& shown) const;

  // Redraws the window that shows this layer.
  void setNeedsDisplay();

  // Stops the animations that have ended by `mediaTime`: their didStop runs, their groups
  // complete, and those removed on completion go. Returns true while one is still running.
  bool stopEndedAnimations(double mediaTime);

 protected:
  LayerProperties& mutableModel() { return model_; }

 private:
  friend class View;
  template <typename T, typename U>
  void assign(T& member, const U& value) {
    member = value;
    setNeedsDisplay();
  }

  struct Entry {
    std::string key;
    std::shared_ptr<Animation> animation;
    double begin;  // in local time
    bool stopped = false;
    std::shared_ptr<internal::CompletionGroup> group;
  };
  // The layer whose local time is this one's parent time.
  const Layer* timingParent() const;
  double effectiveSpeed() const;
  // Takes `entry` out of the running set; the didStop and group completion go to `pending`.
  void stop(Entry& entry, bool finished, std::vector<std::function<void()>>& pending);

  View* view_ = nullptr;
  Layer* superlayer_ = nullptr;
  std::vector<std::shared_ptr<Layer>> sublayers_;
  Rect frame_;

  std::optional<Color> backgroundColor_;
  double cornerRadius_ = 0;
  bool masksToBounds_ = false;
  double borderWidth_ = 0;
  Color borderColor_ = Color::black();
  Color shadowColor_ = Color::black();
  double shadowOpacity_ = 0;
  Size shadowOffset_{0, -3};
  double shadowRadius_ = 3;
  Point anchorPoint_{0.5, 0.5};
  double anchorPointZ_ = 0;
  LayerProperties model_;

  double beginTime_ = 0;
  double speed_ = 1;
  double timeOffset_ = 0;
  std::vector<Entry> animations_;
};

// A layer that draws a path: filled, then stroked between strokeStart and strokeEnd (fractions
// of the path's length, animatable).
class ShapeLayer : public Layer {
 public:
  const BezierPath& path() const { return path_; }
  void setPath(BezierPath path);
  // Default black; nullopt fills nothing.
  std::optional<Color> fillColor() const { return fillColor_; }
  void setFillColor(std::optional<Color> color);
  // Default none.
  std::optional<Color> strokeColor() const { return strokeColor_; }
  void setStrokeColor(std::optional<Color> color);
  double lineWidth() const { return lineWidth_; }
  void setLineWidth(double width);
  double strokeStart() const { return modelProperties().strokeStart; }
  void setStrokeStart(double fraction);
  double strokeEnd() const { return modelProperties().strokeEnd; }
  void setStrokeEnd(double fraction);

  void drawContent(GraphicsContext& context, const LayerProperties& shown) const override;

 private:
  BezierPath path_;
  std::optional<Color> fillColor_ = Color::black();
  std::optional<Color> strokeColor_;
  double lineWidth_ = 1;
};

// Called by the application on every turn of the run loop and before drawing: stops the
// animations of every layer that ended by `mediaTime` and redraws the windows of layers that
// animate. Returns true while some animation still runs, that is while frames are needed.
bool updateAnimations(double mediaTime);

}  // namespace os::ui
