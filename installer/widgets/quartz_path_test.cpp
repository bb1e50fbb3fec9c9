#include "installer/widgets/quartz_path.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Type = os::ui::BezierPath::ElementType;

std::vector<Type> types(const os::ui::BezierPath& path) {
  std::vector<Type> found;
  for (const auto& element : path.elements()) found.push_back(element.type);
  return found;
}

TEST(QuartzPathTest, OpenSubpathsEndClosedAndClosedOnesStaySo) {
  EXPECT_FALSE(BezierPathQuartzUtilities::quartzPath({}));

  os::ui::BezierPath line;
  line.moveTo({0, 0});
  line.lineTo({10, 0});
  EXPECT_EQ(types(*BezierPathQuartzUtilities::quartzPath(line)),
            (std::vector<Type>{Type::MoveTo, Type::LineTo, Type::ClosePath}));

  os::ui::BezierPath box = os::ui::BezierPath::rect({0, 0, 10, 10});
  ASSERT_EQ(box.elements().back().type, Type::ClosePath);
  EXPECT_EQ(types(*BezierPathQuartzUtilities::quartzPath(box)), types(box));

  // A move-to alone does not open a subpath.
  os::ui::BezierPath moved = box;
  moved.moveTo({20, 20});
  EXPECT_EQ(types(*BezierPathQuartzUtilities::quartzPath(moved)), types(moved));

  os::ui::BezierPath curve;
  curve.moveTo({0, 0});
  curve.curveTo({10, 0}, {2, 5}, {8, 5});
  auto converted = BezierPathQuartzUtilities::quartzPath(curve);
  ASSERT_EQ(converted->elementCount(), 3u);
  const auto& element = converted->elements()[1];
  EXPECT_EQ(element.points[0], (os::ui::Point{2, 5}));
  EXPECT_EQ(element.points[1], (os::ui::Point{8, 5}));
  EXPECT_EQ(element.points[2], (os::ui::Point{10, 0}));
}

}  // namespace
