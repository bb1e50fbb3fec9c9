// Views: a tree of rectangles that draw themselves and take mouse events.
//
//   auto panel = std::make_shared<os::ui::View>(os::ui::Rect{0, 138, 600, 262});
//   panel->setWantsLayer(true);
//   panel->layer()->setBackgroundColor(os::ui::Color::white());
//   window->contentView()->addSubview(panel);
//
// Geometry. A view's frame is in its superview's coordinates; its bounds start at 0, 0. Y grows
// upwards (origin at the bottom-left corner) unless the view is flipped, so frames written for
// the platform keep their meaning. Views clip their drawing and their subviews to their
// bounds.
//
// Drawing. Subclasses override drawRect; the toolkit always redraws a view whole, so the rect
// it is given is the view's bounds. setNeedsDisplay asks the window to draw again.
//
// Events. A press goes to the topmost view under the mouse (hitTest); what it does not handle
// goes up to its superview and then to the window (Responder). Drags and the release go to the
// view that got the press. Tracking areas tell their owner when the mouse enters, leaves or
// moves over a rectangle.
//
// Views are shared: make them with std::make_shared. Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/ui/cursor.h"
#include "os/ui/drawing.h"
#include "os/ui/event.h"
#include "os/ui/geometry.h"
#include "os/ui/layer.h"
#include "os/ui/responder.h"

namespace os::ui {

class Window;

class View : public Responder, public std::enable_shared_from_this<View> {
 public:
  // How a view follows its superview's size changes (the platform's bits).
  enum AutoresizingMask : unsigned {
    kNotSizable = 0,
    kMinXMargin = 1,
    kWidthSizable = 2,
    kMaxXMargin = 4,
    kMinYMargin = 8,
    kHeightSizable = 16,
    kMaxYMargin = 32,
  };
  enum class Ordering { Below, Above };

  explicit View(const Rect& frame = {});
  ~View() override;
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  // Geometry --------------------------------------------------------------------------------
  const Rect& frame() const { return frame_; }
  // Moves and sizes the view; a new size resizes the subviews by their autoresizing masks.
  virtual void setFrame(const Rect& frame);
  void setFrameOrigin(Point origin) { setFrame({origin, frame_.size()}); }
  void setFrameSize(Size size) { setFrame({frame_.origin(), size}); }
  Rect bounds() const { return {0, 0, frame_.width, frame_.height}; }
  // Whether y grows downwards in this view. Subclasses may override.
  virtual bool isFlipped() const { return flipped_; }
  void setFlipped(bool flipped);
  unsigned autoresizingMask() const { return autoresizingMask_; }
  void setAutoresizingMask(unsigned mask) { autoresizingMask_ = mask; }
  // Lays out the subviews after this view's size changed from `oldSize`.
  virtual void resizeSubviewsWithOldSize(Size oldSize);
  // Called before drawing when setNeedsLayout(true) was called; positions subviews.
  virtual void layout() {}
  void setNeedsLayout(bool needsLayout);
  bool needsLayout() const { return needsLayout_; }

  // Tree ------------------------------------------------------------------------------------
  View* superview() const { return superview_; }
  // Back to front.
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  // Adds `view` in front of the other subviews (moving it there when it is one already).
  void addSubview(std::shared_ptr<View> view);
  // Adds `view` just above or below `relativeTo` (in front of or behind all others when null
  // or not a subview).
  void addSubview(std::shared_ptr<View> view, Ordering ordering, const View* relativeTo);
  void removeFromSuperview();
  bool isDescendantOf(const View& ancestor) const;
  // The window this view is shown in, or null.
  Window* window() const;
  // Called after the view joined or left a window (window() tells which).
  virtual void viewDidMoveToWindow() {}

