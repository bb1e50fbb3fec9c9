// Windows: a rectangle of the screen that shows a tree of views and routes mouse events to it.
//
//   auto window = std::make_shared<os::ui::Window>(os::ui::Rect{200, 200, 600, 400},
//                                                  os::ui::Window::kBorderless);
//   window->setOpaque(false);
//   window->setBackgroundColor(os::ui::Color::clear());
//   window->setHasShadow(true);
//   window->setMovableByWindowBackground(true);
//   window->contentView()->addSubview(panel);
//   window->makeKeyAndOrderFront();
//
// Subclasses change behaviour the way the platform lets them: canBecomeKeyWindow,
// becomeKeyWindow / resignKeyWindow, sendEvent and the mouse handlers (the window is the last
// responder of its views).
//
// Coordinates: the window's frame is in screen points from the screen's bottom-left corner;
// points "in the window" count from the window's bottom-left corner. The application keeps
// every visible window alive; make windows with std::make_shared. Main thread only.
#pragma once

#include <cairo.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "os/ui/backend.h"
#include "os/ui/color.h"
#include "os/ui/cursor.h"
#include "os/ui/geometry.h"
#include "os/ui/image.h"
#include "os/ui/responder.h"
#include "os/ui/view.h"

namespace os::ui {

class Window;
class WindowButton;

// Notifications posted to os::NotificationCenter::defaultCenter() with the window as object.
inline constexpr const char* kWindowDidBecomeKeyNotification = "NSWindowDidBecomeKeyNotification";
inline constexpr const char* kWindowDidResignKeyNotification = "NSWindowDidResignKeyNotification";
inline constexpr const char* kWindowDidBecomeMainNotification = "NSWindowDidBecomeMainNotification";
inline constexpr const char* kWindowDidResignMainNotification = "NSWindowDidResignMainNotification";
inline constexpr const char* kWindowWillCloseNotification = "NSWindowWillCloseNotification";
inline constexpr const char* kWindowDidMiniaturizeNotification =
    "NSWindowDidMiniaturizeNotification";
inline constexpr const char* kWindowDidDeminiaturizeNotification =
    "NSWindowDidDeminiaturizeNotification";
inline constexpr const char* kWindowDidMoveNotification = "NSWindowDidMoveNotification";

// Optional hooks into a window's life; every method has a default.
class WindowDelegate {
 public:
  virtual ~WindowDelegate() = default;
  // Asked by performClose (the close button); false keeps the window open.
  virtual bool windowShouldClose(Window&) { return true; }
  virtual void windowWillClose(Window&) {}
  virtual void windowDidBecomeKey(Window&) {}
  virtual void windowDidResignKey(Window&) {}
  virtual void windowDidMiniaturize(Window&) {}
};

class Window : public Responder, public std::enable_shared_from_this<Window> {
 public:
  // The platform's style bits.
  enum StyleMask : unsigned {
    kBorderless = 0,
    kTitled = 1,
    kClosable = 2,
    kMiniaturizable = 4,
    kResizable = 8,
    kFullSizeContentView = 1u << 15,
  };
  // The platform's title-bar buttons, with its numbers.
  enum class ButtonKind { Close = 0, Miniaturize = 1, Zoom = 2 };
  // Window levels: higher levels stay in front.
  static constexpr int kNormalLevel = 0;
  static constexpr int kFloatingLevel = 3;
  static constexpr int kStatusLevel = 25;
  // Height of the title bar of titled windows.
  static constexpr double kTitleBarHeight = 22;

  // A hidden window whose content area is `contentRect` (screen points). Titled windows get a
  // title bar above it (or over it with kFullSizeContentView) with their standard buttons.
  Window(const Rect& contentRect, unsigned styleMask);
  ~Window() override;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // Appearance ------------------------------------------------------------------------------
  unsigned styleMask() const { return styleMask_; }
  void setStyleMask(unsigned styleMask);
  const std::string& title() const { return title_; }
  void setTitle(std::string title);
  // A non-opaque window shows what is behind it wherever it draws nothing (or translucently).
  bool isOpaque() const { return opaque_; }
  void setOpaque(bool opaque);
  Color backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(Color color);
  bool hasShadow() const { return hasShadow_; }
  void setHasShadow(bool hasShadow) { hasShadow_ = hasShadow; }
  bool titlebarAppearsTransparent() const { return titlebarTransparent_; }
  void setTitlebarAppearsTransparent(bool transparent);
  int level() const { return level_; }
  void setLevel(int level);
  bool isMovableByWindowBackground() const { return movableByBackground_; }
  void setMovableByWindowBackground(bool movable) { movableByBackground_ = movable; }
  // The title bar's close, minimise and zoom buttons of a titled window; null otherwise.
  std::shared_ptr<WindowButton> standardWindowButton(ButtonKind kind) const;
  // A free-standing title-bar button of `kind`, for windows that place their own.
  static std::shared_ptr<WindowButton> makeStandardWindowButton(ButtonKind kind);

  // Geometry --------------------------------------------------------------------------------
  const Rect& frame() const { return frame_; }
  void setFrame(const Rect& frame);
  void setFrameOrigin(Point origin) { setFrame({origin, frame_.size()}); }
  // Centres the window on the screen.
  void center();
  // Toggles between filling the screen and the frame it had before.
  void zoom();
  Point convertPointToScreen(Point point) const;
  Point convertPointFromScreen(Point point) const;

