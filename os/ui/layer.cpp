#include "os/ui/layer.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

#include "os/dispatch/dispatch.h"
#include "os/ui/internal/completion_groups.h"
#include "os/ui/view.h"

namespace os::ui {
namespace {

// Layers that hold animations, for updateAnimations.
std::vector<std::weak_ptr<Layer>>& animatedLayers() {
  static auto* layers = new std::vector<std::weak_ptr<Layer>>;
  return *layers;
}

void runAll(std::vector<std::function<void()>>& pending) {
  for (auto& callback : pending) callback();
  pending.clear();
}

}  // namespace

Layer::~Layer() {
  for (auto& sublayer : sublayers_) sublayer->superlayer_ = nullptr;
  // Groups waiting for these animations must not wait forever; their didStop blocks are not
  // run from a destructor.
  for (auto& entry : animations_) {
    if (!entry.stopped && entry.group) internal::completionGroupAnimationStopped(entry.group);
  }
}

Rect Layer::frame() const { return view_ ? view_->frame() : frame_; }

void Layer::setFrame(const Rect& frame) {
  frame_ = frame;
  setNeedsDisplay();
}

void Layer::addSublayer(std::shared_ptr<Layer> layer) {
  if (!layer || layer.get() == this) return;
  layer->removeFromSuperlayer();
  layer->superlayer_ = this;
  sublayers_.push_back(std::move(layer));
  setNeedsDisplay();
}

void Layer::removeFromSuperlayer() {
  Layer* parent = superlayer_;
  if (!parent) return;
  superlayer_ = nullptr;
  auto keep = shared_from_this();  // the parent's reference may be the last
  auto& siblings = parent->sublayers_;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), keep), siblings.end());
  parent->setNeedsDisplay();
}

void Layer::setNeedsDisplay() {
  if (view_) {
    view_->setNeedsDisplay(true);
  } else if (superlayer_) {
    superlayer_->setNeedsDisplay();
  }
}

const Layer* Layer::timingParent() const {
  if (superlayer_) return superlayer_;
  if (!view_) return nullptr;
  for (View* ancestor = view_->superview(); ancestor; ancestor = ancestor->superview()) {
    if (ancestor->layer()) return ancestor->layer();
  }
  return nullptr;
}

double Layer::localTime(double mediaTime) const {
  const Layer* parent = timingParent();
  double parentTime = parent ? parent->localTime(mediaTime) : mediaTime;
  return (parentTime - beginTime_) * speed_ + timeOffset_;
}

double Layer::effectiveSpeed() const {
  const Layer* parent = timingParent();
  return speed_ * (parent ? parent->effectiveSpeed() : 1);
}

void Layer::addAnimation(const Animation& animation, const std::string& key) {
  OS_CHECK_ON_MAIN();
  std::vector<std::function<void()>> pending;
  auto existing = std::find_if(animations_.begin(), animations_.end(),
                               [&](const Entry& entry) { return entry.key == key; });
  if (existing != animations_.end()) {
    stop(*existing, false, pending);
    animations_.erase(existing);
  }
  Entry entry;
  entry.key = key;
  entry.animation = animation.clone();
  double now = currentMediaTime();
  entry.begin = animation.beginTime() != 0 ? animation.beginTime() : localTime(now);
  if (auto* transition = dynamic_cast<Transition*>(entry.animation.get()); transition && view_) {
    transition->setOutgoingContent(view_->snapshotOnScreen());
  }
  entry.group = internal::currentCompletionGroup();
  if (entry.group) internal::completionGroupAnimationAdded(*entry.group);
  animations_.push_back(std::move(entry));

  auto& registry = animatedLayers();
  bool registered = std::any_of(registry.begin(), registry.end(),
                                [this](const auto& weak) { return weak.lock().get() == this; });
  if (!registered && !weak_from_this().expired()) registry.push_back(weak_from_this());
  setNeedsDisplay();
  runAll(pending);
}

