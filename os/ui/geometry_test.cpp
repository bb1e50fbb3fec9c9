#include "os/ui/geometry.h"

#include <gtest/gtest.h>

namespace os::ui {
namespace {

TEST(RectTest, UnionIntersectionAndInsets) {
  Rect a{0, 0, 10, 10};
  Rect b{5, 5, 10, 10};
  EXPECT_EQ(a.unionWith(b), Rect(0, 0, 15, 15));
  EXPECT_EQ(a.intersection(b), Rect(5, 5, 5, 5));
  // An empty rectangle adds nothing to a union, and disjoint ones share nothing.
  EXPECT_EQ(a.unionWith(Rect{100, 100, 0, 5}), a);
  EXPECT_EQ(Rect().unionWith(b), b);
  EXPECT_TRUE(a.intersection(Rect{20, 20, 5, 5}).isEmpty());
  EXPECT_FALSE(a.intersects(Rect{10, 0, 5, 5}));  // touching edges do not overlap
  EXPECT_EQ(Rect(0, 0, 300, 200).insetBy(5, 5), Rect(5, 5, 290, 190));
  EXPECT_EQ(a.offsetBy(3, -2), Rect(3, -2, 10, 10));
  EXPECT_EQ(Rect(0.5, 0.2, 10, 10.1).integral(), Rect(0, 0, 11, 11));
  EXPECT_TRUE(a.contains(Rect{1, 1, 9, 9}));
  EXPECT_FALSE(a.contains(Rect{1, 1, 10, 9}));
}

TEST(RectTest, PointTestsFollowTheEdgeRules) {
  Rect r{0, 0, 10, 10};
  struct Case {
    Point point;
    bool contains;
    bool mouseUnflipped;
    bool mouseFlipped;
  };
  const Case cases[] = {
      {{0, 0}, true, false, true},    // bottom-left corner: the pixel under it lies below
      {{0, 10}, false, true, false},  // top edge belongs to the rectangle in unflipped views
      {{5, 5}, true, true, true},
      {{10, 5}, false, false, false},  // the maximum x edge is outside everywhere
      {{-0.1, 5}, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.point.x << "," << c.point.y);
    EXPECT_EQ(r.contains(c.point), c.contains);
    EXPECT_EQ(mouseInRect(c.point, r, false), c.mouseUnflipped);
    EXPECT_EQ(mouseInRect(c.point, r, true), c.mouseFlipped);
  }
}

TEST(AffineTransformTest, ConcatenationOrderAndInverse) {
  auto moveThenDouble = AffineTransform::translation(1, 2).concat(AffineTransform::scale(2, 2));
  EXPECT_EQ(moveThenDouble.apply({1, 1}), (Point{4, 6}));
  auto back = moveThenDouble.inverted().apply({4, 6});
  EXPECT_DOUBLE_EQ(back.x, 1);
  EXPECT_DOUBLE_EQ(back.y, 1);
  Point turned = AffineTransform::rotation(M_PI / 2).apply({1, 0});
  EXPECT_NEAR(turned.x, 0, 1e-12);
  EXPECT_NEAR(turned.y, 1, 1e-12);  // counter-clockwise with y upwards
  EXPECT_TRUE(AffineTransform::scale(0, 1).inverted().isIdentity());
}

}  // namespace
}  // namespace os::ui
