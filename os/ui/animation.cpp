#include "os/ui/animation.h"

#include <algorithm>
#include <cmath>

#include "os/dispatch/dispatch.h"
#include "os/process/clock.h"
#include "os/ui/internal/completion_groups.h"

namespace os::ui {

double currentMediaTime() { return os::clock::monotonic(); }

// Timing functions -----------------------------------------------------------------------------

TimingFunction TimingFunction::named(Name name) {
  switch (name) {
    case Linear:
      return {0, 0, 1, 1};
    case EaseIn:
      return {0.42, 0, 1, 1};
    case EaseOut:
      return {0, 0, 0.58, 1};
    case EaseInEaseOut:
      return {0.42, 0, 0.58, 1};
    case Default:
      break;
  }
  return {0.25, 0.1, 0.25, 1};
}

TimingFunction::TimingFunction(double c1x, double c1y, double c2x, double c2y)
    : c1x_(c1x), c1y_(c1y), c2x_(c2x), c2y_(c2y) {}

double TimingFunction::evaluate(double x) const {
  if (x <= 0) return 0;
  if (x >= 1) return 1;
  if (c1x_ == c1y_ && c2x_ == c2y_) return x;  // linear
  auto bezier = [](double t, double p1, double p2) {
    double u = 1 - t;
    return 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t;
  };
  // Find the curve parameter whose x is `x` by bisection (x(t) is monotonic for valid curves).
  double low = 0, high = 1, t = x;
  for (int i = 0; i < 60; ++i) {
    t = (low + high) / 2;
    double at = bezier(t, c1x_, c2x_);
    if (std::abs(at - x) < 1e-9) break;
    (at < x ? low : high) = t;
  }
  return bezier(t, c1y_, c2y_);
}

// Key paths ------------------------------------------------------------------------------------

std::optional<AnimationValue> valueForKeyPath(const LayerProperties& properties,
                                              const std::string& keyPath) {
  const LayerTransform& transform = properties.transform;
  if (keyPath == "opacity") return properties.opacity;
  if (keyPath == "position") return properties.position;
  if (keyPath == "strokeStart") return properties.strokeStart;
  if (keyPath == "strokeEnd") return properties.strokeEnd;
  if (keyPath == "transform") return transform;
  if (keyPath == "transform.translation") {
    return Point{transform.translationX, transform.translationY};
  }
  if (keyPath == "transform.translation.x") return transform.translationX;
  if (keyPath == "transform.translation.y") return transform.translationY;
  if (keyPath == "transform.scale" || keyPath == "transform.scale.x") return transform.scaleX;
  if (keyPath == "transform.scale.y") return transform.scaleY;
  if (keyPath == "transform.scale.z") return transform.scaleZ;
  if (keyPath == "transform.rotation" || keyPath == "transform.rotation.z") {
    return transform.rotationZ;
  }
  return std::nullopt;
}

namespace {

// `value` in the shape `keyPath` takes: a whole transform given for a component key path gives
// that component.
std::optional<AnimationValue> coerce(const std::string& keyPath, const AnimationValue& value) {
  if (keyPath != "transform" && std::holds_alternative<LayerTransform>(value)) {
    LayerProperties holder;
    holder.transform = std::get<LayerTransform>(value);
    return valueForKeyPath(holder, keyPath);
  }
  return value;
}

double mix(double from, double to, double progress) { return from + (to - from) * progress; }

std::optional<AnimationValue> interpolate(const AnimationValue& from, const AnimationValue& to,
                                          double progress) {
  if (from.index() != to.index()) return std::nullopt;
  if (auto a = std::get_if<double>(&from)) return mix(*a, std::get<double>(to), progress);
  if (auto a = std::get_if<Point>(&from)) {
    const Point& b = std::get<Point>(to);
    return Point{mix(a->x, b.x, progress), mix(a->y, b.y, progress)};
  }
  const auto& a = std::get<LayerTransform>(from);
  const auto& b = std::get<LayerTransform>(to);
  LayerTransform result;
  result.translationX = mix(a.translationX, b.translationX, progress);
  result.translationY = mix(a.translationY, b.translationY, progress);
  result.scaleX = mix(a.scaleX, b.scaleX, progress);
  result.scaleY = mix(a.scaleY, b.scaleY, progress);
  result.scaleZ = mix(a.scaleZ, b.scaleZ, progress);
  result.rotationZ = mix(a.rotationZ, b.rotationZ, progress);
  return result;
}

Point cubicPoint(Point p0, Point p1, Point p2, Point p3, double t) {
  double u = 1 - t;
  double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
  return {a * p0.x + b * p1.x + c * p2.x + d * p3.x, a * p0.y + b * p1.y + c * p2.y + d * p3.y};
}

// The point at fraction `f` along `path`, each segment taking an equal share.
std::optional<Point> pointAlong(const BezierPath& path, double f) {
  struct Segment {
    Point from;
    const BezierPath::Element* element;  // null: a closing line back to `to`
    Point to;
  };
  std::vector<Segment> segments;
  Point current, subpathStart;
  for (const auto& element : path.elements()) {
    switch (element.type) {
      case BezierPath::ElementType::MoveTo:
        current = subpathStart = element.points[0];
        break;
      case BezierPath::ElementType::LineTo:
        segments.push_back({current, nullptr, element.points[0]});
        current = element.points[0];
        break;
      case BezierPath::ElementType::CurveTo:
        segments.push_back({current, &element, element.points[2]});
        current = element.points[2];
        break;
      case BezierPath::ElementType::ClosePath:
        segments.push_back({current, nullptr, subpathStart});
        current = subpathStart;
        break;
    }
  }
  if (segments.empty()) {
    if (path.isEmpty()) return std::nullopt;
    return current;
  }
  double scaled = std::clamp(f, 0.0, 1.0) * double(segments.size());
  size_t index = std::min(size_t(scaled), segments.size() - 1);
  double t = scaled - double(index);
  const Segment& segment = segments[index];
  if (!segment.element) {
    return Point{mix(segment.from.x, segment.to.x, t), mix(segment.from.y, segment.to.y, t)};
  }
  return cubicPoint(segment.from, segment.element->points[0], segment.element->points[1],
                    segment.to, t);
}

}  // namespace

bool setValueForKeyPath(LayerProperties& properties, const std::string& keyPath,
                        const AnimationValue& given) {
  auto value = coerce(keyPath, given);
  if (!value) return false;
  LayerTransform& transform = properties.transform;
  const double* number = std::get_if<double>(&*value);
  const Point* point = std::get_if<Point>(&*value);
  if (keyPath == "transform") {
    if (auto whole = std::get_if<LayerTransform>(&*value)) transform = *whole;
    return true;
  }
  if (point) {
    if (keyPath == "position") {
      properties.position = *point;
    } else if (keyPath == "transform.translation") {
      transform.translationX = point->x;
      transform.translationY = point->y;
    } else {
      return false;
    }
    return true;
  }
  if (!number) return false;
  if (keyPath == "opacity") {
    properties.opacity = *number;
  } else if (keyPath == "strokeStart") {
    properties.strokeStart = *number;
  } else if (keyPath == "strokeEnd") {
    properties.strokeEnd = *number;
  } else if (keyPath == "transform.translation.x") {
    transform.translationX = *number;
  } else if (keyPath == "transform.translation.y") {
    transform.translationY = *number;
  } else if (keyPath == "transform.scale") {
    transform.scaleX = transform.scaleY = transform.scaleZ = *number;
  } else if (keyPath == "transform.scale.x") {
    transform.scaleX = *number;
  } else if (keyPath == "transform.scale.y") {
    transform.scaleY = *number;
  } else if (keyPath == "transform.scale.z") {
    transform.scaleZ = *number;
  } else if (keyPath == "transform.rotation" || keyPath == "transform.rotation.z") {
    transform.rotationZ = *number;
  } else {
    return false;
  }
  return true;
}

// Animation ------------------------------------------------------------------------------------

std::optional<AnimationValue> Animation::value(const std::string& key) const {
  auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

namespace {

double passCount(double repeatCount, bool autoreverses) {
  return (repeatCount > 0 ? repeatCount : 1) * (autoreverses ? 2 : 1);
}

}  // namespace

double Animation::activeDuration() const {
  double active = simpleDuration() * passCount(repeatCount_, autoreverses_);
  if (speed_ <= 0) return std::numeric_limits<double>::infinity();
  return active / speed_;
}

std::optional<Animation::Pass> Animation::passAt(double elapsed) const {
  double t = elapsed * speed_ + timeOffset_;
  double d = simpleDuration();
  double active = d * passCount(repeatCount_, autoreverses_);
  bool backwards = fillMode_ == FillMode::Backwards || fillMode_ == FillMode::Both;
  bool forwards = fillMode_ == FillMode::Forwards || fillMode_ == FillMode::Both;
  if (t < 0) {
    if (!backwards) return std::nullopt;
    t = 0;
  }
  bool ended = t >= active;
  if (ended) {
    if (!forwards) return std::nullopt;
    t = active;
  }
  double passes = t / d;
  double index = std::floor(passes);
  double within = passes - index;
  // At the very end the last pass is complete rather than the next one starting.
  if (ended && within == 0 && passes > 0) {
    index -= 1;
    within = 1;
  }
  bool returning = autoreverses_ && std::fmod(index, 2) == 1;
  if (returning) within = 1 - within;
  return Pass{within * d, autoreverses_ ? std::floor(index / 2) : index};
}

double Animation::progressOfPassTime(double passTime) const {
  double fraction = std::clamp(passTime / simpleDuration(), 0.0, 1.0);
  return timingFunction_ ? timingFunction_->evaluate(fraction) : fraction;
}

std::shared_ptr<Animation> BasicAnimation::clone() const {
  return std::make_shared<BasicAnimation>(*this);
}

void BasicAnimation::apply(const Pass& pass, const LayerProperties& model,
                           LayerProperties& properties) const {
  auto own = valueForKeyPath(model, keyPath());
  if (!own) return;
  auto from = from_ ? coerce(keyPath(), *from_) : own;
  auto to = to_ ? coerce(keyPath(), *to_) : own;
  if (!from || !to) return;
  // Interpolation is linear in the progress, so n whole repeats more are n more spans.
  double progress = progressOfPassTime(pass.time);
  if (cumulative_) progress += pass.completedRepeats;
  if (auto value = interpolate(*from, *to, progress)) {
    setValueForKeyPath(properties, keyPath(), *value);
  }
}

std::shared_ptr<Animation> KeyframeAnimation::clone() const {
  return std::make_shared<KeyframeAnimation>(*this);
}

void KeyframeAnimation::apply(const Pass& pass, const LayerProperties&,
                              LayerProperties& properties) const {
  double progress = progressOfPassTime(pass.time);
  if (path_) {
    if (auto point = pointAlong(*path_, progress)) {
      setValueForKeyPath(properties, keyPath(), *point);
    }
    return;
  }
  if (values_.empty()) return;
  std::vector<double> times = keyTimes_;
  if (times.size() != values_.size()) {
    times.clear();
    for (size_t i = 0; i < values_.size(); ++i) {
      times.push_back(values_.size() == 1 ? 0 : double(i) / double(values_.size() - 1));
    }
  }
  size_t next = size_t(std::upper_bound(times.begin(), times.end(), progress) - times.begin());
  if (next == 0) {
    setValueForKeyPath(properties, keyPath(), values_.front());
  } else if (next == values_.size()) {
    setValueForKeyPath(properties, keyPath(), values_.back());
  } else {
    double span = times[next] - times[next - 1];
    double local = span > 0 ? (progress - times[next - 1]) / span : 1;
    auto from = coerce(keyPath(), values_[next - 1]);
    auto to = coerce(keyPath(), values_[next]);
    if (!from || !to) return;
    if (auto value = interpolate(*from, *to, local)) {
      setValueForKeyPath(properties, keyPath(), *value);
    }
  }
}

std::shared_ptr<Animation> AnimationGroup::clone() const {
  auto copy = std::make_shared<AnimationGroup>(*this);
  std::vector<std::shared_ptr<Animation>> children;
  for (const auto& animation : animations_) children.push_back(animation->clone());
  copy->animations_ = std::move(children);
  return copy;
}

void AnimationGroup::setAnimations(std::vector<std::shared_ptr<Animation>> animations) {
  animations_ = std::move(animations);
}

void AnimationGroup::apply(const Pass& pass, const LayerProperties& model,
                           LayerProperties& properties) const {
  for (const auto& animation : animations_) {
    if (auto childPass = animation->passAt(pass.time - animation->beginTime())) {
      animation->apply(*childPass, model, properties);
    }
  }
}

std::shared_ptr<Animation> Transition::clone() const { return std::make_shared<Transition>(*this); }

void Transition::apply(const Pass& pass, const LayerProperties&,
                       LayerProperties& properties) const {
  properties.transition = this;
  properties.transitionProgress = mix(startProgress_, endProgress_, progressOfPassTime(pass.time));
}

// Completion groups ----------------------------------------------------------------------------

namespace internal {
namespace {

std::vector<std::shared_ptr<CompletionGroup>>& openGroups() {
  static auto* groups = new std::vector<std::shared_ptr<CompletionGroup>>;
  return *groups;
}

}  // namespace

std::shared_ptr<CompletionGroup> currentCompletionGroup() {
  return openGroups().empty() ? nullptr : openGroups().back();
}

void completionGroupAnimationAdded(CompletionGroup& group) { ++group.pending; }

void completionGroupAnimationStopped(const std::shared_ptr<CompletionGroup>& group) {
  if (--group->pending > 0 || !group->closed || !group->completion) return;
  auto completion = std::move(group->completion);
  group->completion = nullptr;
  completion();
}

}  // namespace internal

void AnimationContext::runAnimationGroup(const std::function<void()>& changes,
                                         std::function<void()> completion) {
  auto group = std::make_shared<internal::CompletionGroup>();
  group->completion = std::move(completion);
  internal::openGroups().push_back(group);
  struct Close {
    std::shared_ptr<internal::CompletionGroup> group;
    ~Close() {
      auto& groups = internal::openGroups();
      groups.erase(std::find(groups.begin(), groups.end(), group));
      group->closed = true;
    }
  };
  {
    Close close{group};
    if (changes) changes();
  }
  if (group->pending == 0 && group->completion) {
    DispatchQueue::main()->async(std::move(group->completion));
    group->completion = nullptr;
  }
}

}  // namespace os::ui