void Layer::stop(Entry& entry, bool finished, std::vector<std::function<void()>>& pending) {
  if (entry.stopped) return;
  entry.stopped = true;
  if (auto didStop = entry.animation->didStop()) {
    pending.push_back([didStop, finished] { didStop(finished); });
  }
  if (auto group = entry.group) {
    pending.push_back([group] { internal::completionGroupAnimationStopped(group); });
  }
}

void Layer::removeAnimation(const std::string& key) {
  std::vector<std::function<void()>> pending;
  auto found = std::find_if(animations_.begin(), animations_.end(),
                            [&](const Entry& entry) { return entry.key == key; });
  if (found == animations_.end()) return;
  stop(*found, false, pending);
  animations_.erase(found);
  setNeedsDisplay();
  runAll(pending);
}

void Layer::removeAllAnimations() {
  std::vector<std::function<void()>> pending;
  for (auto& entry : animations_) stop(entry, false, pending);
  bool had = !animations_.empty();
  animations_.clear();
  if (had) setNeedsDisplay();
  runAll(pending);
}

std::shared_ptr<const Animation> Layer::animationForKey(const std::string& key) const {
  for (const auto& entry : animations_) {
    if (entry.key == key) return entry.animation;
  }
  return nullptr;
}

std::vector<std::string> Layer::animationKeys() const {
  std::vector<std::string> keys;
  for (const auto& entry : animations_) keys.push_back(entry.key);
  return keys;
}

LayerProperties Layer::modelProperties() const {
  LayerProperties model = model_;
  Rect box = frame();
  model.position = {box.x + anchorPoint_.x * box.width, box.y + anchorPoint_.y * box.height};
  return model;
}

LayerProperties Layer::presentationProperties(double mediaTime) const {
  LayerProperties model = modelProperties();
  LayerProperties shown = model;
  if (animations_.empty()) return shown;
  double local = localTime(mediaTime);
  for (const auto& entry : animations_) {
    if (auto pass = entry.animation->passAt(local - entry.begin)) {
      entry.animation->apply(*pass, model, shown);
    }
  }
  return shown;
}

std::optional<AnimationValue> Layer::presentationValue(const std::string& keyPath,
                                                       double mediaTime) const {
  return valueForKeyPath(presentationProperties(mediaTime), keyPath);
}

bool Layer::hasRunningAnimations(double mediaTime) const {
  if (effectiveSpeed() == 0) return false;
  double local = localTime(mediaTime);
  return std::any_of(animations_.begin(), animations_.end(), [&](const Entry& entry) {
    return !entry.stopped && local - entry.begin < entry.animation->activeDuration();
  });
}

bool Layer::hasUnstoppedAnimations() const {
  return std::any_of(animations_.begin(), animations_.end(),
                     [](const Entry& entry) { return !entry.stopped; });
}

bool Layer::stopEndedAnimations(double mediaTime) {
  std::vector<std::function<void()>> pending;
  double local = localTime(mediaTime);
  bool ended = false;
  for (auto& entry : animations_) {
    if (!entry.stopped && local - entry.begin >= entry.animation->activeDuration()) {
      stop(entry, true, pending);
      ended = true;
    }
  }
  auto removed = std::remove_if(animations_.begin(), animations_.end(), [](const Entry& entry) {
    return entry.stopped && entry.animation->isRemovedOnCompletion();
  });
  animations_.erase(removed, animations_.end());
  bool running = hasRunningAnimations(mediaTime);
  // The frame after the end shows the final (or model) values.
  if (running || ended) setNeedsDisplay();
  runAll(pending);
  return running;
}

void Layer::drawContent(GraphicsContext&, const LayerProperties&) const {}

bool updateAnimations(double mediaTime) {
  bool running = false;
  // Callbacks may add and remove animations, layers and views: work on a snapshot.
  auto layers = animatedLayers();
  for (const auto& weak : layers) {
    if (auto layer = weak.lock()) running = layer->stopEndedAnimations(mediaTime) || running;
  }
  auto& registry = animatedLayers();
  registry.erase(std::remove_if(registry.begin(), registry.end(),
                                [](const auto& weak) {
                                  auto layer = weak.lock();
                                  return !layer || layer->animationKeys().empty();
                                }),
                 registry.end());
  return running;
}

