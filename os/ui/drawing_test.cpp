#include "os/ui/drawing.h"

#include <gtest/gtest.h>

#include <functional>

#include "os/ui/test_fixture.h"
#include "os/ui/view.h"

namespace os::ui {
namespace {

using testing::color255;
using testing::rgb;

// A view that draws what a test hands it.
class SketchView : public View {
 public:
  SketchView(const Rect& frame, std::function<void(GraphicsContext&)> draw)
      : View(frame), draw_(std::move(draw)) {}
  void drawRect(GraphicsContext& context, const Rect&) override { draw_(context); }

 private:
  std::function<void(GraphicsContext&)> draw_;
};

std::shared_ptr<View> filled(const Rect& frame, Color color) {
  return std::make_shared<SketchView>(frame, [color](GraphicsContext& context) {
    context.setFillColor(color);
    context.fillRect({-1000, -1000, 3000, 3000});  // all the view lets through
  });
}

class DrawingTest : public testing::HeadlessTest {
 protected:
  // A window of `size` with a white background holding `view`.
  std::shared_ptr<Window> windowWith(std::shared_ptr<View> view, Size size = {200, 100}) {
    auto window = makeWindow(size);
    window->setBackgroundColor(Color::white());
    window->contentView()->addSubview(std::move(view));
    return window;
  }
  static inline const Image::Pixel kWhite = rgb(255, 255, 255);
};

TEST_F(DrawingTest, FilledRectLandsAtItsFrameAtBothScales) {
  auto window = windowWith(filled({20, 10, 50, 30}, color255(1, 150, 235)));
  for (double scale : {1.0, 2.0}) {
    SCOPED_TRACE(scale);
    auto image = window->renderImage(scale);
    EXPECT_EQ(image->pixelWidth(), int(200 * scale));
    EXPECT_EQ(pixelAt(*image, {20.25, 10.25}, 100), rgb(1, 150, 235));
    EXPECT_EQ(pixelAt(*image, {69.75, 39.75}, 100), rgb(1, 150, 235));
    EXPECT_EQ(pixelAt(*image, {19.75, 20}, 100), kWhite);
    EXPECT_EQ(pixelAt(*image, {40, 40.25}, 100), kWhite);
    EXPECT_EQ(pixelAt(*image, {40, 9.75}, 100), kWhite);
  }
}

TEST_F(DrawingTest, FlippedSuperviewsMeasureFromTheTop) {
  struct Case {
    bool flipped;
    Point inside;
    Point outside;
  };
  // A 10x10 view at (10, 10) in a 100-point-high parent.
  const Case cases[] = {{false, {15, 15}, {15, 85}}, {true, {15, 85}, {15, 15}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flipped);
    auto parent = std::make_shared<View>(Rect{0, 0, 200, 100});
    parent->setFlipped(c.flipped);
    parent->addSubview(filled({10, 10, 10, 10}, Color::black()));
    auto window = windowWith(parent);
    EXPECT_EQ(probe(*window, c.inside), rgb(0, 0, 0));
    EXPECT_EQ(probe(*window, c.outside), kWhite);
  }
}

TEST_F(DrawingTest, RoundedLayerWithBorderAndMasking) {
  auto card = std::make_shared<View>(Rect{50, 20, 100, 60});
  card->setWantsLayer(true);
  card->layer()->setBackgroundColor(color255(230, 230, 230));
  card->layer()->setCornerRadius(10);
  card->layer()->setBorderWidth(2);
  card->layer()->setBorderColor(color255(255, 0, 0));
  // A child that overflows every edge of the card.
  card->addSubview(filled({-20, -20, 140, 30}, color255(0, 0, 255)));
  auto window = windowWith(card);

  EXPECT_EQ(probe(*window, {100, 50}), rgb(230, 230, 230));  // inside
  EXPECT_EQ(probe(*window, {100, 78.5}), rgb(255, 0, 0));    // the border, inside the edge
  EXPECT_EQ(probe(*window, {100, 80.5}), kWhite);            // outside the card
  EXPECT_EQ(probe(*window, {51, 79}), kWhite);               // cut off by the top-left corner
  // Without masking the child is cut to the square bounds, corners included.
  EXPECT_EQ(probe(*window, {51, 21}), rgb(0, 0, 255));
  EXPECT_EQ(probe(*window, {45, 25}), kWhite);
  card->layer()->setMasksToBounds(true);
  EXPECT_EQ(probe(*window, {51, 21}), kWhite);
  EXPECT_EQ(probe(*window, {100, 25}), rgb(0, 0, 255));
  // The border stays above the content.
  EXPECT_EQ(probe(*window, {100, 20.5}), rgb(255, 0, 0));
}

TEST_F(DrawingTest, LinearGradientStopsAndExtension) {
  // A 100-point axis from x 50 to 150, left colour solid over the first tenth.
  auto gradientView = [](unsigned options) {
    return std::make_shared<SketchView>(Rect{0, 0, 200, 100}, [options](GraphicsContext& c) {
      Gradient({{0.1, color255(0, 0, 0)}, {1.0, color255(200, 100, 0)}})
          .drawLinear(c, {50, 0}, {150, 0}, options);
    });
  };
  auto plain = windowWith(gradientView(0));
  EXPECT_EQ(probe(*plain, {55.5, 50}), rgb(0, 0, 0));
  EXPECT_PIXEL_NEAR(probe(*plain, {105.5, 50}), rgb(100, 50, 0), 2);
  EXPECT_EQ(probe(*plain, {40, 50}), kWhite);   // before the start: nothing
  EXPECT_EQ(probe(*plain, {160, 50}), kWhite);  // past the end: nothing

  auto after = windowWith(gradientView(Gradient::kDrawsAfterEndLocation));
  EXPECT_EQ(probe(*after, {40, 50}), kWhite);
  EXPECT_EQ(probe(*after, {190, 50}), rgb(200, 100, 0));

  auto both = windowWith(
      gradientView(Gradient::kDrawsBeforeStartLocation | Gradient::kDrawsAfterEndLocation));
  EXPECT_EQ(probe(*both, {5, 50}), rgb(0, 0, 0));
  EXPECT_EQ(probe(*both, {190, 50}), rgb(200, 100, 0));
}

TEST_F(DrawingTest, WindingRulesAndPathClips) {
  auto ring = [](WindingRule rule) {
    return std::make_shared<SketchView>(Rect{0, 0, 200, 100}, [rule](GraphicsContext& c) {
      BezierPath path = BezierPath::rect({10, 10, 80, 80});
      path.append(BezierPath::rect({30, 30, 40, 40}));
      path.setWindingRule(rule);
      c.setFillColor(Color::black());
      path.fill(c);
      // Everything after a clip stays inside it.
      BezierPath::oval({110, 10, 80, 80}).addClip(c);
      c.fillRect({100, 0, 100, 100});
    });
  };
  auto evenOdd = windowWith(ring(WindingRule::EvenOdd));
  EXPECT_EQ(probe(*evenOdd, {50, 50}), kWhite);
  EXPECT_EQ(probe(*evenOdd, {20, 50}), rgb(0, 0, 0));
  EXPECT_EQ(probe(*evenOdd, {150, 50}), rgb(0, 0, 0));
  EXPECT_EQ(probe(*evenOdd, {112, 12}), kWhite);  // outside the oval
  auto nonZero = windowWith(ring(WindingRule::NonZero));
  EXPECT_EQ(probe(*nonZero, {50, 50}), rgb(0, 0, 0));
}

TEST_F(DrawingTest, ShadowFallsWhereItsOffsetSays) {
  // A white card inset 5 in a 300x200 view, its grey shadow 2 points below with blur 4.
  auto card = std::make_shared<SketchView>(Rect{0, 0, 300, 200}, [](GraphicsContext& c) {
    c.save();
    c.setShadow(Shadow{color255(145, 145, 145), {0, -2}, 4});
    c.setFillColor(Color::white());
    BezierPath::roundedRect({5, 5, 290, 190}, 5, 5).fill(c);
    c.restore();
  });
  auto window = windowWith(card, {300, 200});
  window->setBackgroundColor(color255(240, 240, 240));
  auto image = window->renderImage(2);
  EXPECT_EQ(pixelAt(*image, {150, 100}, 200), kWhite);
  auto below = pixelAt(*image, {150, 4}, 200);
  auto above = pixelAt(*image, {150, 196}, 200);
  EXPECT_LT(below.red, 225) << testing::describe(below);
  EXPECT_LT(below.red, above.red);  // darker below than above: the offset points down
  // Sideways the shadow is the same on both sides.
  EXPECT_EQ(pixelAt(*image, {3.25, 100}, 200), pixelAt(*image, {296.75, 100}, 200));
  EXPECT_LT(pixelAt(*image, {3.25, 100}, 200).red, 240);
}

TEST_F(DrawingTest, ImagesStandUprightInFlippedAndUnflippedViews) {
  // A 40x40 image: red on top, blue at the bottom.
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 40, 40);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 0, 0);
  cairo_rectangle(cr, 0, 0, 40, 20);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 0, 0, 1);
  cairo_rectangle(cr, 0, 20, 40, 20);
  cairo_fill(cr);
  cairo_destroy(cr);
  auto picture = Image::fromSurface(surface);
  cairo_surface_destroy(surface);

  for (bool flipped : {false, true}) {
    SCOPED_TRACE(flipped);
    auto view = std::make_shared<SketchView>(Rect{0, 0, 200, 100}, [&](GraphicsContext& c) {
      c.drawImage(*picture, flipped ? Rect{10, 10, 40, 40} : Rect{10, 50, 40, 40});
    });
    view->setFlipped(flipped);
    auto window = windowWith(view);
    // Either way the image occupies window points 10..50 x 50..90.
    EXPECT_EQ(probe(*window, {30, 85}), rgb(255, 0, 0));
    EXPECT_EQ(probe(*window, {30, 55}), rgb(0, 0, 255));
  }
}

