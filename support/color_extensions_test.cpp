#include "support/color_extensions.h"

#include <gtest/gtest.h>

namespace {

TEST(ColorExtensionsTest, GraphicsColorKeepsAllFourComponents) {
  for (const Color color : {Color{1, 0.5, 0.25, 0.75}, Color{0, 0, 0, 0}, Color{1, 1, 1, 1}}) {
    GraphicsColor graphics = ExtendTool::toGraphicsColor(color);
    ASSERT_NE(graphics, nullptr);
    EXPECT_EQ(ExtendTool::colorFromGraphicsColor(graphics.get()), color);
  }
}

TEST(ColorExtensionsTest, GraphicsColorPaintsThatColour) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
  cairo_t* context = cairo_create(surface);
  GraphicsColor red = ExtendTool::toGraphicsColor({1, 0, 0, 1});
  cairo_set_source(context, red.get());
  cairo_paint(context);
  cairo_surface_flush(surface);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(surface)), 0xFFFF0000u);
  cairo_destroy(context);
  cairo_surface_destroy(surface);
}

TEST(ColorExtensionsTest, OnlySolidPatternsHaveAColour) {
  EXPECT_FALSE(ExtendTool::colorFromGraphicsColor(nullptr));
  GraphicsColor gradient(cairo_pattern_create_linear(0, 0, 1, 1));
  EXPECT_FALSE(ExtendTool::colorFromGraphicsColor(gradient.get()));
}

}  // namespace