// ShapeLayer -----------------------------------------------------------------------------------

void ShapeLayer::setPath(BezierPath path) {
  path_ = std::move(path);
  setNeedsDisplay();
}
void ShapeLayer::setFillColor(std::optional<Color> color) {
  fillColor_ = color;
  setNeedsDisplay();
}
void ShapeLayer::setStrokeColor(std::optional<Color> color) {
  strokeColor_ = color;
  setNeedsDisplay();
}
void ShapeLayer::setLineWidth(double width) {
  lineWidth_ = width;
  setNeedsDisplay();
}
void ShapeLayer::setStrokeStart(double fraction) {
  mutableModel().strokeStart = fraction;
  setNeedsDisplay();
}
void ShapeLayer::setStrokeEnd(double fraction) {
  mutableModel().strokeEnd = fraction;
  setNeedsDisplay();
}

namespace {

// The part of the flattened `path` between the fractions `from` and `to` of its length, as
// cairo's current path.
void appendTrimmedPath(cairo_t* cr, const BezierPath& path, double from, double to) {
  path.applyTo(cr);
  cairo_path_t* flat = cairo_copy_path_flat(cr);
  cairo_new_path(cr);
  struct Piece {
    Point a, b;
    double length;
  };
  std::vector<Piece> pieces;
  Point current, start;
  for (int i = 0; i < flat->num_data; i += flat->data[i].header.length) {
    const cairo_path_data_t* data = &flat->data[i];
    Point point{data[1].point.x, data[1].point.y};
    switch (data->header.type) {
      case CAIRO_PATH_MOVE_TO:
        current = start = point;
        break;
      case CAIRO_PATH_LINE_TO:
        pieces.push_back({current, point, std::hypot(point.x - current.x, point.y - current.y)});
        current = point;
        break;
      case CAIRO_PATH_CLOSE_PATH:
        pieces.push_back({current, start, std::hypot(start.x - current.x, start.y - current.y)});
        current = start;
        break;
      default:
        break;
    }
  }
  cairo_path_destroy(flat);
  double total = 0;
  for (const auto& piece : pieces) total += piece.length;
  double begin = std::clamp(from, 0.0, 1.0) * total;
  double end = std::clamp(to, 0.0, 1.0) * total;
  if (end <= begin) return;
  double walked = 0;
  bool drawing = false;
  for (const auto& piece : pieces) {
    double pieceStart = walked, pieceEnd = walked + piece.length;
    walked = pieceEnd;
    if (pieceEnd <= begin || pieceStart >= end || piece.length == 0) continue;
    auto at = [&](double distance) {
      double t = (distance - pieceStart) / piece.length;
      return Point{piece.a.x + (piece.b.x - piece.a.x) * t,
                   piece.a.y + (piece.b.y - piece.a.y) * t};
    };
    Point a = at(std::max(begin, pieceStart));
    Point b = at(std::min(end, pieceEnd));
    if (!drawing) cairo_move_to(cr, a.x, a.y);
    drawing = true;
    cairo_line_to(cr, b.x, b.y);
  }
}

}  // namespace

void ShapeLayer::drawContent(GraphicsContext& context, const LayerProperties& shown) const {
  cairo_t* cr = context.cairo();
  if (fillColor_ && fillColor_->alpha > 0 && !path_.isEmpty()) {
    context.save();
    context.setFillColor(*fillColor_);
    path_.fill(context);
    context.restore();
  }
  if (strokeColor_ && strokeColor_->alpha > 0 && lineWidth_ > 0) {
    cairo_save(cr);
    appendTrimmedPath(cr, path_, shown.strokeStart, shown.strokeEnd);
    cairo_set_line_width(cr, lineWidth_);
    cairo_set_source_rgba(cr, strokeColor_->red, strokeColor_->green, strokeColor_->blue,
                          strokeColor_->alpha);
    cairo_stroke(cr);
    cairo_restore(cr);
  }
}

}  // namespace os::ui
