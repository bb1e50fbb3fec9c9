// Mouse events, tracking areas and drag information, with the platform's numbers.
//
//   auto area = std::make_shared<os::ui::TrackingArea>(
//       os::ui::Rect{}, os::ui::TrackingArea::kMouseEnteredAndExited |
//                           os::ui::TrackingArea::kActiveInKeyWindow |
//                           os::ui::TrackingArea::kInVisibleRect,
//       this);
//   addTrackingArea(area);   // this->mouseEntered / mouseExited follow the mouse
#pragma once

#include <string>
#include <vector>

#include "os/ui/geometry.h"
#include "os/value/value.h"

namespace os::ui {

class Responder;
class TrackingArea;
class Window;

// The platform's event types, with its numbers.
enum class EventType {
  LeftMouseDown = 1,
  LeftMouseUp = 2,
  RightMouseDown = 3,
  RightMouseUp = 4,
  MouseMoved = 5,
  LeftMouseDragged = 6,
  RightMouseDragged = 7,
  MouseEntered = 8,
  MouseExited = 9,
  ScrollWheel = 22,
};

struct Event {
  EventType type = EventType::MouseMoved;
  // Where the mouse is, in the window's coordinates (points from its bottom-left corner).
  Point locationInWindow;
  // Where the mouse is on the screen (points from the screen's bottom-left corner).
  Point locationOnScreen;
  // 1 for a single click, 2 for the second press or release of a double click, ...
  int clickCount = 0;
  // Seconds on the monotonic clock.
  double timestamp = 0;
  Window* window = nullptr;
  // The area that the entered, exited or moved event is about; null for other events.
  TrackingArea* trackingArea = nullptr;
  // Scrolled points (positive: content moves down / right).
  double scrollingDeltaX = 0;
  double scrollingDeltaY = 0;
};

// A rectangle of a view whose owner hears when the mouse enters, leaves or moves in it.
class TrackingArea {
 public:
  // The platform's option bits.
  enum Options : unsigned {
    kMouseEnteredAndExited = 0x01,
    kMouseMoved = 0x02,
    kCursorUpdate = 0x04,
    kActiveWhenFirstResponder = 0x10,
    kActiveInKeyWindow = 0x20,
    kActiveInActiveApp = 0x40,
    kActiveAlways = 0x80,
    kAssumeInside = 0x100,
    kInVisibleRect = 0x200,
    kEnabledDuringMouseDrag = 0x400,
  };

  // `rect` is in the coordinates of the view the area is added to (ignored with
  // kInVisibleRect, which follows the view's visible part). `owner` (not owned) receives the
  // events and must outlive the area's membership of its view.
  TrackingArea(Rect rect, unsigned options, Responder* owner, Value userInfo = {})
      : rect_(rect),
        options_(options),
        owner_(owner),
        userInfo_(std::move(userInfo)),
        inside_(options & kAssumeInside) {}

  const Rect& rect() const { return rect_; }
  unsigned options() const { return options_; }
  Responder* owner() const { return owner_; }
  const Value& userInfo() const { return userInfo_; }
  // Whether the mouse was inside at the last update.
  bool isMouseInside() const { return inside_; }

 private:
  friend class Window;
  Rect rect_;
  unsigned options_;
  Responder* owner_;
  Value userInfo_;
  bool inside_;
};

// The platform's drag operations, with its numbers.
enum class DragOperation { None = 0, Copy = 1, Link = 2, Generic = 4, Move = 16 };

// Pasteboard type of dragged file names.
inline constexpr const char* kFilenamesPboardType = "NSFilenamesPboardType";
// Pasteboard type of dragged file promises.
inline constexpr const char* kFilesPromisePboardType = "NSFilesPromisePboardType";

// What is dragged over a window.
struct DraggingInfo {
  Point locationInWindow;
  std::vector<std::string> filenames;
};

}  // namespace os::ui
