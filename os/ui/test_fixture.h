// Shared by the toolkit's tests: a fresh headless application per test, windows to draw in and
// pixel probes in window points.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <string_view>

#include "os/dispatch/runloop.h"
#include "os/ui/application.h"
#include "os/ui/backend_headless.h"
#include "os/ui/window.h"
#include "testsupport/run_loop.h"

namespace os::ui::testing {

class HeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application::resetForTesting();
    ASSERT_TRUE(Application::shared().start(Application::BackendKind::Headless));
    screen_ = Application::shared().headlessBackend();
  }
  void TearDown() override { Application::resetForTesting(); }

  // A visible, key borderless window whose content view is `content` points large.
  std::shared_ptr<Window> makeWindow(Size content = {200, 100}, Point origin = {100, 100}) {
    auto window = std::make_shared<KeyableWindow>(Rect(origin, content));
    window->makeKeyAndOrderFront();
    return window;
  }

  // The pixel of `image` (drawn from a window `windowHeight` points high) under the window
  // point `point`.
  static Image::Pixel pixelAt(const Image& image, Point point, double windowHeight) {
    double scale = image.scale();
    return image.pixelAt(int(std::floor(point.x * scale)),
                         int(std::floor((windowHeight - point.y) * scale)));
  }

  Image::Pixel probe(Window& window, Point point, double scale = 1) {
    return pixelAt(*window.renderImage(scale), point, window.frame().height);
  }

  // Runs the main loop until `window` shows a view of `identifier` that no animation moves any
  // more (a panel that slides in takes clicks only then); false once `seconds` have passed.
  static bool runUntilAtRest(Window& window, std::string_view identifier,
                             double seconds = testsupport::kPatience) {
    return testsupport::runUntil(
        [&] {
          auto view = window.findViewByIdentifier(identifier);
          return view && !view->isHiddenOrHasHiddenAncestor() &&
                 !view->isAnimatingOrHasAnimatingAncestor();
        },
        seconds);
  }

  HeadlessBackend* screen_ = nullptr;

 private:
  // Borderless windows refuse key status unless told otherwise, as on the platform.
  class KeyableWindow : public Window {
   public:
    explicit KeyableWindow(const Rect& rect) : Window(rect, kBorderless) {}
    bool canBecomeKeyWindow() const override { return true; }
    bool canBecomeMainWindow() const override { return true; }
  };
};

// Pixel from 0-255 components.
inline Image::Pixel rgb(int red, int green, int blue, int alpha = 255) {
  return {uint8_t(red), uint8_t(green), uint8_t(blue), uint8_t(alpha)};
}

// Colour from 0-255 components.
inline Color color255(int red, int green, int blue) {
  return {red / 255.0, green / 255.0, blue / 255.0, 1};
}

// True when the two pixels differ by at most `tolerance` in every component.
inline bool near(Image::Pixel a, Image::Pixel b, int tolerance = 2) {
  return std::abs(a.red - b.red) <= tolerance && std::abs(a.green - b.green) <= tolerance &&
         std::abs(a.blue - b.blue) <= tolerance && std::abs(a.alpha - b.alpha) <= tolerance;
}

inline std::string describe(const Image::Pixel& pixel) {
  return "(" + std::to_string(pixel.red) + ", " + std::to_string(pixel.green) + ", " +
         std::to_string(pixel.blue) + ", " + std::to_string(pixel.alpha) + ")";
}

// Expects `actual` within `tolerance` of `expected` in every component.
#define EXPECT_PIXEL_NEAR(actual, expected, tolerance)                          \
  do {                                                                          \
    auto pixelActual = (actual);                                                \
    auto pixelExpected = (expected);                                            \
    EXPECT_TRUE(::os::ui::testing::near(pixelActual, pixelExpected, tolerance)) \
        << "got " << ::os::ui::testing::describe(pixelActual) << ", expected "  \
        << ::os::ui::testing::describe(pixelExpected);                          \
  } while (false)

}  // namespace os::ui::testing

namespace os::ui {
// For gtest's messages about pixels.
inline void PrintTo(const Image::Pixel& pixel, std::ostream* out) {
  *out << testing::describe(pixel);
}
}  // namespace os::ui
