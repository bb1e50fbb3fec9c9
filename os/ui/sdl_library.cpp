// The SDL2 functions the SDL back end calls, loaded from libSDL2 only when that back end starts.
// Linking SDL2 would map it and the forty libraries it needs (sound servers, Wayland, DRM,
// codecs) into every launch, the headless ones included, where the dynamic loader's work on them
// was a large part of the time to the first screen. Each function here has the signature the
// SDL2 headers declare and passes its call on to the library's own.
//
// When the library cannot be loaded the back end's first calls fail as SDL2 would
// (SDL_InitSubSystem returns −1 and SDL_GetError says why), so starting the SDL back end reports
// an error and the automatic choice falls back to the headless one. Main thread only, as the
// back end is.
#include <SDL2/SDL.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Last: it brings in Xlib.
#include <SDL2/SDL_syswm.h>

namespace {

constexpr const char* kLibraryName = "libSDL2-2.0.so.0";

struct Library {
  void* handle = nullptr;
  std::string error;
};

const Library& library() {
  static const Library loaded = [] {
    Library library;
    library.handle = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (!library.handle) {
      const char* reason = dlerror();
      library.error = std::string("cannot load ") + kLibraryName + ": " + (reason ? reason : "");
    }
    return library;
  }();
  return loaded;
}

bool loaded() { return library().handle != nullptr; }

// The library's own `name`. Only called once the library has loaded; a library without one of
// the functions its headers promise is broken beyond recovery.
template <typename Function>
Function symbol(const char* name) {
  void* address = loaded() ? dlsym(library().handle, name) : nullptr;
  if (!address) {
    std::fprintf(stderr, "%s has no %s\n", kLibraryName, name);
    std::abort();
  }
  return reinterpret_cast<Function>(address);
}

}  // namespace

// The library's function of the same name, looked up once.
#define SDL_REAL(name)                                             \
  ([] {                                                            \
    static const auto function = symbol<decltype(&::name)>(#name); \
    return function;                                               \
  }())

// The calls that start the back end: they fail as SDL2 does when the library is missing.
SDL_bool SDL_SetHint(const char* name, const char* value) {
  return loaded() ? SDL_REAL(SDL_SetHint)(name, value) : SDL_FALSE;
}
int SDL_InitSubSystem(Uint32 flags) { return loaded() ? SDL_REAL(SDL_InitSubSystem)(flags) : -1; }
const char* SDL_GetError(void) {
  return loaded() ? SDL_REAL(SDL_GetError)() : library().error.c_str();
}

// The rest run only once the back end has started.
const char* SDL_GetCurrentVideoDriver(void) { return SDL_REAL(SDL_GetCurrentVideoDriver)(); }
void SDL_Quit(void) { SDL_REAL(SDL_Quit)(); }
void SDL_free(void* memory) { SDL_REAL(SDL_free)(memory); }
int SDL_GetDisplayBounds(int displayIndex, SDL_Rect* rect) {
  return SDL_REAL(SDL_GetDisplayBounds)(displayIndex, rect);
}

SDL_Window* SDL_CreateWindow(const char* title, int x, int y, int w, int h, Uint32 flags) {
  return SDL_REAL(SDL_CreateWindow)(title, x, y, w, h, flags);
}
void SDL_DestroyWindow(SDL_Window* window) { SDL_REAL(SDL_DestroyWindow)(window); }
Uint32 SDL_GetWindowID(SDL_Window* window) { return SDL_REAL(SDL_GetWindowID)(window); }
SDL_bool SDL_GetWindowWMInfo(SDL_Window* window, SDL_SysWMinfo* info) {
  return SDL_REAL(SDL_GetWindowWMInfo)(window, info);
}
void SDL_ShowWindow(SDL_Window* window) { SDL_REAL(SDL_ShowWindow)(window); }
void SDL_HideWindow(SDL_Window* window) { SDL_REAL(SDL_HideWindow)(window); }
void SDL_RaiseWindow(SDL_Window* window) { SDL_REAL(SDL_RaiseWindow)(window); }
void SDL_MinimizeWindow(SDL_Window* window) { SDL_REAL(SDL_MinimizeWindow)(window); }
void SDL_RestoreWindow(SDL_Window* window) { SDL_REAL(SDL_RestoreWindow)(window); }
int SDL_SetWindowInputFocus(SDL_Window* window) {
  return SDL_REAL(SDL_SetWindowInputFocus)(window);
}
void SDL_SetWindowAlwaysOnTop(SDL_Window* window, SDL_bool onTop) {
  SDL_REAL(SDL_SetWindowAlwaysOnTop)(window, onTop);
}
void SDL_SetWindowTitle(SDL_Window* window, const char* title) {
  SDL_REAL(SDL_SetWindowTitle)(window, title);
}
void SDL_SetWindowPosition(SDL_Window* window, int x, int y) {
  SDL_REAL(SDL_SetWindowPosition)(window, x, y);
}
void SDL_SetWindowSize(SDL_Window* window, int w, int h) {
  SDL_REAL(SDL_SetWindowSize)(window, w, h);
}

SDL_Surface* SDL_GetWindowSurface(SDL_Window* window) {
  return SDL_REAL(SDL_GetWindowSurface)(window);
}
int SDL_UpdateWindowSurface(SDL_Window* window) {
  return SDL_REAL(SDL_UpdateWindowSurface)(window);
}
int SDL_LockSurface(SDL_Surface* surface) { return SDL_REAL(SDL_LockSurface)(surface); }
void SDL_UnlockSurface(SDL_Surface* surface) { SDL_REAL(SDL_UnlockSurface)(surface); }
int SDL_ConvertPixels(int width, int height, Uint32 sourceFormat, const void* source,
                      int sourcePitch, Uint32 destinationFormat, void* destination,
                      int destinationPitch) {
  return SDL_REAL(SDL_ConvertPixels)(width, height, sourceFormat, source, sourcePitch,
                                     destinationFormat, destination, destinationPitch);
}

void SDL_PumpEvents(void) { SDL_REAL(SDL_PumpEvents)(); }
int SDL_PollEvent(SDL_Event* event) { return SDL_REAL(SDL_PollEvent)(event); }
SDL_bool SDL_HasEvents(Uint32 minType, Uint32 maxType) {
  return SDL_REAL(SDL_HasEvents)(minType, maxType);
}
Uint32 SDL_GetGlobalMouseState(int* x, int* y) { return SDL_REAL(SDL_GetGlobalMouseState)(x, y); }
int SDL_CaptureMouse(SDL_bool enabled) { return SDL_REAL(SDL_CaptureMouse)(enabled); }
SDL_Cursor* SDL_CreateSystemCursor(SDL_SystemCursor id) {
  return SDL_REAL(SDL_CreateSystemCursor)(id);
}
void SDL_SetCursor(SDL_Cursor* cursor) { SDL_REAL(SDL_SetCursor)(cursor); }
void SDL_FreeCursor(SDL_Cursor* cursor) { SDL_REAL(SDL_FreeCursor)(cursor); }
