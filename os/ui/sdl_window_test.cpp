// Real windows on an X display through SDL2: what they show is read back from the X server,
// and the mouse is driven through the XTEST extension. Skipped without a display.
#include <gtest/gtest.h>

#include <functional>

#include "os/dispatch/runloop.h"
#include "os/ui/application.h"
#include "os/ui/button.h"
#include "os/ui/label.h"
#include "os/ui/sdl_test_fixture.h"
#include "os/ui/text_view.h"
#include "testsupport/run_loop.h"

namespace os::ui {
namespace {

using testsupport::runUntil;

class SdlWindowTest : public testing::SdlTest {};

// A window that takes key status and records hovering.
class GalleryWindow : public Window {
 public:
  using Window::Window;
  bool canBecomeKeyWindow() const override { return true; }
};

class HoverView : public View {
 public:
  using View::View;
  void mouseEntered(const Event&) override { ++entered; }
  void mouseExited(const Event&) override { ++exited; }
  int entered = 0;
  int exited = 0;
};

TEST_F(SdlWindowTest, GalleryShowsOnTheDisplayAndTakesRealInput) {
  constexpr int kLeft = 60, kTop = 50, kWidth = 360, kHeight = 240;
  auto window =
      std::make_shared<GalleryWindow>(frameAt(kLeft, kTop, kWidth, kHeight), Window::kBorderless);
  window->setMovableByWindowBackground(true);
  auto content = window->contentView();
  content->setWantsLayer(true);
  content->layer()->setBackgroundColor(Color::white());

  auto card = std::make_shared<HoverView>(Rect{20, 140, 150, 80});
  card->setWantsLayer(true);
  card->layer()->setBackgroundColor(Color{1 / 255.0, 150 / 255.0, 235 / 255.0});
  card->layer()->setCornerRadius(6);
  card->addTrackingArea(std::make_shared<TrackingArea>(Rect{},
                                                       TrackingArea::kMouseEnteredAndExited |
                                                           TrackingArea::kActiveAlways |
                                                           TrackingArea::kInVisibleRect,
                                                       card.get()));
  content->addSubview(card);

  auto title = std::make_shared<Label>(Rect{190, 190, 160, 24}, "Install Brevalo");
  title->setFont(Font::named("Helvetica Neue Bold", 16));
  content->addSubview(title);
  auto japanese = std::make_shared<Label>(Rect{190, 160, 160, 24}, "インストール");
  japanese->setFont(Font::named("Helvetica Neue", 14));
  content->addSubview(japanese);

  int clicks = 0;
  auto install = std::make_shared<Button>(Rect{20, 80, 150, 32}, "Install");
  install->setIdentifier("installButton");
  install->setAction([&](Control&) { ++clicks; });
  content->addSubview(install);
  auto agree = std::make_shared<Button>(Rect{190, 86, 160, 20}, "I agree");
  agree->setButtonType(Button::Type::Switch);
  content->addSubview(agree);

  auto text = std::make_shared<TextView>(Rect{20, 20, 320, 40});
  TextAttributes base;
  base.font = Font::named("Helvetica Neue", 13);
  AttributedString message("Read the licence agreement first.", base);
  TextAttributes link;
  link.link = "licence agreement";
  message.addAttributes(link, text::rangeOf(message.string(), "licence agreement"));
  text->setAttributedString(message);
  text->setDrawsBackground(false);
  content->addSubview(text);

  window->makeKeyAndOrderFront();
  // Card: window points (20, 140)-(170, 220), that is screen pixels from the window's top.
  int cardX = kLeft + 95, cardY = kTop + (kHeight - 180);
  ASSERT_TRUE(runUntil([&] {
    return x_.pixel(cardX, cardY) == (testing::Rgb{1, 150, 235});
  })) << "the window never showed its card";
  EXPECT_EQ(x_.pixel(kLeft + 5, kTop + 5), (testing::Rgb{255, 255, 255}));
  // The label drew dark glyphs somewhere in its box.
  bool glyphs = false;
  for (int column = kLeft + 192; column < kLeft + 300 && !glyphs; ++column) {
    for (int row = kTop + 28; row < kTop + 48 && !glyphs; ++row) {
      glyphs = x_.pixel(column, row).red < 100;
    }
  }
  EXPECT_TRUE(glyphs);
  x_.writePNG(kLeft, kTop, kWidth, kHeight, ::testing::TempDir() + "/ui_sdl_gallery.png");

  // Hovering with the real pointer enters and leaves the card's tracking area.
  x_.moveTo(kLeft + 5, kTop + 5);
  x_.moveTo(cardX, cardY);
  EXPECT_TRUE(runUntil([&] { return card->entered == 1; }));
  x_.moveTo(kLeft + 300, kTop + 120);
  EXPECT_TRUE(runUntil([&] { return card->exited == 1; }));

  // A real click on the button acts once.
  int buttonX = kLeft + 95, buttonY = kTop + (kHeight - 96);
  x_.moveTo(buttonX, buttonY);
  x_.button(true);
  x_.button(false);
  EXPECT_TRUE(runUntil([&] { return clicks == 1; }));

  // Dragging the background moves the window (there is no window manager to do it).
  Point origin = window->frame().origin();
  x_.moveTo(kLeft + 300, kTop + 120);
  x_.button(true);
  RunLoop::main().runUntil([] { return false; }, 0.05);  // let the press arrive
  for (int step = 1; step <= 5; ++step) {
    x_.moveTo(kLeft + 300 + 8 * step, kTop + 120 + 6 * step);
    RunLoop::main().runUntil([] { return false; }, 0.02);
  }
  x_.button(false);
  EXPECT_TRUE(runUntil([&] {
    return window->frame().origin() == Point{origin.x + 40, origin.y - 30};
  })) << window->frame().x
      << "," << window->frame().y << " from " << origin.x << "," << origin.y;
  EXPECT_TRUE(runUntil([&] {
    return x_.pixel(cardX + 40, cardY + 30) == (testing::Rgb{1, 150, 235});
  }));
}

}  // namespace
}  // namespace os::ui
