#include "os/ui/geometry.h"

#include <algorithm>

namespace os::ui {

Rect Rect::unionWith(const Rect& other) const {
  if (other.isEmpty()) return *this;
  if (isEmpty()) return other;
  double left = std::min(minX(), other.minX());
  double bottom = std::min(minY(), other.minY());
  return {left, bottom, std::max(maxX(), other.maxX()) - left,
          std::max(maxY(), other.maxY()) - bottom};
}

Rect Rect::intersection(const Rect& other) const {
  double left = std::max(minX(), other.minX());
  double bottom = std::max(minY(), other.minY());
  double right = std::min(maxX(), other.maxX());
  double top = std::min(maxY(), other.maxY());
  if (right <= left || top <= bottom) return {};
  return {left, bottom, right - left, top - bottom};
}

bool Rect::contains(const Rect& other) const {
  return !other.isEmpty() && !isEmpty() && other.minX() >= minX() && other.maxX() <= maxX() &&
         other.minY() >= minY() && other.maxY() <= maxY();
}

Rect Rect::integral() const {
  if (isEmpty()) return {};
  double left = std::floor(minX());
  double bottom = std::floor(minY());
  return {left, bottom, std::ceil(maxX()) - left, std::ceil(maxY()) - bottom};
}

bool mouseInRect(Point point, const Rect& rect, bool flipped) {
  if (point.x < rect.minX() || point.x >= rect.maxX()) return false;
  if (flipped) return point.y >= rect.minY() && point.y < rect.maxY();
  return point.y > rect.minY() && point.y <= rect.maxY();
}

AffineTransform AffineTransform::concat(const AffineTransform& then) const {
  return {a * then.a + b * then.c,
          a * then.b + b * then.d,
          c * then.a + d * then.c,
          c * then.b + d * then.d,
          tx * then.a + ty * then.c + then.tx,
          tx * then.b + ty * then.d + then.ty};
}

AffineTransform AffineTransform::inverted() const {
  double determinant = a * d - b * c;
  if (determinant == 0) return {};
  return {d / determinant,
          -b / determinant,
          -c / determinant,
          a / determinant,
          (c * ty - d * tx) / determinant,
          (b * tx - a * ty) / determinant};
}

AffineTransform LayerTransform::affine() const {
  return AffineTransform::scale(scaleX, scaleY)
      .concat(AffineTransform::rotation(rotationZ))
      .concat(AffineTransform::translation(translationX, translationY));
}

}  // namespace os::ui
