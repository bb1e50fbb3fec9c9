#include "installer/app/color_from_numbers.h"

#include <gtest/gtest.h>

namespace {

TEST(ColorFromNumbersTest, HexNumbersSplitIntoComponents) {
  EXPECT_EQ(ExtendTool::hexColor()(0x50A0FF), (Color{80 / 255.0, 160 / 255.0, 1.0, 1.0}));
  EXPECT_EQ(ExtendTool::hexColor()(0x1E0E0E0), ExtendTool::hexColor()(0xE0E0E0));
  EXPECT_EQ(ExtendTool::hexColor()(0), (Color{0, 0, 0, 1}));
  // One shared converter.
  EXPECT_EQ(&ExtendTool::hexColor(), &ExtendTool::hexColor());
}

TEST(ColorFromNumbersTest, ComponentsAreClamped) {
  EXPECT_EQ(ExtendTool::rgbaColor()(300, -5, 128, 2), (Color{1.0, 0.0, 128 / 255.0, 1.0}));
  EXPECT_EQ(ExtendTool::rgbaColor()(0, 0, 0, -0.5).alpha, 0.0);
  EXPECT_EQ(ExtendTool::rgbaColor()(0, 0, 0, 0.25).alpha, 0.25);
  EXPECT_EQ(ExtendTool::checkedNum(255.5), 255.0);
  EXPECT_EQ(ExtendTool::checkedNum(254.5), 254.5);
  EXPECT_EQ(ExtendTool::checkedNum(-0.1), 0.0);
}

}  // namespace