TEST_F(DrawingTest, LayerOpacityAndTransformChangeTheComposite) {
  auto view = filled({50, 50, 20, 20}, Color::black());
  view->setWantsLayer(true);
  view->layer()->setOpacity(0.5);
  auto window = windowWith(view);
  EXPECT_PIXEL_NEAR(probe(*window, {60, 60}), rgb(128, 128, 128), 1);
  view->layer()->setOpacity(1);
  LayerTransform down;
  down.translationY = -30;  // in the superview's unflipped coordinates: down
  view->layer()->setTransform(down);
  EXPECT_EQ(probe(*window, {60, 60}), kWhite);
  EXPECT_EQ(probe(*window, {60, 30}), rgb(0, 0, 0));
}

TEST_F(DrawingTest, LayerShadowFallsBelowTheComposite) {
  auto view = filled({50, 30, 100, 40}, Color::white());
  view->setWantsLayer(true);
  view->layer()->setShadowOpacity(1);
  view->layer()->setShadowOffset({0, -4});
  view->layer()->setShadowRadius(2);
  auto window = windowWith(view);
  window->setBackgroundColor(color255(200, 200, 200));
  EXPECT_EQ(probe(*window, {100, 50}), rgb(255, 255, 255));
  EXPECT_LT(probe(*window, {100, 28}).red, 150);             // under the bottom edge
  EXPECT_EQ(probe(*window, {100, 80}), rgb(200, 200, 200));  // nothing above
}

TEST(BlurTest, SpreadsAlphaSymmetricallyAndKeepsItsSum) {
  std::vector<unsigned char> data(41 * 41, 0);
  data[20 * 41 + 20] = 255;
  data[20 * 41 + 21] = 255;
  data[21 * 41 + 20] = 255;
  data[21 * 41 + 21] = 255;
  blurAlpha(data.data(), 41, 41, 41, 2);
  EXPECT_GT(data[20 * 41 + 16], 0);
  EXPECT_EQ(data[20 * 41 + 17], data[20 * 41 + 24]);  // mirror images around the block
  int sum = 0;
  for (unsigned char value : data) sum += value;
  EXPECT_NEAR(sum, 4 * 255, 4 * 255 * 0.1);  // rounding loses a little, no more
}

}  // namespace
}  // namespace os::ui
