#include "os/ui/view.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

#include "os/dispatch/dispatch.h"
#include "os/ui/window.h"

namespace os::ui {

View::View(const Rect& frame) : frame_(frame) {}

View::~View() {
  for (auto& subview : subviews_) subview->superview_ = nullptr;
  if (layer_) layer_->view_ = nullptr;
}

void View::setFrame(const Rect& frame) {
  OS_CHECK_ON_MAIN();
  if (frame == frame_) return;
  Size oldSize = frame_.size();
  frame_ = frame;
  if (oldSize != frame_.size()) resizeSubviewsWithOldSize(oldSize);
  if (superview_) superview_->setNeedsDisplay(true);
  setNeedsDisplay(true);
  markWindowGeometryChanged();
}

void View::setFlipped(bool flipped) {
  flipped_ = flipped;
  setNeedsDisplay(true);
}

void View::resizeSubviewsWithOldSize(Size oldSize) {
  // Each flexible part along an axis takes an equal share of the change.
  auto share = [](double delta, unsigned mask, unsigned before, unsigned size, unsigned after,
                  double& origin, double& length) {
    int parts = !!(mask & before) + !!(mask & size) + !!(mask & after);
    if (parts == 0) return;
    double each = delta / parts;
    if (mask & before) origin += each;
    if (mask & size) length += each;
  };
  double dx = frame_.width - oldSize.width;
  double dy = frame_.height - oldSize.height;
  for (auto& subview : subviews_) {
    unsigned mask = subview->autoresizingMask_;
    if (mask == kNotSizable) continue;
    Rect frame = subview->frame_;
    share(dx, mask, kMinXMargin, kWidthSizable, kMaxXMargin, frame.x, frame.width);
    share(dy, mask, kMinYMargin, kHeightSizable, kMaxYMargin, frame.y, frame.height);
    subview->setFrame(frame);
  }
}

void View::setNeedsLayout(bool needsLayout) {
  needsLayout_ = needsLayout;
  if (needsLayout) setNeedsDisplay(true);
}

void View::addSubview(std::shared_ptr<View> view) {
  addSubview(std::move(view), Ordering::Above, nullptr);
}

void View::addSubview(std::shared_ptr<View> view, Ordering ordering, const View* relativeTo) {
  OS_CHECK_ON_MAIN();
  if (!view || view.get() == this || isDescendantOf(*view)) return;
  if (view->superview_ == this) {
    subviews_.erase(std::find(subviews_.begin(), subviews_.end(), view));
  } else {
    view->removeFromSuperview();
  }
  auto anchor = std::find_if(subviews_.begin(), subviews_.end(),
                             [relativeTo](const auto& sub) { return sub.get() == relativeTo; });
  auto position = subviews_.end();
  if (anchor != subviews_.end()) {
    position = ordering == Ordering::Above ? anchor + 1 : anchor;
  } else if (ordering == Ordering::Below) {
    position = subviews_.begin();
  }
  view->superview_ = this;
  View* added = view.get();
  subviews_.insert(position, std::move(view));
  added->setWindow(window_);
  setNeedsDisplay(true);
  markWindowGeometryChanged();
}

void View::removeFromSuperview() {
  OS_CHECK_ON_MAIN();
  View* parent = superview_;
  if (!parent) return;
  auto keep = shared_from_this();  // the parent's reference may be the last
  superview_ = nullptr;
  parent->subviews_.erase(std::find(parent->subviews_.begin(), parent->subviews_.end(), keep));
  parent->setNeedsDisplay(true);
  parent->markWindowGeometryChanged();
  setWindow(nullptr);
}

bool View::isDescendantOf(const View& ancestor) const {
  for (const View* view = this; view; view = view->superview_) {
    if (view == &ancestor) return true;
  }
  return false;
}

Window* View::window() const { return window_; }

void View::setWindow(Window* window) {
  if (window_ == window) return;
  // A view that leaves its window stops being its first responder there.
  if (window_ && window_->firstResponder() == this) window_->makeFirstResponder(nullptr);
  window_ = window;
  for (auto& subview : subviews_) subview->setWindow(window);
  if (window) {
    needsDisplay_ = true;
    window->setViewsNeedDisplay(true);
  }
  viewDidMoveToWindow();
}

void View::markWindowGeometryChanged() {
  if (window_) window_->trackingGeometryChanged();
}

void View::setHidden(bool hidden) {
  OS_CHECK_ON_MAIN();
  if (hidden_ == hidden) return;
  hidden_ = hidden;
  if (superview_) superview_->setNeedsDisplay(true);
  markWindowGeometryChanged();
}

bool View::isHiddenOrHasHiddenAncestor() const {
  for (const View* view = this; view; view = view->superview_) {
    if (view->hidden_) return true;
  }
  return false;
}

bool View::isAnimatingOrHasAnimatingAncestor() const {
  for (const View* view = this; view; view = view->superview_) {
    if (view->layer_ && view->layer_->hasUnstoppedAnimations()) return true;
  }
  return false;
}

std::shared_ptr<View> View::viewWithIdentifier(std::string_view identifier) {
  if (identifier_ == identifier) return shared_from_this();
  for (auto& subview : subviews_) {
    if (auto found = subview->viewWithIdentifier(identifier)) return found;
  }
  return nullptr;
}

AffineTransform View::transformToWindow() const {
  AffineTransform transform;
  for (const View* view = this; view; view = view->superview_) {
    bool superFlipped = view->superview_ && view->superview_->isFlipped();
    AffineTransform step = AffineTransform::translation(view->frame_.x, view->frame_.y);
    if (view->isFlipped() != superFlipped) {
      step = AffineTransform::scale(1, -1)
                 .concat(AffineTransform::translation(0, view->frame_.height))
                 .concat(step);
    }
    transform = transform.concat(step);
  }
  return transform;
}

Point View::convertPointToView(Point point, const View* other) const {
  Point inWindow = transformToWindow().apply(point);
  return other ? other->transformToWindow().inverted().apply(inWindow) : inWindow;
}

Point View::convertPointFromView(Point point, const View* other) const {
  Point inWindow = other ? other->transformToWindow().apply(point) : point;
  return transformToWindow().inverted().apply(inWindow);
}

namespace {

Rect boundingBox(Point a, Point b) {
  return {std::min(a.x, b.x), std::min(a.y, b.y), std::abs(a.x - b.x), std::abs(a.y - b.y)};
}

}  // namespace

Rect View::convertRectToView(const Rect& rect, const View* other) const {
  return boundingBox(convertPointToView(rect.origin(), other),
                     convertPointToView({rect.maxX(), rect.maxY()}, other));
}

Rect View::convertRectFromView(const Rect& rect, const View* other) const {
  return boundingBox(convertPointFromView(rect.origin(), other),
                     convertPointFromView({rect.maxX(), rect.maxY()}, other));
}

Rect View::visibleRect() const {
  Rect visible = bounds();
  for (const View* ancestor = superview_; ancestor; ancestor = ancestor->superview_) {
    visible = visible.intersection(convertRectFromView(ancestor->bounds(), ancestor));
  }
  return visible;
}

void View::setNeedsDisplay(bool needsDisplay) {
  OS_CHECK_ON_MAIN();
  needsDisplay_ = needsDisplay;
  if (needsDisplay && window_) window_->setViewsNeedDisplay(true);
}

void View::drawRect(GraphicsContext&, const Rect&) {}

void View::setWantsLayer(bool wantsLayer) {
  if (!wantsLayer || layer_) return;
  layer_ = std::make_shared<Layer>();
  layer_->view_ = this;
  setNeedsDisplay(true);
}

std::shared_ptr<Image> View::snapshotOnScreen() const {
  if (!window_) return nullptr;
  cairo_surface_t* backing = window_->backingSurface();
  if (!backing) return nullptr;
  double scale = window_->backingScaleFactor();
  Rect inWindow = convertRectToView(bounds(), nullptr);
  double windowHeight = window_->contentFrameView()->frame().height;
  int left = int(std::lround(inWindow.x * scale));
  int top = int(std::lround((windowHeight - inWindow.maxY()) * scale));
  int width = int(std::lround(inWindow.width * scale));
  int height = int(std::lround(inWindow.height * scale));
  if (width <= 0 || height <= 0) return nullptr;
  cairo_surface_t* copy = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(copy);
  cairo_set_source_surface(cr, backing, -left, -top);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  auto image = Image::fromSurface(copy, scale);
  cairo_surface_destroy(copy);
  return image;
}

View* View::hitTest(Point point) {
  if (hidden_) return nullptr;
  bool superFlipped = superview_ && superview_->isFlipped();
  if (!mouseInRect(point, frame_, superFlipped)) return nullptr;
  Point local{point.x - frame_.x, point.y - frame_.y};
  if (isFlipped() != superFlipped) local.y = frame_.height - local.y;
  for (auto sub = subviews_.rbegin(); sub != subviews_.rend(); ++sub) {
    if (View* hit = (*sub)->hitTest(local)) return hit;
  }
  return this;
}

Responder* View::nextResponder() const {
  if (superview_) return superview_;
  return window_;
}

std::optional<Cursor> View::cursorAt(Point) const { return std::nullopt; }

void View::addTrackingArea(std::shared_ptr<TrackingArea> area) {
  if (!area) return;
  trackingAreas_.push_back(std::move(area));
}

void View::removeTrackingArea(const TrackingArea* area) {
  trackingAreas_.erase(std::remove_if(trackingAreas_.begin(), trackingAreas_.end(),
                                      [area](const auto& held) { return held.get() == area; }),
                       trackingAreas_.end());
}

void View::registerForDraggedTypes(std::vector<std::string> types) {
  draggedTypes_ = std::move(types);
}

DragOperation View::draggingEntered(const DraggingInfo&) { return DragOperation::None; }

bool View::performDragOperation(const DraggingInfo&) { return false; }

// Rendering ------------------------------------------------------------------------------------

namespace {

// True when the device-space box of `rect` (current user space) misses the current clip.
bool outsideClip(cairo_t* cr, const Rect& rect) {
  double xs[4] = {rect.minX(), rect.maxX(), rect.minX(), rect.maxX()};
  double ys[4] = {rect.minY(), rect.minY(), rect.maxY(), rect.maxY()};
  double left = INFINITY, right = -INFINITY, top = INFINITY, bottom = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    cairo_user_to_device(cr, &xs[i], &ys[i]);
    left = std::min(left, xs[i]);
    right = std::max(right, xs[i]);
    top = std::min(top, ys[i]);
    bottom = std::max(bottom, ys[i]);
  }
  cairo_save(cr);
  cairo_identity_matrix(cr);
  double x1, y1, x2, y2;
  cairo_clip_extents(cr, &x1, &y1, &x2, &y2);
  cairo_restore(cr);
  return right <= x1 || left >= x2 || bottom <= y1 || top >= y2;
}

// Moves the user space by the layer's presentation: position and transform about the anchor.
void applyLayerGeometry(cairo_t* cr, const Layer& layer, const LayerProperties& shown,
                        const Rect& frame) {
  Point model = layer.modelProperties().position;
  cairo_translate(cr, shown.position.x - model.x, shown.position.y - model.y);
  if (shown.transform.isIdentity()) return;
  double ax = layer.anchorPoint().x * frame.width;
  double ay = layer.anchorPoint().y * frame.height;
  AffineTransform t = shown.transform.affine();
  cairo_matrix_t matrix{t.a, t.b, t.c, t.d, t.tx, t.ty};
  cairo_translate(cr, ax, ay);
  cairo_transform(cr, &matrix);
  cairo_translate(cr, -ax, -ay);
}

BezierPath outline(const Layer& layer, const Rect& bounds) {
  double radius = layer.cornerRadius();
  return radius > 0 ? BezierPath::roundedRect(bounds, radius, radius) : BezierPath::rect(bounds);
}

void paintLayerBackground(GraphicsContext& context, const Layer& layer, const Rect& bounds) {
  if (!layer.backgroundColor() || layer.backgroundColor()->alpha <= 0) return;
  context.save();
  context.setFillColor(*layer.backgroundColor());
  outline(layer, bounds).fill(context);
  context.restore();
}

void paintLayerBorder(GraphicsContext& context, const Layer& layer, const Rect& bounds) {
  double width = layer.borderWidth();
  if (width <= 0) return;
  double radius = std::max(layer.cornerRadius() - width / 2, 0.0);
  Rect inner = bounds.insetBy(width / 2, width / 2);
  BezierPath border =
      radius > 0 ? BezierPath::roundedRect(inner, radius, radius) : BezierPath::rect(inner);
  border.setLineWidth(width);
  context.save();
  context.setStrokeColor(layer.borderColor());
  border.stroke(context);
  context.restore();
}

void renderSublayer(const Layer& layer, GraphicsContext& context, double mediaTime);

void renderSublayers(const Layer& layer, GraphicsContext& context, double mediaTime) {
  for (const auto& sublayer : layer.sublayers()) renderSublayer(*sublayer, context, mediaTime);
}

void renderSublayer(const Layer& layer, GraphicsContext& context, double mediaTime) {
  LayerProperties shown = layer.presentationProperties(mediaTime);
  if (shown.opacity <= 0) return;
  cairo_t* cr = context.cairo();
  Rect frame = layer.frame();
  Rect bounds = layer.bounds();
  context.save();
  cairo_translate(cr, frame.x, frame.y);
  applyLayerGeometry(cr, layer, shown, frame);
  bool grouped = shown.opacity < 1;
  if (grouped) cairo_push_group(cr);
  paintLayerBackground(context, layer, bounds);
  if (layer.masksToBounds()) outline(layer, bounds).addClip(context);
  layer.drawContent(context, shown);
  renderSublayers(layer, context, mediaTime);
  paintLayerBorder(context, layer, bounds);
  if (grouped) {
    cairo_pop_group_to_source(cr);
    cairo_paint_with_alpha(cr, shown.opacity);
  }
  context.restore();
}

// Paints a transition from the outgoing snapshot to `incoming` (a group of the new content,
// made in the current user space) at `progress`.
void paintTransition(GraphicsContext& context, const Transition& transition, double progress,
                     cairo_pattern_t* incoming, const Rect& bounds) {
  cairo_t* cr = context.cairo();
  double up = context.isFlipped() ? -1 : 1;
  double w = bounds.width, h = bounds.height;
  // Unit direction the new content travels in.
  double dx = 0, dy = 0;
  switch (transition.subtype()) {
    case Transition::Subtype::FromRight:
      dx = -1;
      break;
    case Transition::Subtype::FromLeft:
      dx = 1;
      break;
    case Transition::Subtype::FromTop:
      dy = -up;
      break;
    case Transition::Subtype::FromBottom:
      dy = up;
      break;
  }
  auto paintOld = [&](double offsetX, double offsetY, double alpha) {
    if (!transition.outgoingContent()) return;
    context.save();
    cairo_translate(cr, offsetX, offsetY);
    context.drawImage(*transition.outgoingContent(), bounds, alpha);
    context.restore();
  };
  auto paintNew = [&](double offsetX, double offsetY, double alpha) {
    cairo_save(cr);
    cairo_translate(cr, offsetX, offsetY);
    cairo_set_source(cr, incoming);
    cairo_paint_with_alpha(cr, alpha);
    cairo_restore(cr);
  };
  double p = std::clamp(progress, 0.0, 1.0);
  switch (transition.type()) {
    case Transition::Type::Fade:
      paintOld(0, 0, 1 - p);
      paintNew(0, 0, p);
      break;
    case Transition::Type::Push:
      paintOld(dx * w * p, dy * h * p, 1);
      paintNew(-dx * w * (1 - p), -dy * h * (1 - p), 1);
      break;
    case Transition::Type::MoveIn:
      paintOld(0, 0, 1);
      paintNew(-dx * w * (1 - p), -dy * h * (1 - p), 1);
      break;
    case Transition::Type::Reveal:
      paintNew(0, 0, 1);
      paintOld(dx * w * p, dy * h * p, 1);
      break;
  }
}

}  // namespace

