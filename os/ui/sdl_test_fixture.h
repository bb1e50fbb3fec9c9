// For tests of real windows on an X display through SDL2: a fresh SDL application per test, the
// display's pixels read back and its pointer driven through `x_`. Skipped without a display.
//
//   class GalleryTest : public os::ui::testing::SdlTest {};
//   TEST_F(GalleryTest, ...) {
//     auto window = std::make_shared<Window>(frameAt(60, 50, 360, 240), Window::kBorderless);
//     ...
//     EXPECT_EQ(x_.pixel(70, 60), (Rgb{255, 255, 255}));
//   }
#pragma once

#include <gtest/gtest.h>

#include "os/ui/geometry.h"
#include "os/ui/x_screen_test_util.h"

namespace os::ui::testing {

class SdlTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Screen rectangle of a window whose top-left corner is at (left, top) in X's terms.
  Rect frameAt(int left, int top, int width, int height) const {
    return {double(left), screenHeight_ - top - height, double(width), double(height)};
  }

  XScreen x_;
  double screenHeight_ = 0;
};

}  // namespace os::ui::testing
