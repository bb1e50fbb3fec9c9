#include "os/ui/x_screen_test_util.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <cairo.h>

#include <cstdint>

namespace os::ui::testing {
namespace {

Display* display(void* handle) { return static_cast<Display*>(handle); }

}  // namespace

XScreen::XScreen() : display_(XOpenDisplay(nullptr)) {}

XScreen::~XScreen() {
  if (display_) XCloseDisplay(display(display_));
}

int XScreen::width() const {
  Display* d = display(display_);
  return DisplayWidth(d, DefaultScreen(d));
}

int XScreen::height() const {
  Display* d = display(display_);
  return DisplayHeight(d, DefaultScreen(d));
}

Rgb XScreen::pixel(int x, int y) const {
  Display* d = display(display_);
  XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return {-1, -1, -1};
  unsigned long value = XGetPixel(image, 0, 0);
  XDestroyImage(image);
  return {int((value >> 16) & 0xff), int((value >> 8) & 0xff), int(value & 0xff)};
}

void XScreen::writePNG(int x, int y, int width, int height, const std::string& path) const {
  Display* d = display(display_);
  XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, width, height, AllPlanes, ZPixmap);
  if (!image) return;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  unsigned char* data = cairo_image_surface_get_data(surface);
  int stride = cairo_image_surface_get_stride(surface);
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      reinterpret_cast<uint32_t*>(data + row * stride)[column] =
          uint32_t(XGetPixel(image, column, row) & 0xffffff);
    }
  }
  cairo_surface_mark_dirty(surface);
  cairo_surface_write_to_png(surface, path.c_str());
  cairo_surface_destroy(surface);
  XDestroyImage(image);
}

void XScreen::moveTo(int x, int y) {
  XTestFakeMotionEvent(display(display_), -1, x, y, CurrentTime);
  XFlush(display(display_));
}

void XScreen::button(bool down) {
  XTestFakeButtonEvent(display(display_), 1, down ? True : False, CurrentTime);
  XFlush(display(display_));
}

}  // namespace os::ui::testing
