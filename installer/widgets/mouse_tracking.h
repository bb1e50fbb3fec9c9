// How the installer's widgets follow the mouse: the states they remember, as the
// four-character codes they are known by (first character in the most significant byte), and
// the tracking area they keep while their window is key.
//
//   void MyWidget::updateTrackingAreas() { trackMouseInKeyWindow(*this, trackingArea_); }
#pragma once

#include <cstdint>
#include <memory>

#include "os/ui/view.h"

constexpr int32_t fourCharCode(const char (&code)[5]) {
  return int32_t(uint32_t(uint8_t(code[0])) << 24 | uint32_t(uint8_t(code[1])) << 16 |
                 uint32_t(uint8_t(code[2])) << 8 | uint32_t(uint8_t(code[3])));
}

enum class MouseState : int32_t {
  None = 0,
  Entered = fourCharCode("mset"),
  Down = fourCharCode("msdn"),
  Up = fourCharCode("msup"),
  Exited = fourCharCode("msot"),
};

// Replaces `area` on `view` by a new one over the view's visible part that reports the mouse
// entering and leaving to `view` while its window is key.
inline void trackMouseInKeyWindow(os::ui::View& view, std::shared_ptr<os::ui::TrackingArea>& area) {
  if (area) view.removeTrackingArea(area.get());
  area = std::make_shared<os::ui::TrackingArea>(os::ui::Rect{},
                                                os::ui::TrackingArea::kMouseEnteredAndExited |
                                                    os::ui::TrackingArea::kActiveInKeyWindow |
                                                    os::ui::TrackingArea::kInVisibleRect,
                                                &view);
  view.addTrackingArea(area);
}
