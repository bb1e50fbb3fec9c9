// The headless back end: windows live in memory on a virtual screen, input comes from a script,
// and what they show is read back as images (or PNG files). Tests and machines without a
// display use it.
//
//   os::ui::Application::resetForTesting();
//   os::ui::Application::shared().start(os::ui::Application::BackendKind::Headless);
//   auto* screen = os::ui::Application::shared().headlessBackend();
//   window->makeKeyAndOrderFront();
//   screen->mouseMove(*window, {100, 30});
//   screen->click(*window, {100, 30});
//   auto image = screen->render(*window, 2);          // pixels at 2 per point
//   EXPECT_EQ(image->pixelAt(200, 740), (os::ui::Image::Pixel{1, 150, 235, 255}));
//
// Input points are in the window's coordinates (points from its bottom-left corner). While a
// button is held they stay relative to where the window was when it was pressed, as a real
// mouse stays put on the screen while the window under it moves.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "os/ui/backend.h"
#include "os/ui/image.h"
#include "os/ui/window.h"
#include "os/value/error.h"

namespace os::ui {

class HeadlessBackend : public Backend {
 public:
  // A virtual screen of `screen` points whose windows are backed at `scale` pixels per point;
  // input goes to `sink`, which must outlive the back end.
  explicit HeadlessBackend(BackendEventSink& sink, const Rect& screen = {0, 0, 1280, 800},
                           double scale = 1);

  std::unique_ptr<BackendWindow> createWindow(Window& window) override;
  Rect screenFrame() const override { return screen_; }
  double backingScaleFactor() const override { return scale_; }
  void setBackingScaleFactor(double scale) { scale_ = scale; }
  double pollEvents() override;
  void setCursor(Cursor cursor) override { cursor_ = cursor; }
  // The cursor the application asked for last.
  Cursor cursor() const { return cursor_; }

  // Scripted input.
  void mouseMove(Window& window, Point point);
  void mouseDown(Window& window, Point point, int clickCount = 1);
  void mouseDrag(Window& window, Point point);
  void mouseUp(Window& window, Point point, int clickCount = 1);
  void rightMouseDown(Window& window, Point point);
  void rightMouseUp(Window& window, Point point);
  // The mouse leaves the window.
  void mouseExit(Window& window);
  // Moves to `point`, presses and releases with `clickCount`.
  void click(Window& window, Point point, int clickCount = 1);
  // Two clicks: the second press and release carry the click count 2.
  void doubleClick(Window& window, Point point);
  void scroll(Window& window, Point point, double deltaY);
  // Drops files at `point`; true when a view took them.
  bool dropFiles(Window& window, Point point, std::vector<std::string> filenames);
  // Clicks the centre of the visible view with `identifier`; false when there is none.
  bool clickView(Window& window, std::string_view identifier, int clickCount = 1);

  // The window as it looks now, drawn at `scale` pixels per point.
  std::shared_ptr<Image> render(Window& window, double scale = 1);
  // The virtual screen: a grey desktop with the visible windows (and their shadows) in order.
  std::shared_ptr<Image> renderScreen(double scale = 1);
  bool writePNG(Window& window, const std::string& path, double scale = 1, Error* error = nullptr);

 private:
  void send(Window& window, EventType type, Point point, int clickCount, double deltaY = 0);

  BackendEventSink& sink_;
  Rect screen_;
  double scale_;
  Cursor cursor_ = Cursor::Arrow;
  bool pressed_ = false;
  Point pressOrigin_;
};

}  // namespace os::ui
