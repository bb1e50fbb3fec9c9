// The SDL2 back end: real windows on the display (X11 through SDL2), their mouse input and
// cursors. Windows are borderless SDL windows: the toolkit draws title bars itself, and a
// window without a window manager (Xvfb) is moved by the toolkit's own background dragging.
#pragma once

#include <memory>

#include "os/ui/backend.h"
#include "os/value/error.h"

namespace os::ui {

// Starts SDL2's video subsystem, delivering to `sink` (which must outlive the back end); null
// and `error` when there is no display to open.
std::unique_ptr<Backend> makeSdlBackend(BackendEventSink& sink, Error* error);

}  // namespace os::ui
