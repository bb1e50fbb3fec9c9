#include "os/ui/window.h"

#include <algorithm>

#include "os/dispatch/dispatch.h"
#include "os/dispatch/notifications.h"
#include "os/ui/animation.h"
#include "os/ui/application.h"
#include "os/ui/text_layout.h"
#include "os/ui/window_button.h"

namespace os::ui {
namespace {

// A move to where the mouse already is: tracking areas are re-evaluated.
Event mouseMovedAt(Point location) {
  Event event;
  event.type = EventType::MouseMoved;
  event.locationInWindow = location;
  return event;
}

}  // namespace

// The root of a window's views: holds the content view and, for titled windows, draws the title
// bar and holds its buttons.
class Window::FrameView : public View {
 public:
  explicit FrameView(Window& window) : View({{0, 0}, window.frame_.size()}), window_(window) {}

  void drawRect(GraphicsContext& context, const Rect&) override {
    if (!(window_.styleMask_ & kTitled) || window_.titlebarTransparent_) return;
    Rect bar{0, bounds().height - kTitleBarHeight, bounds().width, kTitleBarHeight};
    Gradient({{0, {0.86, 0.86, 0.86}}, {1, {0.93, 0.93, 0.93}}})
        .drawLinear(context, {0, bar.minY()}, {0, bar.maxY()});
    if (window_.title_.empty()) return;
    TextAttributes attributes;
    attributes.font = Font::systemFont(13);
    attributes.foregroundColor = Color{0.3, 0.3, 0.3};
    TextLayout title(AttributedString(window_.title_, attributes));
    Size size = title.size();
    title.draw(context, {(bar.width - size.width) / 2, bar.y + (bar.height - size.height) / 2,
                         size.width, size.height});
  }

