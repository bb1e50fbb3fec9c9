// The installer's widgets in a real window on an X display through SDL2: what they show is read
// back from the X server and the pointer is driven through XTEST. Skipped without a display.
#include <gtest/gtest.h>

#include <functional>

#include "installer/widgets/border_rect_and_color_view.h"
#include "installer/widgets/can_click_text.h"
#include "installer/widgets/download_progress_view.h"
#include "installer/widgets/gridient_button.h"
#include "installer/widgets/no_title_bar_window.h"
#include "installer/widgets/white_view.h"
#include "installer/widgets/widget_color.h"
#include "os/dispatch/runloop.h"
#include "os/ui/application.h"
#include "os/ui/sdl_test_fixture.h"
#include "testsupport/run_loop.h"

namespace {

using os::ui::Rect;
using os::ui::testing::Rgb;

using testsupport::runUntil;

class WidgetsGalleryTest : public os::ui::testing::SdlTest {};

TEST_F(WidgetsGalleryTest, WidgetsShowInARealWindowAndFollowTheRealPointer) {
  // The window's top-left corner in X's terms, and its size.
  constexpr int kLeft = 80, kTop = 60, kWidth = 600, kHeight = 400;
  auto window = TSRNoTitleBarWindow::create(frameAt(kLeft, kTop, kWidth, kHeight));
  auto content = window->contentView();
  // X pixel of the window point (x, y).
  auto at = [&](double x, double y) { return std::pair{kLeft + int(x), kTop + int(kHeight - y)}; };
  auto pixel = [&](double x, double y) {
    auto [px, py] = at(x, y);
    return x_.pixel(px, py);
  };

  auto top = std::make_shared<TSRWhiteView>(Rect{0, 138, 600, 262});
  top->setBackgroundColor(WidgetColor::rgb(247, 247, 247));
  content->addSubview(top);
  auto bottom = std::make_shared<TSRWhiteView>(Rect{0, 0, 600, 138});
  bottom->setIsUpline(true);
  content->addSubview(bottom);
  auto card = std::make_shared<TSRBorderRectAndColorView>(Rect{330, 40, 240, 160});
  card->setLineColor(WidgetColor::rgb(229, 229, 229));
  top->addSubview(card);
  auto bar = std::make_shared<TSRDownloadProgressView>(Rect{40, 100, 520, 6});
  bar->setProgress(60);
  bottom->addSubview(bar);

  int installs = 0;
  auto install = std::make_shared<TSRGridientButton>(Rect{220, 30, 160, 44});
  const os::ui::Color blue = WidgetColor::rgb(17, 127, 228), grey = WidgetColor::rgb(179, 179, 179);
  const os::ui::Color hover = WidgetColor::rgb(234, 243, 252), white = os::ui::Color::white();
  install->setIsLeftRightGridient(true, white, white, hover, hover, WidgetColor::rgb(212, 231, 251),
                                  WidgetColor::rgb(212, 231, 251), white, white);
  install->setButtonBorder(true, blue, blue, blue, grey, 2);
  install->setButtonTitle("Install", blue, blue, blue, grey, 24, false);
  install->setAction([&](os::ui::Control&) { ++installs; });
  bottom->addSubview(install);

  auto line = std::make_shared<TSRCanClickText>(Rect{40, 150, 260, 40});
  line->setNormalString("I have read and accept the licence agreement.", "licence agreement", "",
                        "", WidgetColor::rgb(101, 101, 101), WidgetColor::hex(0x50A0FF),
                        WidgetColor::hex(0x2f87ff), WidgetColor::hex(0x1060d0),
                        os::ui::Font::named("Helvetica Neue", 14));
  top->addSubview(line);
  window->addCloseBtnToContentView();
  window->makeKeyAndOrderFront();

  ASSERT_TRUE(runUntil([&] {
    return pixel(100, 103) == (Rgb{1, 150, 235});
  })) << "the progress bar never showed";
  EXPECT_EQ(pixel(400, 103), (Rgb{230, 230, 230}));
  EXPECT_EQ(pixel(450, 250), (Rgb{255, 255, 255}));  // the card
  EXPECT_EQ(pixel(150, 230), (Rgb{247, 247, 247}));  // the upper area
  EXPECT_EQ(pixel(230, 52), (Rgb{255, 255, 255}));   // the button's body
  EXPECT_EQ(pixel(220, 52), (Rgb{17, 127, 228}));    // its border
  x_.writePNG(kLeft, kTop, kWidth, kHeight,
              ::testing::TempDir() + "/installer_widgets_gallery.png");

  // The real pointer over the button shows its hover colour; a real click installs once.
  auto [buttonX, buttonY] = at(230, 52);
  x_.moveTo(buttonX, buttonY);
  EXPECT_TRUE(runUntil([&] { return pixel(230, 52) == (Rgb{234, 243, 252}); }));
  x_.button(true);
  x_.button(false);
  EXPECT_TRUE(runUntil([&] { return installs == 1; }));

  // Over the window's own buttons: all of them show their rollover look.
  auto [closeX, closeY] = at(10 + 7, 369 + 8);
  x_.moveTo(closeX, closeY);
  EXPECT_TRUE(runUntil(
      [&] { return window->minButton()->look() == os::ui::WindowButton::Look::Rollover; }));
  x_.moveTo(kLeft + 300, kTop + 150);
  EXPECT_TRUE(runUntil([] { return !TSRNoTitleBarWindow::isMouseOverTitleButtons(); }));

  // Dragging the upper area moves the window.
  os::ui::Point origin = window->frame().origin();
  x_.button(true);
  os::RunLoop::main().runUntil([] { return false; }, 0.05);
  for (int step = 1; step <= 4; ++step) {
    x_.moveTo(kLeft + 300 + 10 * step, kTop + 150 + 5 * step);
    os::RunLoop::main().runUntil([] { return false; }, 0.02);
  }
  x_.button(false);
  EXPECT_TRUE(runUntil([&] {
    return window->frame().origin() == os::ui::Point{origin.x + 40, origin.y - 20};
  }));
}

}  // namespace
