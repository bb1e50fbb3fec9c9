// For tests of real windows: reads the X display's pixels and drives its pointer through the
// XTEST extension. Kept apart so that Xlib's macros stay out of the tests' own code.
#pragma once

#include <string>

namespace os::ui::testing {

struct Rgb {
  int red, green, blue;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

class XScreen {
 public:
  // Opens the display named by DISPLAY.
  XScreen();
  ~XScreen();
  XScreen(const XScreen&) = delete;
  XScreen& operator=(const XScreen&) = delete;

  bool isOpen() const { return display_ != nullptr; }
  // The default screen's size in pixels.
  int width() const;
  int height() const;
  // The screen's pixel at (x, y) from its top-left corner; -1s when it cannot be read.
  Rgb pixel(int x, int y) const;
  // Writes the screen's `width` x `height` pixels at (x, y) as a PNG, for people to look at.
  void writePNG(int x, int y, int width, int height, const std::string& path) const;
  // Real pointer input, as a person's mouse gives it.
  void moveTo(int x, int y);
  void button(bool down);

 private:
  void* display_;  // Display*
};

}  // namespace os::ui::testing