  // Visibility and identity ----------------------------------------------------------------
  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden);
  bool isHiddenOrHasHiddenAncestor() const;
  // True while this view's layer or an ancestor's has an animation that has not stopped: the
  // view may still be on its way to where it stays (a panel that slides in is put in place
  // when its slide ends), so a click on its frame could miss it.
  bool isAnimatingOrHasAnimatingAncestor() const;
  // A stable name by which scripts and tests find the view.
  const std::string& identifier() const { return identifier_; }
  void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }
  // This view or the first descendant (depth first, back to front) with `identifier`.
  std::shared_ptr<View> viewWithIdentifier(std::string_view identifier);

  // Coordinates -----------------------------------------------------------------------------
  // Converts between this view's coordinates and `other`'s (the window's when null). Layer
  // transforms and animations are not taken into account.
  Point convertPointToView(Point point, const View* other) const;
  Point convertPointFromView(Point point, const View* other) const;
  Rect convertRectToView(const Rect& rect, const View* other) const;
  Rect convertRectFromView(const Rect& rect, const View* other) const;
  // The part of the bounds that the superviews do not clip away.
  Rect visibleRect() const;

  // Drawing ---------------------------------------------------------------------------------
  void setNeedsDisplay(bool needsDisplay = true);
  bool needsDisplay() const { return needsDisplay_; }
  // Called just before drawRect.
  virtual void viewWillDraw() {}
  // Draws the view's own content in its coordinates; `dirtyRect` is the bounds.
  virtual void drawRect(GraphicsContext& context, const Rect& dirtyRect);
  // Opaque views fill their bounds, so the window cannot be dragged through them by default.
  virtual bool isOpaque() const { return false; }

  // Layer -----------------------------------------------------------------------------------
  bool wantsLayer() const { return layer_ != nullptr; }
  // Gives the view a layer (kept when set to false again: layer-backed views keep theirs).
  void setWantsLayer(bool wantsLayer);
  // The view's layer, or null until setWantsLayer(true).
  Layer* layer() const { return layer_.get(); }
  // How the view looks in its window's last drawing, at the window's backing scale; null when
  // the window has not drawn it.
  std::shared_ptr<Image> snapshotOnScreen() const;

  // Events ----------------------------------------------------------------------------------
  // The furthest descendant (or this view) under `point`, given in the superview's
  // coordinates; null when the point is outside or the view is hidden.
  virtual View* hitTest(Point point);
  // Whether a press on this view that nobody handles may drag a window movable by its
  // background.
  virtual bool mouseDownCanMoveWindow() const { return !isOpaque(); }
  Responder* nextResponder() const override;
  // The cursor the view wants at `point` (its coordinates); nullopt leaves it to the superview.
  virtual std::optional<Cursor> cursorAt(Point point) const;

  void addTrackingArea(std::shared_ptr<TrackingArea> area);
  void removeTrackingArea(const TrackingArea* area);
  const std::vector<std::shared_ptr<TrackingArea>>& trackingAreas() const { return trackingAreas_; }
  // Called by the window after the view's geometry or place in the tree changed, before the
  // next mouse event, so that the view can rebuild its tracking areas.
  virtual void updateTrackingAreas() {}

  // Dropping files. A view registered for kFilenamesPboardType answers a drag over it; one that
  // is not registered leaves it to its superview; a drop nobody registered for is refused.
  void registerForDraggedTypes(std::vector<std::string> types);
  const std::vector<std::string>& registeredDraggedTypes() const { return draggedTypes_; }
  virtual DragOperation draggingEntered(const DraggingInfo& info);
  virtual DragOperation draggingUpdated(const DraggingInfo& info) { return draggingEntered(info); }
  virtual bool performDragOperation(const DraggingInfo& info);

 private:
  friend class Window;
  friend void renderView(View& view, GraphicsContext& context, double mediaTime,
                         bool superviewFlipped);
  void setWindow(Window* window);
  void markWindowGeometryChanged();
  // The transform from this view's coordinates to the window's.
  AffineTransform transformToWindow() const;

  Rect frame_;
  bool flipped_ = false;
  bool hidden_ = false;
  bool needsDisplay_ = true;
  bool needsLayout_ = false;
  unsigned autoresizingMask_ = kNotSizable;
  std::string identifier_;
  View* superview_ = nullptr;
  Window* window_ = nullptr;  // set on the whole subtree while it is in a window
  std::vector<std::shared_ptr<View>> subviews_;
  std::shared_ptr<Layer> layer_;
  std::vector<std::shared_ptr<TrackingArea>> trackingAreas_;
  std::vector<std::string> draggedTypes_;
};

// Draws `view` and its subviews into `context`, whose user space is the superview's
// coordinates (flipped as `superviewFlipped` says), as they look at `mediaTime`.
void renderView(View& view, GraphicsContext& context, double mediaTime, bool superviewFlipped);

}  // namespace os::ui
