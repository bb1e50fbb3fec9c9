#include "os/ui/backend_sdl.h"

#include <SDL2/SDL.h>

#include <cmath>
#include <map>

#include "os/dispatch/dispatch.h"
#include "os/process/clock.h"
#include "os/ui/window.h"

// Last: it brings in Xlib, whose macros (None, Above, ...) would break the toolkit's headers.
#include <SDL2/SDL_syswm.h>

namespace os::ui {
namespace {

class SdlBackend;

class SdlWindow : public BackendWindow {
 public:
  SdlWindow(SdlBackend& backend, Window& window, SDL_Window* sdlWindow)
      : backend_(&backend), window_(window), sdlWindow_(sdlWindow) {}
  ~SdlWindow() override;

  void setFrame(const Rect& screenFrame) override;
  void setVisible(bool visible) override {
    if (!sdlWindow_) return;
    visible ? SDL_ShowWindow(sdlWindow_) : SDL_HideWindow(sdlWindow_);
  }
  void raise() override {
    if (sdlWindow_) SDL_RaiseWindow(sdlWindow_);
  }
  void setLevel(int level) override {
    if (sdlWindow_) {
      SDL_SetWindowAlwaysOnTop(sdlWindow_, level >= Window::kFloatingLevel ? SDL_TRUE : SDL_FALSE);
    }
  }
  void setTitle(const std::string& title) override {
    if (sdlWindow_) SDL_SetWindowTitle(sdlWindow_, title.c_str());
  }
  void minimize() override {
    if (sdlWindow_) SDL_MinimizeWindow(sdlWindow_);
  }
  void restore() override {
    if (sdlWindow_) SDL_RestoreWindow(sdlWindow_);
  }
  void focus() override {
    if (sdlWindow_) SDL_SetWindowInputFocus(sdlWindow_);
  }
  void present(cairo_surface_t* backing, double scale) override;

  Window& window() { return window_; }
  // Called when the back end goes first: the SDL window goes with it.
  void detach();

 private:
  SdlBackend* backend_;
  Window& window_;
  SDL_Window* sdlWindow_;
};

class SdlBackend : public Backend {
 public:
  explicit SdlBackend(BackendEventSink& sink) : sink_(sink) {}
  ~SdlBackend() override {
    for (auto& [id, window] : windows_) window->detach();
    for (auto& [kind, cursor] : cursors_) SDL_FreeCursor(cursor);
    SDL_Quit();
  }

  std::unique_ptr<BackendWindow> createWindow(Window& window) override {
    Rect frame = window.frame();
    SDL_Window* sdlWindow =
        SDL_CreateWindow(window.title().c_str(), int(frame.x),
                         int(screenFrame().height - frame.maxY()), std::max(1, int(frame.width)),
                         std::max(1, int(frame.height)), SDL_WINDOW_HIDDEN | SDL_WINDOW_BORDERLESS);
    auto made = std::make_unique<SdlWindow>(*this, window, sdlWindow);
    if (sdlWindow) {
      windows_[SDL_GetWindowID(sdlWindow)] = made.get();
      if (fd_ < 0) fd_ = connectionDescriptor(sdlWindow);
    }
    return made;
  }

  void forget(SDL_Window* sdlWindow) { windows_.erase(SDL_GetWindowID(sdlWindow)); }

  Rect screenFrame() const override {
    SDL_Rect bounds;
    if (SDL_GetDisplayBounds(0, &bounds) != 0) return {0, 0, 1280, 800};
    return {0, 0, double(bounds.w), double(bounds.h)};
  }

  double pollEvents() override {
    SDL_Event event;
    while (SDL_PollEvent(&event)) dispatch(event);
    followDrag();
    // Without a descriptor to wait on, look again soon.
    return fd_ >= 0 ? kWaitForever : 0.01;
  }

  bool hasPendingEvents() override {
    SDL_PumpEvents();
    return SDL_HasEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
  }

  int fileDescriptor() const override { return fd_; }

  void setCursor(Cursor cursor) override {
    SDL_Cursor*& made = cursors_[cursor];
    if (!made) made = SDL_CreateSystemCursor(systemCursor(cursor));
    if (made) SDL_SetCursor(made);
  }

 private:
  BackendEventSink& sink_;

  static int connectionDescriptor(SDL_Window* sdlWindow) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(sdlWindow, &info)) return -1;
#if defined(SDL_VIDEO_DRIVER_X11)
    if (info.subsystem == SDL_SYSWM_X11) return ConnectionNumber(info.info.x11.display);
#endif
    return -1;
  }

