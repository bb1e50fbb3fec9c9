// What a window system gives the toolkit: windows that show pixels, the screen's size, events
// and cursors. The application talks to one back end at a time (SDL2, or headless for tests
// and machines without a display); callers only meet this interface through
// Application::backend(). A back end hands what the window system reports to the event sink it
// was made with (the application), so that it needs to know nothing above itself.
#pragma once

#include <cairo.h>

#include <memory>
#include <string>
#include <vector>

#include "os/ui/cursor.h"
#include "os/ui/event.h"
#include "os/ui/geometry.h"

namespace os::ui {

class Window;

// Error domain of back-end start failures.
inline constexpr const char* kUiErrorDomain = "os.ui";

// Where a back end delivers what the window system reports. Main thread only.
class BackendEventSink {
 public:
  virtual ~BackendEventSink() = default;
  // An input event of one of the toolkit's windows.
  virtual void sendEvent(Window& window, Event event) = 0;
  // The window system asks the application to quit.
  virtual void terminate() = 0;
  // The visible windows, front to back.
  virtual std::vector<std::shared_ptr<Window>> orderedWindows() const = 0;
};

// The window system's side of one toolkit window.
class BackendWindow {
 public:
  virtual ~BackendWindow() = default;
  // Places the window; `screenFrame` is in screen points from the bottom-left corner.
  virtual void setFrame(const Rect& screenFrame) = 0;
  virtual void setVisible(bool visible) = 0;
  // Puts the window in front of the others of its level.
  virtual void raise() = 0;
  // Levels at kFloatingLevel and above stay above normal windows.
  virtual void setLevel(int level) = 0;
  virtual void setTitle(const std::string& title) = 0;
  virtual void minimize() = 0;
  virtual void restore() = 0;
  // Gives the window the keyboard focus.
  virtual void focus() = 0;
  // Shows `backing` (ARGB32, `scale` pixels per point) as the window's content.
  virtual void present(cairo_surface_t* backing, double scale) = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual std::unique_ptr<BackendWindow> createWindow(Window& window) = 0;
  // The main screen, in points, origin at its bottom-left corner.
  virtual Rect screenFrame() const = 0;
  // Pixels per point of the windows' backing stores.
  virtual double backingScaleFactor() const { return 1; }
  // Reads what the window system has pending and hands it to the application; returns how
  // long the run loop may sleep before polling again (0 when more may be pending).
  virtual double pollEvents() = 0;
  // True when events arrived since the last pollEvents (read while drawing, say), so that the
  // loop polls again before it sleeps.
  virtual bool hasPendingEvents() { return false; }
  // A descriptor that becomes readable when the window system has something, or -1.
  virtual int fileDescriptor() const { return -1; }
  virtual void setCursor(Cursor cursor) = 0;
};

}  // namespace os::ui
