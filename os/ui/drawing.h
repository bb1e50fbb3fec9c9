// Drawing in a view: paths, fills with the non-zero or even-odd rule, clips, strokes, linear
// gradients with stops, shadows, images and text, over cairo.
//
//   void Card::drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& dirty) {
//     auto body = os::ui::BezierPath::roundedRect(bounds().insetBy(5, 5), 5, 5);
//     context.save();
//     context.setShadow(os::ui::Shadow{grey, {0, -2}, 4});
//     context.setFillColor(os::ui::Color::white());
//     context.fill(body);
//     context.restore();
//   }
//
// Coordinates are the view's own: y grows upwards unless the view is flipped. Shadow offsets
// are in unflipped terms whatever the view (a negative height puts the shadow below), as the
// platform has them.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "os/ui/attributed_string.h"
#include "os/ui/color.h"
#include "os/ui/geometry.h"
#include "os/ui/image.h"

typedef struct _cairo cairo_t;

namespace os::ui {

class GraphicsContext;
class TextLayout;

enum class WindingRule { NonZero = 0, EvenOdd = 1 };

// The platform's compositing operations that the toolkit supports, with its numbers.
enum class CompositingOperation { Clear = 0, Copy = 1, SourceOver = 2 };

// A path of lines and cubic curves, with the fill rule and line width it is drawn with.
class BezierPath {
 public:
  enum class ElementType { MoveTo, LineTo, CurveTo, ClosePath };
  // For CurveTo the points are the first control point, the second, and the end point; MoveTo
  // and LineTo use points[0]; ClosePath none.
  struct Element {
    ElementType type;
    Point points[3];
  };

  static BezierPath rect(const Rect& rect);
  // A rectangle with elliptical corners; radii larger than half a side are reduced to it.
  static BezierPath roundedRect(const Rect& rect, double xRadius, double yRadius);
  static BezierPath oval(const Rect& rect);

  void moveTo(Point point);
  void lineTo(Point point);
  void curveTo(Point end, Point controlPoint1, Point controlPoint2);
  void closePath();
  void append(const BezierPath& other);

  const std::vector<Element>& elements() const { return elements_; }
  size_t elementCount() const { return elements_.size(); }
  bool isEmpty() const { return elements_.empty(); }
  // The box of all the points, control points included.
  Rect controlPointBounds() const;

  WindingRule windingRule() const { return windingRule_; }
  void setWindingRule(WindingRule rule) { windingRule_ = rule; }
  // Width of strokes; 1.0 unless set.
  double lineWidth() const { return lineWidth_; }
  void setLineWidth(double width) { lineWidth_ = width; }

  // Fills in the context's fill colour, strokes in its stroke colour, or intersects the
  // context's clip with the path (until the context is restored).
  void fill(GraphicsContext& context) const;
  void stroke(GraphicsContext& context) const;
  void addClip(GraphicsContext& context) const;

  // Sets the path as cairo's current path.
  void applyTo(cairo_t* cr) const;

 private:
  std::vector<Element> elements_;
  WindingRule windingRule_ = WindingRule::NonZero;
  double lineWidth_ = 1.0;
};

struct Shadow {
  Color color = Color::black().withAlpha(1.0 / 3);
  Size offset;
  double blurRadius = 0;
  friend bool operator==(const Shadow&, const Shadow&) = default;
};

// A colour ramp along an axis.
class Gradient {
 public:
  struct Stop {
    double location;  // 0 at the start point, 1 at the end point
    Color color;
  };
  // What is painted outside the axis, beyond the perpendicular lines through its ends.
  enum DrawingOptions : unsigned {
    kDrawsBeforeStartLocation = 1,  // the first colour continues before the start point
    kDrawsAfterEndLocation = 2,     // the last colour continues past the end point
  };

  explicit Gradient(std::vector<Stop> stops);
  Gradient(Color start, Color end) : Gradient({{0, start}, {1, end}}) {}

  // Paints the gradient from `start` to `end` over the current clip. Between the ends and the
  // outermost stops the outermost colours are shown; outside the axis only what `options` asks.
  void drawLinear(GraphicsContext& context, Point start, Point end, unsigned options = 0) const;

 private:
  std::vector<Stop> stops_;
};

class GraphicsContext {
 public:
  // Draws through `cr` (not owned) onto a device of `backingScale` pixels per point.
  GraphicsContext(cairo_t* cr, double backingScale);
  GraphicsContext(const GraphicsContext&) = delete;
  GraphicsContext& operator=(const GraphicsContext&) = delete;

  cairo_t* cairo() const { return cr_; }
  double backingScale() const { return backingScale_; }
  // True when y grows downwards in the current user space.
  bool isFlipped() const;

  // Saves and restores cairo's state with the colours and shadow below.
  void save();
  void restore();

  Color fillColor() const { return state_.fill; }
  void setFillColor(Color color) { state_.fill = color; }
  Color strokeColor() const { return state_.stroke; }
  void setStrokeColor(Color color) { state_.stroke = color; }
  // The shadow that fills, strokes and images cast from now until the matching restore().
  void setShadow(std::optional<Shadow> shadow) { state_.shadow = shadow; }

  void fillRect(const Rect& rect);
  void clipToRect(const Rect& rect);
  // Draws `image` scaled into `destination`, upright whichever way y runs, with opacity
  // `fraction`; `source` picks part of the image (in its points, from the top-left corner).
  void drawImage(const Image& image, const Rect& destination, double fraction = 1,
                 CompositingOperation operation = CompositingOperation::SourceOver,
                 std::optional<Rect> source = std::nullopt);
  // Draws `text` wrapped at the width of `rect`, from its top-left corner.
  void drawText(const AttributedString& text, const Rect& rect);
  // Draws a laid-out text with its box's top-left corner at that of `rect`.
  void drawText(const TextLayout& layout, const Rect& rect);

  // Runs `paint`, which draws through cairo(), so that what it paints casts the current shadow
  // first. Without a shadow it just runs `paint`.
  void paintWithShadow(const std::function<void()>& paint);

 private:
  struct State {
    Color fill = Color::black();
    Color stroke = Color::black();
    std::optional<Shadow> shadow;
  };

  cairo_t* cr_;
  const double backingScale_;
  State state_;
  std::vector<State> saved_;
};

// Blurs the 8-bit alpha image `data` (`width` × `height`, rows `stride` bytes apart) with a
// Gaussian-like kernel of standard deviation `sigma` pixels (three box passes).
void blurAlpha(unsigned char* data, int width, int height, int stride, double sigma);

}  // namespace os::ui