 private:
  Window& window_;
};

Window::Window(const Rect& contentRect, unsigned styleMask)
    : styleMask_(styleMask), frame_(contentRect) {
  if ((styleMask & kTitled) && !(styleMask & kFullSizeContentView)) {
    frame_.height += kTitleBarHeight;
  }
  frameView_ = std::make_shared<FrameView>(*this);
  frameView_->setWindow(this);
  contentView_ = std::make_shared<View>();
  frameView_->addSubview(contentView_);
  if (styleMask & kTitled) {
    for (auto kind : {ButtonKind::Close, ButtonKind::Miniaturize, ButtonKind::Zoom}) {
      auto button = makeStandardWindowButton(kind);
      button->setAutoresizingMask(View::kMinYMargin);
      button->setAction([this, kind](Control&) {
        if (kind == ButtonKind::Close) performClose();
        if (kind == ButtonKind::Miniaturize) miniaturize();
        if (kind == ButtonKind::Zoom) zoom();
      });
      buttons_[int(kind)] = button;
      frameView_->addSubview(button);
    }
  }
  layoutFrame();
}

Window::~Window() {
  Application::shared().windowWillBeDestroyed(*this);
  frameView_->setWindow(nullptr);
  if (backing_) cairo_surface_destroy(backing_);
}

std::shared_ptr<WindowButton> Window::makeStandardWindowButton(ButtonKind kind) {
  return std::make_shared<WindowButton>(kind);
}

std::shared_ptr<WindowButton> Window::standardWindowButton(ButtonKind kind) const {
  return buttons_[int(kind)];
}

void Window::layoutFrame() {
  Rect bounds = frameView_->bounds();
  Rect content = bounds;
  if ((styleMask_ & kTitled) && !(styleMask_ & kFullSizeContentView)) {
    content.height -= kTitleBarHeight;
  }
  contentView_->setFrame(content);
  for (int i = 0; i < 3; ++i) {
    if (!buttons_[i]) continue;
    buttons_[i]->setFrame({7.0 + 20 * i, bounds.height - 3 - WindowButton::kSize.height,
                           WindowButton::kSize.width, WindowButton::kSize.height});
  }
  if (buttons_[0]) {
    buttons_[0]->setEnabled(styleMask_ & kClosable);
    buttons_[1]->setEnabled(styleMask_ & kMiniaturizable);
    buttons_[2]->setEnabled(styleMask_ & kResizable);
  }
}

void Window::setStyleMask(unsigned styleMask) {
  styleMask_ = styleMask;
  layoutFrame();
  setViewsNeedDisplay(true);
}

void Window::setTitle(std::string title) {
  title_ = std::move(title);
  if (backendWindow_) backendWindow_->setTitle(title_);
  setViewsNeedDisplay(true);
}

void Window::setOpaque(bool opaque) {
  opaque_ = opaque;
  setViewsNeedDisplay(true);
}

void Window::setBackgroundColor(Color color) {
  backgroundColor_ = color;
  setViewsNeedDisplay(true);
}

void Window::setTitlebarAppearsTransparent(bool transparent) {
  titlebarTransparent_ = transparent;
  setViewsNeedDisplay(true);
}

void Window::setLevel(int level) {
  level_ = level;
  if (backendWindow_) backendWindow_->setLevel(level);
  if (visible_) Application::shared().windowDidOrderFront(*this);
}

void Window::setFrame(const Rect& frame) {
  OS_CHECK_ON_MAIN();
  bool moved = frame.origin() != frame_.origin();
  bool resized = frame.size() != frame_.size();
  frame_ = frame;
  if (resized) {
    frameView_->setFrameSize(frame.size());
    layoutFrame();
  }
  if (backendWindow_) backendWindow_->setFrame(frame_);
  if (moved) postNotification(kWindowDidMoveNotification);
}

void Window::center() {
  Rect screen = Application::shared().screenFrame();
  setFrameOrigin({std::round(screen.x + (screen.width - frame_.width) / 2),
                  std::round(screen.y + (screen.height - frame_.height) / 2)});
}

void Window::zoom() {
  if (unzoomedFrame_) {
    Rect previous = *unzoomedFrame_;
    unzoomedFrame_.reset();
    setFrame(previous);
  } else {
    unzoomedFrame_ = frame_;
    setFrame(Application::shared().screenFrame());
  }
}

Point Window::convertPointToScreen(Point point) const {
  return {point.x + frame_.x, point.y + frame_.y};
}

Point Window::convertPointFromScreen(Point point) const {
  return {point.x - frame_.x, point.y - frame_.y};
}

void Window::setContentView(std::shared_ptr<View> view) {
  OS_CHECK_ON_MAIN();
  if (!view || view == contentView_) return;
  contentView_->removeFromSuperview();
  contentView_ = std::move(view);
  contentView_->setAutoresizingMask(View::kWidthSizable | View::kHeightSizable);
  frameView_->addSubview(contentView_, View::Ordering::Below, nullptr);
  layoutFrame();
}

std::shared_ptr<View> Window::findViewByIdentifier(std::string_view identifier) const {
  return frameView_->viewWithIdentifier(identifier);
}

// Ordering and status ----------------------------------------------------------------------------

void Window::orderFront() {
  OS_CHECK_ON_MAIN();
  Application& application = Application::shared();
  if (!backendWindow_) {
    backendWindow_ = application.backend()->createWindow(*this);
    backendWindow_->setTitle(title_);
    backendWindow_->setLevel(level_);
  }
  visible_ = true;
  if (miniaturized_) deminiaturize();
  backendWindow_->setVisible(true);
  backendWindow_->raise();
  application.windowDidOrderFront(*this);
  setViewsNeedDisplay(true);
  for (const auto& weakChild : std::vector(children_)) {
    auto child = weakChild.lock();
    if (child && child->isVisible()) child->orderFront();
  }
}

void Window::makeKeyAndOrderFront() {
  OS_CHECK_ON_MAIN();
  orderFront();
  makeKeyWindow();
  makeMainWindow();
}

void Window::orderOut() {
  OS_CHECK_ON_MAIN();
  if (!visible_) return;
  visible_ = false;
  if (backendWindow_) backendWindow_->setVisible(false);
  Application::shared().windowDidOrderOut(*this);
}

bool Window::canBecomeKeyWindow() const { return styleMask_ & kTitled; }
bool Window::canBecomeMainWindow() const { return (styleMask_ & kTitled) && visible_; }

void Window::makeKeyWindow() {
  if (!canBecomeKeyWindow() || key_) return;
  Application::shared().setKeyWindow(this);
}

void Window::makeMainWindow() {
  if (parentWindow() || !canBecomeMainWindow() || main_) return;
  Application::shared().setMainWindow(this);
}

void Window::becomeKeyWindow() {
  if (backendWindow_) backendWindow_->focus();
  updateTracking(mouseMovedAt(mouseLocation_), false);
  setViewsNeedDisplay(true);
  if (auto delegate = delegate_.lock()) delegate->windowDidBecomeKey(*this);
  postNotification(kWindowDidBecomeKeyNotification);
}

void Window::resignKeyWindow() {
  updateTracking(mouseMovedAt(mouseLocation_), false);
  setViewsNeedDisplay(true);
  if (auto delegate = delegate_.lock()) delegate->windowDidResignKey(*this);
  postNotification(kWindowDidResignKeyNotification);
}

void Window::becomeMainWindow() { postNotification(kWindowDidBecomeMainNotification); }
void Window::resignMainWindow() { postNotification(kWindowDidResignMainNotification); }

void Window::miniaturize() {
  if (miniaturized_) return;
  miniaturized_ = true;
  if (backendWindow_) backendWindow_->minimize();
  Application::shared().windowDidOrderOut(*this);
  if (auto delegate = delegate_.lock()) delegate->windowDidMiniaturize(*this);
  postNotification(kWindowDidMiniaturizeNotification);
}

void Window::deminiaturize() {
  if (!miniaturized_) return;
  miniaturized_ = false;
  if (backendWindow_) backendWindow_->restore();
  if (visible_) Application::shared().windowDidOrderFront(*this);
  postNotification(kWindowDidDeminiaturizeNotification);
}

void Window::performClose() {
  auto delegate = delegate_.lock();
  if (delegate && !delegate->windowShouldClose(*this)) return;
  close();
}

void Window::close() {
  OS_CHECK_ON_MAIN();
  auto keep = weak_from_this().lock();  // the application's reference may be the last
  if (auto delegate = delegate_.lock()) delegate->windowWillClose(*this);
  postNotification(kWindowWillCloseNotification);
  visible_ = false;
  backendWindow_.reset();
  Application::shared().windowDidClose(*this);
  if (auto parent = parent_.lock()) parent->removeChildWindow(*this);
}

void Window::addChildWindow(Window& child) {
  OS_CHECK_ON_MAIN();
  if (&child == this || child.parentWindow() == this) return;
  if (auto previous = child.parent_.lock()) previous->removeChildWindow(child);
  child.parent_ = weak_from_this();
  children_.push_back(child.weak_from_this());
  if (child.level() < level_) child.setLevel(level_);
  if (child.isVisible()) child.orderFront();
  if (child.isMainWindow()) {
    Application::shared().setMainWindow(nullptr);
    makeMainWindow();
  }
}

void Window::removeChildWindow(Window& child) {
  OS_CHECK_ON_MAIN();
  if (child.parentWindow() != this) return;
  child.parent_.reset();
  std::erase_if(children_, [&](const std::weak_ptr<Window>& held) {
    auto window = held.lock();
    return !window || window.get() == &child;
  });
}

void Window::postNotification(const char* name) {
  NotificationCenter::defaultCenter().post(name, this);
}

// Events -----------------------------------------------------------------------------------------

bool Window::makeFirstResponder(Responder* responder) {
  if (responder == firstResponder_) return true;
  if (firstResponder_ && !firstResponder_->resignFirstResponder()) return false;
  if (responder && !responder->becomeFirstResponder()) {
    firstResponder_ = nullptr;
    return false;
  }
  firstResponder_ = responder;
  return true;
}

void Window::trackMouseUntilUp(std::function<void(const Event&)> tracker) {
  if (pressed_) mouseTrackers_.push_back(std::move(tracker));
}

void Window::mouseDown(const Event& event) {
  auto pressed = pressedView_.lock();
  if (!movableByBackground_ || !pressed || !pressed->mouseDownCanMoveWindow()) return;
  draggingWindow_ = true;
  dragStartOnScreen_ = event.locationOnScreen;
  dragStartOrigin_ = frame_.origin();
}

void Window::sendEvent(const Event& event) {
  auto keep = weak_from_this().lock();  // a handler may close the window
  mouseLocation_ = event.locationInWindow;
  switch (event.type) {
    case EventType::LeftMouseDown: {
      if (!key_ && canBecomeKeyWindow()) makeKeyAndOrderFront();
      updateTracking(event, false);
      mouseTrackers_.clear();
      pressed_ = true;
      draggingWindow_ = false;
      View* hit = frameView_->hitTest(event.locationInWindow);
      if (!hit) {
        pressedView_.reset();
        mouseDown(event);
        break;
      }
      pressedView_ = hit->weak_from_this();
      if (hit->acceptsFirstResponder()) makeFirstResponder(hit);
      hit->mouseDown(event);
      break;
    }
    case EventType::LeftMouseDragged: {
      for (auto& tracker : std::vector(mouseTrackers_)) tracker(event);
      if (draggingWindow_) {
        setFrameOrigin({dragStartOrigin_.x + event.locationOnScreen.x - dragStartOnScreen_.x,
                        dragStartOrigin_.y + event.locationOnScreen.y - dragStartOnScreen_.y});
        mouseLocation_ = convertPointFromScreen(event.locationOnScreen);
      }
      if (auto view = pressedView_.lock()) view->mouseDragged(event);
      updateTracking(event, true);
      break;
    }
    case EventType::LeftMouseUp: {
      auto trackers = std::move(mouseTrackers_);
      mouseTrackers_.clear();
      for (auto& tracker : trackers) tracker(event);
      auto view = pressedView_.lock();
      pressedView_.reset();
      pressed_ = false;
      draggingWindow_ = false;
      if (view) {
        view->mouseUp(event);
      } else {
        mouseUp(event);
      }
      updateTracking(event, false);
      break;
    }
    case EventType::RightMouseDown:
    case EventType::RightMouseUp:
    case EventType::ScrollWheel: {
      View* hit = frameView_->hitTest(event.locationInWindow);
      Responder* target = hit ? static_cast<Responder*>(hit) : this;
      if (event.type == EventType::RightMouseDown) target->rightMouseDown(event);
      if (event.type == EventType::RightMouseUp) target->rightMouseUp(event);
      if (event.type == EventType::ScrollWheel) target->scrollWheel(event);
      break;
    }
    case EventType::MouseMoved:
    case EventType::RightMouseDragged:
      mouseInWindow_ = true;
      updateTracking(event, true);
      break;
    case EventType::MouseEntered:
      mouseInWindow_ = true;
      updateTracking(event, false);
      break;
    case EventType::MouseExited:
      mouseInWindow_ = false;
      updateTracking(event, false);
      break;
  }
}

namespace {

void collectAreas(
    View& view,
    std::vector<std::pair<std::shared_ptr<View>, std::shared_ptr<TrackingArea>>>& areas) {
  if (view.isHidden()) return;
  for (const auto& area : view.trackingAreas()) areas.emplace_back(view.shared_from_this(), area);
  for (const auto& subview : view.subviews()) collectAreas(*subview, areas);
}

void callUpdateTrackingAreas(View& view) {
  view.updateTrackingAreas();
  for (const auto& subview : std::vector(view.subviews())) callUpdateTrackingAreas(*subview);
}

}  // namespace

void Window::updateTracking(const Event& cause, bool moved) {
  if (trackingGeometryChanged_) {
    trackingGeometryChanged_ = false;
    callUpdateTrackingAreas(*frameView_);
  }
  if (cause.type == EventType::LeftMouseDown || cause.type == EventType::LeftMouseDragged ||
      cause.type == EventType::LeftMouseUp) {
    mouseInWindow_ = frameView_->bounds().contains(mouseLocation_) || pressed_;
  }
  std::vector<std::pair<std::shared_ptr<View>, std::shared_ptr<TrackingArea>>> areas;
  collectAreas(*frameView_, areas);
  for (auto& [view, area] : areas) {
    unsigned options = area->options();
    // Changes wait for the end of a press unless the area asks for them during drags.
    if (pressed_ && !(options & TrackingArea::kEnabledDuringMouseDrag)) continue;
    bool active =
        (options & TrackingArea::kActiveAlways) || (options & TrackingArea::kActiveInActiveApp) ||
        ((options & TrackingArea::kActiveInKeyWindow) && key_) ||
        ((options & TrackingArea::kActiveWhenFirstResponder) && firstResponder_ == view.get());
    bool inside = false;
    if (active && mouseInWindow_ && visible_ && view->window() == this) {
      Rect rect = (options & TrackingArea::kInVisibleRect) ? view->visibleRect() : area->rect();
      Point local = view->convertPointFromView(mouseLocation_, nullptr);
      inside = mouseInRect(local, rect, view->isFlipped());
    }
    Responder* owner = area->owner();
    Event tracking = cause;
    tracking.trackingArea = area.get();
    tracking.window = this;
    tracking.locationInWindow = mouseLocation_;
    if (inside != area->inside_) {
      area->inside_ = inside;
      if (owner && (options & TrackingArea::kMouseEnteredAndExited)) {
        tracking.type = inside ? EventType::MouseEntered : EventType::MouseExited;
        if (inside) {
          owner->mouseEntered(tracking);
        } else {
          owner->mouseExited(tracking);
        }
      }
    } else if (inside && moved && owner && (options & TrackingArea::kMouseMoved)) {
      tracking.type = EventType::MouseMoved;
      owner->mouseMoved(tracking);
    }
  }
  updateCursor();
}

void Window::updateCursor() {
  Cursor wanted = Cursor::Arrow;
  if (mouseInWindow_) {
    for (View* view = frameView_->hitTest(mouseLocation_); view; view = view->superview()) {
      if (auto cursor = view->cursorAt(view->convertPointFromView(mouseLocation_, nullptr))) {
        wanted = *cursor;
        break;
      }
    }
  }
  if (wanted == cursor_) return;
  cursor_ = wanted;
  if (key_ || mouseInWindow_) Application::shared().setCursor(wanted);
}

bool Window::dropFiles(Point location, std::vector<std::string> filenames) {
  DraggingInfo info{location, std::move(filenames)};
  for (View* view = frameView_->hitTest(location); view; view = view->superview()) {
    const auto& types = view->registeredDraggedTypes();
    if (std::find(types.begin(), types.end(), kFilenamesPboardType) == types.end()) continue;
    if (view->draggingEntered(info) == DragOperation::None) return false;
    return view->performDragOperation(info);
  }
  return false;
}

// Drawing ----------------------------------------------------------------------------------------

void Window::setViewsNeedDisplay(bool needsDisplay) { needsDisplay_ = needsDisplay; }

double Window::backingScaleFactor() const {
  return Application::shared().isStarted() ? Application::shared().backend()->backingScaleFactor()
                                           : 1;
}

void Window::drawInto(cairo_surface_t* surface, double scale) {
  cairo_t* cr = cairo_create(surface);
  // Window coordinates: points from the bottom-left corner, y upwards.
  cairo_scale(cr, scale, scale);
  cairo_translate(cr, 0, frame_.height);
  cairo_scale(cr, 1, -1);
  Color background = backgroundColor_;
  if (opaque_) background.alpha = 1;
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_rgba(cr, background.red, background.green, background.blue, background.alpha);
  cairo_paint(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  GraphicsContext context(cr, scale);
  renderView(*frameView_, context, currentMediaTime(), false);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
}

void Window::display() {
  OS_CHECK_ON_MAIN();
  updateAnimations(currentMediaTime());
  double scale = backingScaleFactor();
  int width = std::max(1, int(std::lround(frame_.width * scale)));
  int height = std::max(1, int(std::lround(frame_.height * scale)));
  if (!backing_ || cairo_image_surface_get_width(backing_) != width ||
      cairo_image_surface_get_height(backing_) != height || backingScale_ != scale) {
    if (backing_) cairo_surface_destroy(backing_);
    backing_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    backingScale_ = scale;
  }
  needsDisplay_ = false;
  drawInto(backing_, scale);
  if (backendWindow_) backendWindow_->present(backing_, scale);
}

void Window::displayIfNeeded() {
  if (needsDisplay_ && visible_ && !miniaturized_) display();
}

std::shared_ptr<Image> Window::renderImage(double scale) {
  updateAnimations(currentMediaTime());
  int width = std::max(1, int(std::lround(frame_.width * scale)));
  int height = std::max(1, int(std::lround(frame_.height * scale)));
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  drawInto(surface, scale);
  auto image = Image::fromSurface(surface, scale);
  cairo_surface_destroy(surface);
  return image;
}

}  // namespace os::ui