  static SDL_SystemCursor systemCursor(Cursor cursor) {
    switch (cursor) {
      case Cursor::IBeam:
        return SDL_SYSTEM_CURSOR_IBEAM;
      case Cursor::PointingHand:
        return SDL_SYSTEM_CURSOR_HAND;
      case Cursor::Crosshair:
        return SDL_SYSTEM_CURSOR_CROSSHAIR;
      case Cursor::ResizeLeftRight:
        return SDL_SYSTEM_CURSOR_SIZEWE;
      case Cursor::ResizeUpDown:
        return SDL_SYSTEM_CURSOR_SIZENS;
      case Cursor::OperationNotAllowed:
        return SDL_SYSTEM_CURSOR_NO;
      case Cursor::Arrow:
        break;
    }
    return SDL_SYSTEM_CURSOR_ARROW;
  }

  Window* windowFor(Uint32 id) {
    auto found = windows_.find(id);
    return found == windows_.end() ? nullptr : &found->second->window();
  }

  // The mouse on the screen now, in points from the bottom-left corner. Drags read it from the
  // server: the window-relative positions of their events go stale while the window moves.
  Point mouseOnScreen() const {
    int x = 0, y = 0;
    SDL_GetGlobalMouseState(&x, &y);
    return {double(x), screenFrame().height - y};
  }

  // Where a window-relative event position (from the top-left corner) lies on the screen; exact
  // while the window stands still.
  static Point onScreen(const Window& window, int x, int y) {
    return window.convertPointToScreen({double(x), window.frame().height - y});
  }

  void send(Window& window, EventType type, Point locationOnScreen, int clickCount = 0,
            double deltaY = 0) {
    Event event;
    event.type = type;
    event.locationOnScreen = locationOnScreen;
    event.clickCount = clickCount;
    event.timestamp = os::clock::monotonic();
    event.scrollingDeltaY = deltaY;
    sink_.sendEvent(window, event);
  }

  void dispatch(const SDL_Event& event) {
    switch (event.type) {
      case SDL_MOUSEMOTION:
        if (Window* window = windowFor(event.motion.windowID)) {
          EventType type = (event.motion.state & SDL_BUTTON_LMASK)   ? EventType::LeftMouseDragged
                           : (event.motion.state & SDL_BUTTON_RMASK) ? EventType::RightMouseDragged
                                                                     : EventType::MouseMoved;
          bool dragging = type != EventType::MouseMoved;
          Point where =
              dragging ? mouseOnScreen() : onScreen(*window, event.motion.x, event.motion.y);
          if (type == EventType::LeftMouseDragged) lastDrag_ = where;
          send(*window, type, where);
        }
        break;
      case SDL_MOUSEBUTTONDOWN:
      case SDL_MOUSEBUTTONUP:
        if (Window* window = windowFor(event.button.windowID)) {
          bool down = event.type == SDL_MOUSEBUTTONDOWN;
          // Keep receiving motion while a button is held outside the window.
          SDL_CaptureMouse(down ? SDL_TRUE : SDL_FALSE);
          bool left = event.button.button == SDL_BUTTON_LEFT;
          if (left) pressedWindow_ = down ? event.button.windowID : 0;
          // A press starts where it happened; a release ends where the drags went.
          Point where = down ? onScreen(*window, event.button.x, event.button.y) : mouseOnScreen();
          if (event.button.button == SDL_BUTTON_LEFT) {
            send(*window, down ? EventType::LeftMouseDown : EventType::LeftMouseUp, where,
                 event.button.clicks);
          } else if (event.button.button == SDL_BUTTON_RIGHT) {
            send(*window, down ? EventType::RightMouseDown : EventType::RightMouseUp, where,
                 event.button.clicks);
          }
        }
        break;
      case SDL_MOUSEWHEEL:
        if (Window* window = windowFor(event.wheel.windowID)) {
          send(*window, EventType::ScrollWheel, mouseOnScreen(), 0, event.wheel.preciseY * 10);
        }
        break;
      case SDL_WINDOWEVENT:
        if (Window* window = windowFor(event.window.windowID)) windowEvent(*window, event.window);
        break;
      case SDL_DROPFILE:
        if (Window* window = windowFor(event.drop.windowID)) {
          std::string file = event.drop.file ? event.drop.file : "";
          window->dropFiles(window->convertPointFromScreen(mouseOnScreen()), {file});
        }
        SDL_free(event.drop.file);
        break;
      case SDL_QUIT:
        sink_.terminate();
        break;
      default:
        break;
    }
  }

