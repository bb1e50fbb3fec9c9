// The mouse pointer shapes a view can ask for. The window shows the cursor of the view under
// the mouse (View::cursorAt); the SDL back end maps them to the system's cursors.
#pragma once

namespace os::ui {

enum class Cursor {
  Arrow,
  IBeam,
  PointingHand,
  Crosshair,
  ResizeLeftRight,
  ResizeUpDown,
  OperationNotAllowed,
};

}  // namespace os::ui