void renderView(View& view, GraphicsContext& context, double mediaTime, bool superviewFlipped) {
  if (view.hidden_) return;
  Layer* layer = view.layer_.get();
  LayerProperties shown = layer ? layer->presentationProperties(mediaTime) : LayerProperties{};
  if (shown.opacity <= 0) return;
  cairo_t* cr = context.cairo();
  const Rect frame = view.frame_;
  const Rect bounds = view.bounds();
  context.save();
  cairo_translate(cr, frame.x, frame.y);
  if (layer) applyLayerGeometry(cr, *layer, shown, frame);
  if (view.isFlipped() != superviewFlipped) {
    cairo_translate(cr, 0, frame.height);
    cairo_scale(cr, 1, -1);
  }
  bool castsShadow = layer && layer->shadowOpacity() > 0;
  if (!castsShadow && outsideClip(cr, bounds)) {
    context.restore();
    return;
  }
  if (view.needsLayout_) {
    view.needsLayout_ = false;
    view.layout();
  }

  bool grouped = layer && (shown.opacity < 1 || castsShadow);
  if (grouped) cairo_push_group(cr);
  context.save();
  if (layer) paintLayerBackground(context, *layer, bounds);
  // Rounded masking cuts the finished content once, through its outline: a rounded clip
  // would make cairo mask every single drawing operation inside it.
  bool roundedMask = layer && layer->masksToBounds() && layer->cornerRadius() > 0;
  context.clipToRect(bounds);
  if (roundedMask) cairo_push_group(cr);
  auto drawContent = [&] {
    view.viewWillDraw();
    view.drawRect(context, bounds);
    view.needsDisplay_ = false;
    // Subviews may be removed by the drawing of others: walk a copy.
    auto subviews = view.subviews_;
    for (auto& subview : subviews) renderView(*subview, context, mediaTime, view.isFlipped());
    if (layer) renderSublayers(*layer, context, mediaTime);
  };
  if (shown.transition) {
    cairo_push_group(cr);
    drawContent();
    cairo_pattern_t* incoming = cairo_pop_group(cr);
    paintTransition(context, *shown.transition, shown.transitionProgress, incoming, bounds);
    cairo_pattern_destroy(incoming);
  } else {
    drawContent();
  }
  if (roundedMask) {
    cairo_pop_group_to_source(cr);
    outline(*layer, bounds).applyTo(cr);
    cairo_fill(cr);
  }
  context.restore();
  if (layer) paintLayerBorder(context, *layer, bounds);

  if (grouped) {
    cairo_pattern_t* group = cairo_pop_group(cr);
    context.save();
    if (castsShadow) {
      Color color = layer->shadowColor();
      context.setShadow(Shadow{color.withAlpha(color.alpha * layer->shadowOpacity()),
                               layer->shadowOffset(), layer->shadowRadius()});
    }
    context.paintWithShadow([&] {
      cairo_set_source(context.cairo(), group);
      cairo_paint_with_alpha(context.cairo(), shown.opacity);
    });
    context.restore();
    cairo_pattern_destroy(group);
  }
  context.restore();
}

}  // namespace os::ui
