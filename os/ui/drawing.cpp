#include "os/ui/drawing.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

#include "os/ui/text_layout.h"

namespace os::ui {
namespace {

// Control-point distance of a cubic Bézier quarter ellipse, as a fraction of the radius.
constexpr double kCircleKappa = 0.5522847498;

void setSource(cairo_t* cr, Color color) {
  cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
}

cairo_operator_t cairoOperator(CompositingOperation operation) {
  switch (operation) {
    case CompositingOperation::Clear:
      return CAIRO_OPERATOR_CLEAR;
    case CompositingOperation::Copy:
      return CAIRO_OPERATOR_SOURCE;
    case CompositingOperation::SourceOver:
      break;
  }
  return CAIRO_OPERATOR_OVER;
}

// One running-average pass along each row, over a window of 2 * radius + 1 values.
void boxBlurRows(unsigned char* data, int width, int height, int stride, int radius,
                 std::vector<unsigned char>& row) {
  const int reciprocal = (1 << 16) / (2 * radius + 1);  // dividing by the window, rounded
  row.resize(size_t(width));
  for (int y = 0; y < height; ++y) {
    unsigned char* values = data + size_t(y) * stride;
    std::copy(values, values + width, row.begin());
    int sum = 0;
    for (int i = 0; i <= radius && i < width; ++i) sum += row[size_t(i)];
    for (int x = 0; x < width; ++x) {
      values[x] = static_cast<unsigned char>(std::min(255, (sum * reciprocal + (1 << 15)) >> 16));
      if (x - radius >= 0) sum -= row[size_t(x - radius)];
      if (x + radius + 1 < width) sum += row[size_t(x + radius + 1)];
    }
  }
}

// The same down the columns, a whole row at a time so that memory is read in order.
void boxBlurColumns(unsigned char* data, int width, int height, int stride, int radius,
                    std::vector<unsigned char>& copy, std::vector<int>& sums) {
  const int reciprocal = (1 << 16) / (2 * radius + 1);
  copy.assign(data, data + size_t(height) * stride);
  sums.assign(size_t(width), 0);
  auto rowOf = [&](int y) { return copy.data() + size_t(y) * stride; };
  for (int y = 0; y <= radius && y < height; ++y) {
    for (int x = 0; x < width; ++x) sums[size_t(x)] += rowOf(y)[x];
  }
  for (int y = 0; y < height; ++y) {
    unsigned char* out = data + size_t(y) * stride;
    for (int x = 0; x < width; ++x) {
      out[x] = static_cast<unsigned char>(
          std::min(255, (sums[size_t(x)] * reciprocal + (1 << 15)) >> 16));
    }
    if (y - radius >= 0) {
      const unsigned char* leaving = rowOf(y - radius);
      for (int x = 0; x < width; ++x) sums[size_t(x)] -= leaving[x];
    }
    if (y + radius + 1 < height) {
      const unsigned char* entering = rowOf(y + radius + 1);
      for (int x = 0; x < width; ++x) sums[size_t(x)] += entering[x];
    }
  }
}

}  // namespace

void blurAlpha(unsigned char* data, int width, int height, int stride, double sigma) {
  if (sigma <= 0) return;
  // Three box passes of this size approximate a Gaussian of standard deviation sigma.
  int size = int(std::floor(sigma * 3 * std::sqrt(2 * M_PI) / 4 + 0.5));
  int radius = std::max(1, size / 2);
  std::vector<unsigned char> scratch;
  std::vector<int> sums;
  for (int pass = 0; pass < 3; ++pass) {
    boxBlurRows(data, width, height, stride, radius, scratch);
    boxBlurColumns(data, width, height, stride, radius, scratch, sums);
  }
}

// BezierPath -----------------------------------------------------------------------------------

BezierPath BezierPath::rect(const Rect& rect) {
  BezierPath path;
  path.moveTo({rect.minX(), rect.minY()});
  path.lineTo({rect.maxX(), rect.minY()});
  path.lineTo({rect.maxX(), rect.maxY()});
  path.lineTo({rect.minX(), rect.maxY()});
  path.closePath();
  return path;
}

BezierPath BezierPath::roundedRect(const Rect& rect, double xRadius, double yRadius) {
  double rx = std::clamp(xRadius, 0.0, rect.width / 2);
  double ry = std::clamp(yRadius, 0.0, rect.height / 2);
  if (rx <= 0 || ry <= 0) return BezierPath::rect(rect);
  double kx = rx * kCircleKappa;
  double ky = ry * kCircleKappa;
  double left = rect.minX(), right = rect.maxX(), bottom = rect.minY(), top = rect.maxY();
  BezierPath path;
  path.moveTo({left + rx, bottom});
  path.lineTo({right - rx, bottom});
  path.curveTo({right, bottom + ry}, {right - rx + kx, bottom}, {right, bottom + ry - ky});
  path.lineTo({right, top - ry});
  path.curveTo({right - rx, top}, {right, top - ry + ky}, {right - rx + kx, top});
  path.lineTo({left + rx, top});
  path.curveTo({left, top - ry}, {left + rx - kx, top}, {left, top - ry + ky});
  path.lineTo({left, bottom + ry});
  path.curveTo({left + rx, bottom}, {left, bottom + ry - ky}, {left + rx - kx, bottom});
  path.closePath();
  return path;
}

BezierPath BezierPath::oval(const Rect& rect) {
  BezierPath path;
  double kx = rect.width / 2 * kCircleKappa;
  double ky = rect.height / 2 * kCircleKappa;
  double cx = rect.midX(), cy = rect.midY();
  path.moveTo({rect.maxX(), cy});
  path.curveTo({cx, rect.maxY()}, {rect.maxX(), cy + ky}, {cx + kx, rect.maxY()});
  path.curveTo({rect.minX(), cy}, {cx - kx, rect.maxY()}, {rect.minX(), cy + ky});
  path.curveTo({cx, rect.minY()}, {rect.minX(), cy - ky}, {cx - kx, rect.minY()});
  path.curveTo({rect.maxX(), cy}, {cx + kx, rect.minY()}, {rect.maxX(), cy - ky});
  path.closePath();
  return path;
}

void BezierPath::moveTo(Point point) { elements_.push_back({ElementType::MoveTo, {point}}); }
void BezierPath::lineTo(Point point) { elements_.push_back({ElementType::LineTo, {point}}); }
void BezierPath::curveTo(Point end, Point controlPoint1, Point controlPoint2) {
  elements_.push_back({ElementType::CurveTo, {controlPoint1, controlPoint2, end}});
}
void BezierPath::closePath() { elements_.push_back({ElementType::ClosePath, {}}); }
void BezierPath::append(const BezierPath& other) {
  elements_.insert(elements_.end(), other.elements_.begin(), other.elements_.end());
}

Rect BezierPath::controlPointBounds() const {
  bool any = false;
  double left = 0, right = 0, bottom = 0, top = 0;
  for (const Element& element : elements_) {
    int count = element.type == ElementType::CurveTo     ? 3
                : element.type == ElementType::ClosePath ? 0
                                                         : 1;
    for (int i = 0; i < count; ++i) {
      Point p = element.points[i];
      left = any ? std::min(left, p.x) : p.x;
      right = any ? std::max(right, p.x) : p.x;
      bottom = any ? std::min(bottom, p.y) : p.y;
      top = any ? std::max(top, p.y) : p.y;
      any = true;
    }
  }
  return {left, bottom, right - left, top - bottom};
}

void BezierPath::applyTo(cairo_t* cr) const {
  cairo_new_path(cr);
  for (const Element& element : elements_) {
    const Point* p = element.points;
    switch (element.type) {
      case ElementType::MoveTo:
        cairo_move_to(cr, p[0].x, p[0].y);
        break;
      case ElementType::LineTo:
        cairo_line_to(cr, p[0].x, p[0].y);
        break;
      case ElementType::CurveTo:
        cairo_curve_to(cr, p[0].x, p[0].y, p[1].x, p[1].y, p[2].x, p[2].y);
        break;
      case ElementType::ClosePath:
        cairo_close_path(cr);
        break;
    }
  }
  cairo_set_fill_rule(cr, windingRule_ == WindingRule::EvenOdd ? CAIRO_FILL_RULE_EVEN_ODD
                                                               : CAIRO_FILL_RULE_WINDING);
  cairo_set_line_width(cr, lineWidth_);
}

void BezierPath::fill(GraphicsContext& context) const {
  context.paintWithShadow([&] {
    cairo_t* cr = context.cairo();
    applyTo(cr);
    setSource(cr, context.fillColor());
    cairo_fill(cr);
  });
}

void BezierPath::stroke(GraphicsContext& context) const {
  context.paintWithShadow([&] {
    cairo_t* cr = context.cairo();
    applyTo(cr);
    setSource(cr, context.strokeColor());
    cairo_stroke(cr);
  });
}

void BezierPath::addClip(GraphicsContext& context) const {
  applyTo(context.cairo());
  cairo_clip(context.cairo());
}

// Gradient -------------------------------------------------------------------------------------

Gradient::Gradient(std::vector<Stop> stops) : stops_(std::move(stops)) {
  std::stable_sort(stops_.begin(), stops_.end(),
                   [](const Stop& a, const Stop& b) { return a.location < b.location; });
}

void Gradient::drawLinear(GraphicsContext& context, Point start, Point end,
                          unsigned options) const {
  if (stops_.empty()) return;
  double dx = end.x - start.x, dy = end.y - start.y;
  double length = std::hypot(dx, dy);
  if (length == 0) return;
  cairo_t* cr = context.cairo();
  cairo_pattern_t* pattern = cairo_pattern_create_linear(start.x, start.y, end.x, end.y);
  for (const Stop& stop : stops_) {
    cairo_pattern_add_color_stop_rgba(pattern, stop.location, stop.color.red, stop.color.green,
                                      stop.color.blue, stop.color.alpha);
  }
  cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
  // Cairo pads both ways; keep the paint between the perpendiculars that the options close.
  constexpr double kFar = 1e6;
  double ux = dx / length, uy = dy / length;  // along the axis
  double vx = -uy, vy = ux;                   // across it
  double from = (options & kDrawsBeforeStartLocation) ? -kFar : 0;
  double to = (options & kDrawsAfterEndLocation) ? kFar : length;
  auto corner = [&](double along, double across) {
    return Point{start.x + along * ux + across * vx, start.y + along * uy + across * vy};
  };
  cairo_save(cr);
  BezierPath band;
  band.moveTo(corner(from, -kFar));
  band.lineTo(corner(to, -kFar));
  band.lineTo(corner(to, kFar));
  band.lineTo(corner(from, kFar));
  band.closePath();
  band.applyTo(cr);
  cairo_clip(cr);
  cairo_set_source(cr, pattern);
  cairo_paint(cr);
  cairo_restore(cr);
  cairo_pattern_destroy(pattern);
}

// GraphicsContext ------------------------------------------------------------------------------

GraphicsContext::GraphicsContext(cairo_t* cr, double backingScale)
    : cr_(cr), backingScale_(backingScale) {}

bool GraphicsContext::isFlipped() const {
  cairo_matrix_t matrix;
  cairo_get_matrix(cr_, &matrix);
  // Devices run y downwards: a user space that keeps the device's handedness is flipped.
  return matrix.xx * matrix.yy - matrix.xy * matrix.yx > 0;
}

void GraphicsContext::save() {
  cairo_save(cr_);
  saved_.push_back(state_);
}

void GraphicsContext::restore() {
  if (saved_.empty()) return;
  cairo_restore(cr_);
  state_ = saved_.back();
  saved_.pop_back();
}

void GraphicsContext::fillRect(const Rect& rect) { BezierPath::rect(rect).fill(*this); }

void GraphicsContext::clipToRect(const Rect& rect) {
  cairo_rectangle(cr_, rect.x, rect.y, rect.width, rect.height);
  cairo_clip(cr_);
}

void GraphicsContext::drawImage(const Image& image, const Rect& destination, double fraction,
                                CompositingOperation operation, std::optional<Rect> source) {
  Rect from = source.value_or(Rect({0, 0}, image.size()));
  if (destination.isEmpty() || from.isEmpty()) return;
  paintWithShadow([&] {
    cairo_save(cr_);
    // Go to the destination's top-left corner with y running down, as image rows do.
    if (isFlipped()) {
      cairo_translate(cr_, destination.x, destination.y);
    } else {
      cairo_translate(cr_, destination.x, destination.maxY());
      cairo_scale(cr_, 1, -1);
    }
    cairo_rectangle(cr_, 0, 0, destination.width, destination.height);
    cairo_clip(cr_);
    cairo_scale(cr_, destination.width / from.width, destination.height / from.height);
    cairo_scale(cr_, 1 / image.scale(), 1 / image.scale());
    cairo_set_source_surface(cr_, image.surface(), -from.x * image.scale(),
                             -from.y * image.scale());
    cairo_pattern_set_filter(cairo_get_source(cr_), CAIRO_FILTER_GOOD);
    cairo_set_operator(cr_, cairoOperator(operation));
    cairo_paint_with_alpha(cr_, fraction);
    cairo_restore(cr_);
  });
}

void GraphicsContext::drawText(const AttributedString& text, const Rect& rect) {
  drawText(TextLayout(text, rect.width), rect);
}

void GraphicsContext::drawText(const TextLayout& layout, const Rect& rect) {
  paintWithShadow([&] { layout.draw(*this, rect); });
}

void GraphicsContext::paintWithShadow(const std::function<void()>& paint) {
  if (!state_.shadow || state_.shadow->color.alpha <= 0) {
    paint();
    return;
  }
  const Shadow shadow = *state_.shadow;
  // Shadows are worked out in device pixels, where the offset is in unflipped points. A soft
  // shadow on a dense device is blurred at half the resolution: it looks the same and costs a
  // quarter.
  double offsetX = shadow.offset.width * backingScale_;
  double offsetY = -shadow.offset.height * backingScale_;
  double sigma = shadow.blurRadius * backingScale_ / 2;
  int reduction = backingScale_ >= 2 && sigma >= 2 ? 2 : 1;
  int margin = int(std::ceil(3 * sigma)) + reduction;

  cairo_save(cr_);
  cairo_identity_matrix(cr_);
  double x1, y1, x2, y2;
  cairo_clip_extents(cr_, &x1, &y1, &x2, &y2);
  cairo_restore(cr_);
  int left = int(std::floor(x1 - offsetX)) - margin;
  int top = int(std::floor(y1 - offsetY)) - margin;
  int width = (int(std::ceil(x2 - offsetX)) + margin - left + reduction - 1) / reduction;
  int height = (int(std::ceil(y2 - offsetY)) + margin - top + reduction - 1) / reduction;
  if (width > 0 && height > 0) {
    cairo_surface_t* mask = cairo_image_surface_create(CAIRO_FORMAT_A8, width, height);
    cairo_t* maskCr = cairo_create(mask);
    cairo_matrix_t matrix;
    cairo_get_matrix(cr_, &matrix);
    cairo_scale(maskCr, 1.0 / reduction, 1.0 / reduction);
    cairo_translate(maskCr, -left, -top);
    cairo_transform(maskCr, &matrix);
    cairo_t* target = cr_;
    cr_ = maskCr;
    std::optional<Shadow> kept = std::move(state_.shadow);
    state_.shadow.reset();
    paint();
    state_.shadow = std::move(kept);
    cr_ = target;
    cairo_destroy(maskCr);

    cairo_surface_flush(mask);
    blurAlpha(cairo_image_surface_get_data(mask), width, height,
              cairo_image_surface_get_stride(mask), sigma / reduction);
    cairo_surface_mark_dirty(mask);

    cairo_save(cr_);
    cairo_identity_matrix(cr_);
    cairo_translate(cr_, left + offsetX, top + offsetY);
    cairo_scale(cr_, reduction, reduction);
    setSource(cr_, shadow.color);
    cairo_mask_surface(cr_, mask, 0, 0);
    cairo_restore(cr_);
    cairo_surface_destroy(mask);
  }
  // The shape itself, without casting the shadow again.
  std::optional<Shadow> kept = std::move(state_.shadow);
  state_.shadow.reset();
  paint();
  state_.shadow = std::move(kept);
}

}  // namespace os::ui