  void windowEvent(Window& window, const SDL_WindowEvent& event) {
    switch (event.event) {
      case SDL_WINDOWEVENT_ENTER:
        // The motion events that follow carry the position; the pointer may be elsewhere by now.
        send(window, EventType::MouseEntered,
             window.convertPointToScreen(window.mouseLocationOutsideOfEventStream()));
        break;
      case SDL_WINDOWEVENT_LEAVE:
        send(window, EventType::MouseExited,
             window.convertPointToScreen(window.mouseLocationOutsideOfEventStream()));
        break;
      case SDL_WINDOWEVENT_EXPOSED:
        window.setViewsNeedDisplay(true);
        break;
      case SDL_WINDOWEVENT_FOCUS_GAINED:
        window.makeKeyWindow();
        break;
      case SDL_WINDOWEVENT_CLOSE:
        window.performClose();
        break;
      default:
        break;
    }
  }

  // SDL drops motion whose position in the window did not change, which is every motion of a
  // window dragged along with the pointer: follow the pointer itself while the left button is
  // held.
  void followDrag() {
    Window* window = pressedWindow_ ? windowFor(pressedWindow_) : nullptr;
    if (!window) return;
    Point where = mouseOnScreen();
    if (where == lastDrag_) return;
    lastDrag_ = where;
    send(*window, EventType::LeftMouseDragged, where);
  }

  std::map<Uint32, SdlWindow*> windows_;
  Uint32 pressedWindow_ = 0;  // the window of the left button's press, while it is held
  Point lastDrag_{-1, -1};
  std::map<Cursor, SDL_Cursor*> cursors_;
  int fd_ = -1;
};

SdlWindow::~SdlWindow() {
  if (!sdlWindow_) return;
  if (backend_) backend_->forget(sdlWindow_);
  SDL_DestroyWindow(sdlWindow_);
}

void SdlWindow::detach() {
  if (sdlWindow_) SDL_DestroyWindow(sdlWindow_);
  sdlWindow_ = nullptr;
  backend_ = nullptr;
}

void SdlWindow::setFrame(const Rect& screenFrame) {
  if (!sdlWindow_ || !backend_) return;
  double screenHeight = backend_->screenFrame().height;
  SDL_SetWindowPosition(sdlWindow_, int(std::lround(screenFrame.x)),
                        int(std::lround(screenHeight - screenFrame.maxY())));
  SDL_SetWindowSize(sdlWindow_, std::max(1, int(std::lround(screenFrame.width))),
                    std::max(1, int(std::lround(screenFrame.height))));
}

void SdlWindow::present(cairo_surface_t* backing, double) {
  if (!sdlWindow_) return;
  SDL_Surface* surface = SDL_GetWindowSurface(sdlWindow_);
  if (!surface) return;
  int width = std::min(surface->w, cairo_image_surface_get_width(backing));
  int height = std::min(surface->h, cairo_image_surface_get_height(backing));
  if (SDL_MUSTLOCK(surface)) SDL_LockSurface(surface);
  // Premultiplied pixels shown as they are: translucent parts appear over black, as on an X
  // server without a compositor.
  SDL_ConvertPixels(width, height, SDL_PIXELFORMAT_ARGB8888, cairo_image_surface_get_data(backing),
                    cairo_image_surface_get_stride(backing), surface->format->format,
                    surface->pixels, surface->pitch);
  if (SDL_MUSTLOCK(surface)) SDL_UnlockSurface(surface);
  SDL_UpdateWindowSurface(sdlWindow_);
}

}  // namespace

std::unique_ptr<Backend> makeSdlBackend(BackendEventSink& sink, Error* error) {
  SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
  SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
  SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
  // The toolkit draws every pixel itself: show them through the window system's own
  // framebuffer rather than an OpenGL texture, which needs no GPU driver.
  SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    fail(error, Error(kUiErrorDomain, 1, std::string("SDL2 cannot start: ") + SDL_GetError()));
    return nullptr;
  }
  // Without a window system SDL2 falls back to drivers that show nothing to anyone (a bare
  // framebuffer, an off-screen one): those are the headless back end's job.
  std::string driver = SDL_GetCurrentVideoDriver() ? SDL_GetCurrentVideoDriver() : "";
  if (driver != "x11" && driver != "wayland") {
    SDL_Quit();
    fail(error, Error(kUiErrorDomain, 1, "SDL2 found no window system (only \"" + driver + "\")"));
    return nullptr;
  }
  return std::make_unique<SdlBackend>(sink);
}

}  // namespace os::ui