  // Views -----------------------------------------------------------------------------------
  const std::shared_ptr<View>& contentView() const { return contentView_; }
  // Replaces the content view; it is sized to the content area and follows its size.
  void setContentView(std::shared_ptr<View> view);
  // The root of the window's views: the content view and the title bar live in it.
  View* contentFrameView() const { return frameView_.get(); }
  // The first view of the window with `identifier`, or null.
  std::shared_ptr<View> findViewByIdentifier(std::string_view identifier) const;

  // Ordering and status ---------------------------------------------------------------------
  void makeKeyAndOrderFront();
  void orderFront();
  void orderOut();
  bool isVisible() const { return visible_; }
  virtual bool canBecomeKeyWindow() const;
  virtual bool canBecomeMainWindow() const;
  bool isKeyWindow() const { return key_; }
  bool isMainWindow() const { return main_; }
  void makeKeyWindow();
  void makeMainWindow();
  // Called when the window has become key (isKeyWindow() is true) or stopped being key. The
  // base posts the notification and tells the delegate; overrides call it.
  virtual void becomeKeyWindow();
  virtual void resignKeyWindow();
  virtual void becomeMainWindow();
  virtual void resignMainWindow();
  // Child windows (a panel that belongs to this window, such as a licence shown over it): a
  // child is ordered in front of its parent whenever the parent comes to the front, never
  // becomes the main window, so the parent stays main while the child shows, and hands the key
  // status back to the parent when it goes. A child leaves its parent when it closes. The
  // parent does not own its children.
  void addChildWindow(Window& child);
  void removeChildWindow(Window& child);
  // The window this one is a child of, or null.
  Window* parentWindow() const { return parent_.lock().get(); }
  void miniaturize();
  void deminiaturize();
  bool isMiniaturized() const { return miniaturized_; }
  // Asks the delegate, then closes.
  void performClose();
  // Hides the window for good: tells the delegate and observers, gives up key status and
  // leaves the application's window list.
  void close();
  void setDelegate(std::weak_ptr<WindowDelegate> delegate) { delegate_ = std::move(delegate); }

  // Events ----------------------------------------------------------------------------------
  // Routes an event of this window (see View for the rules). Overrides call the base.
  virtual void sendEvent(const Event& event);
  // The end of the responder chain: a press that reached it drags a window movable by its
  // background when the pressed view allows it.
  void mouseDown(const Event& event) override;
  Responder* firstResponder() const { return firstResponder_; }
  bool makeFirstResponder(Responder* responder);
  // Has `tracker` see the drags and the release of the press in progress, before the pressed
  // view does. For views that follow a press through to its end.
  void trackMouseUntilUp(std::function<void(const Event&)> tracker);
  // Where the mouse was last seen, in the window's coordinates.
  Point mouseLocationOutsideOfEventStream() const { return mouseLocation_; }
  // A drop of files at `location` (window coordinates): offered to the view under it that
  // registered for file names; true when it took them.
  bool dropFiles(Point location, std::vector<std::string> filenames);
  // The cursor the window shows now.
  Cursor currentCursor() const { return cursor_; }

  // Drawing ---------------------------------------------------------------------------------
  void setViewsNeedDisplay(bool needsDisplay);
  bool viewsNeedDisplay() const { return needsDisplay_; }
  // Draws every view now and shows the result.
  void display();
  void displayIfNeeded();
  // Pixels per point of the window's backing store.
  double backingScaleFactor() const;
  // What the window showed last (null before the first display).
  cairo_surface_t* backingSurface() const { return backing_; }
  // The window drawn now at `scale` pixels per point (without touching what it shows).
  std::shared_ptr<Image> renderImage(double scale);

  // Rebuilds the tracking areas before the next mouse event (views call it when they move).
  void trackingGeometryChanged() { trackingGeometryChanged_ = true; }

 private:
  class FrameView;
  friend class Application;

  void drawInto(cairo_surface_t* surface, double scale);
  void layoutFrame();
  void updateTracking(const Event& cause, bool moved);
  void updateCursor();
  void postNotification(const char* name);

  unsigned styleMask_;
  std::string title_;
  Rect frame_;
  bool opaque_ = true;
  Color backgroundColor_{236 / 255.0, 236 / 255.0, 236 / 255.0};
  bool hasShadow_ = true;
  bool titlebarTransparent_ = false;
  int level_ = kNormalLevel;
  bool movableByBackground_ = false;
  bool visible_ = false;
  bool key_ = false;
  bool main_ = false;
  bool miniaturized_ = false;
  std::optional<Rect> unzoomedFrame_;
  std::weak_ptr<WindowDelegate> delegate_;
  std::weak_ptr<Window> parent_;
  std::vector<std::weak_ptr<Window>> children_;

  std::shared_ptr<View> frameView_;  // a FrameView
  std::shared_ptr<View> contentView_;
  std::shared_ptr<WindowButton> buttons_[3];

  Responder* firstResponder_ = nullptr;
  std::weak_ptr<View> pressedView_;
  bool pressed_ = false;
  bool draggingWindow_ = false;
  Point dragStartOnScreen_;
  Point dragStartOrigin_;
  std::vector<std::function<void(const Event&)>> mouseTrackers_;
  Point mouseLocation_{-1, -1};
  bool mouseInWindow_ = false;
  bool trackingGeometryChanged_ = true;
  Cursor cursor_ = Cursor::Arrow;

  bool needsDisplay_ = true;
  cairo_surface_t* backing_ = nullptr;
  double backingScale_ = 1;
  std::unique_ptr<BackendWindow> backendWindow_;
};

}  // namespace os::ui
