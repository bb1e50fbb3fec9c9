// Points, sizes and rectangles in points, with the platform's rectangle helpers, and the affine
// and layer transforms that views and layers are drawn through.
//
//   os::ui::Rect card = bounds.insetBy(5, 5);
//   if (card.contains(point)) ...
//   os::ui::Rect both = a.unionWith(b);
//
// Coordinates follow the platform: y grows upwards unless a view says it is flipped, so
// minY is the bottom edge of an unflipped rectangle.
#pragma once

#include <cmath>

namespace os::ui {

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  Rect() = default;
  Rect(double x, double y, double width, double height)
      : x(x), y(y), width(width), height(height) {}
  Rect(Point origin, Size size)
      : x(origin.x), y(origin.y), width(size.width), height(size.height) {}

  Point origin() const { return {x, y}; }
  Size size() const { return {width, height}; }
  double minX() const { return x; }
  double midX() const { return x + width / 2; }
  double maxX() const { return x + width; }
  double minY() const { return y; }
  double midY() const { return y + height / 2; }
  double maxY() const { return y + height; }
  Point center() const { return {midX(), midY()}; }

  // True when a side is zero or negative.
  bool isEmpty() const { return !(width > 0) || !(height > 0); }
  // The rectangle shrunk by dx on the left and right and dy at the bottom and top (grown when
  // negative).
  Rect insetBy(double dx, double dy) const {
    return {x + dx, y + dy, width - 2 * dx, height - 2 * dy};
  }
  Rect offsetBy(double dx, double dy) const { return {x + dx, y + dy, width, height}; }
  // The smallest rectangle holding both; an empty rectangle counts for nothing.
  Rect unionWith(const Rect& other) const;
  // The common part; the zero rectangle when they do not overlap.
  Rect intersection(const Rect& other) const;
  bool intersects(const Rect& other) const { return !intersection(other).isEmpty(); }
  // True for points on the minimum edges and inside, false on the maximum edges.
  bool contains(Point point) const {
    return point.x >= minX() && point.x < maxX() && point.y >= minY() && point.y < maxY();
  }
  bool contains(const Rect& other) const;
  // The smallest rectangle with whole-number edges that holds this one.
  Rect integral() const;

  friend bool operator==(const Rect&, const Rect&) = default;
};

// The platform's mouse-in-rectangle test: in an unflipped view the bottom edge is outside and
// the top edge inside (the pixel under the mouse lies below its point); flipped views use the
// ordinary half-open test.
bool mouseInRect(Point point, const Rect& rect, bool flipped);

// A 2-D affine transform: x' = a x + c y + tx, y' = b x + d y + ty.
struct AffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  static AffineTransform translation(double dx, double dy) { return {1, 0, 0, 1, dx, dy}; }
  static AffineTransform scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
  static AffineTransform rotation(double radians) {
    return {std::cos(radians), std::sin(radians), -std::sin(radians), std::cos(radians), 0, 0};
  }
  // This transform followed by `then`.
  AffineTransform concat(const AffineTransform& then) const;
  Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
  // The transform that undoes this one (the identity when this one cannot be undone).
  AffineTransform inverted() const;
  bool isIdentity() const { return *this == AffineTransform{}; }
  friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

// A layer's transform, kept as the parts that layer key paths animate one by one
// ("transform.translation.y", "transform.scale", "transform.rotation.z"). It applies about the
// layer's anchor point: scale, then rotation (counter-clockwise in an unflipped superview),
// then translation in the superview's coordinates.
struct LayerTransform {
  double translationX = 0;
  double translationY = 0;
  double scaleX = 1;
  double scaleY = 1;
  double scaleZ = 1;     // kept for the "transform.scale.z" key path; flat drawing ignores it
  double rotationZ = 0;  // radians

  static LayerTransform rotation(double radians) {
    LayerTransform transform;
    transform.rotationZ = radians;
    return transform;
  }
  bool isIdentity() const { return *this == LayerTransform{}; }
  AffineTransform affine() const;
  friend bool operator==(const LayerTransform&, const LayerTransform&) = default;
};

}  // namespace os::ui
