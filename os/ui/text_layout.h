// A laid-out attributed text: pango does the shaping, bidi, line breaking and ellipsis. Views
// keep one and lay it out again only when their text or width changes.
//
//   os::ui::TextLayout layout(text, 200);      // wrapped at 200 points
//   os::ui::Size size = layout.size();
//   layout.draw(context, bounds);              // from the top-left corner of bounds
//   auto index = layout.characterIndexAt({12, 5});
//
// Layout coordinates start at the top-left corner of the text's box and grow rightwards and
// downwards, whichever way the view's own y axis runs.
#pragma once

#include <limits>
#include <optional>
#include <vector>

#include "os/ui/attributed_string.h"
#include "os/ui/geometry.h"

typedef struct _PangoLayout PangoLayout;

namespace os::ui {

class GraphicsContext;

class TextLayout {
 public:
  static constexpr double kUnlimited = std::numeric_limits<double>::infinity();

  // Lays `text` out `width` points wide: wrapped (or truncated, by the line break mode of the
  // paragraph style at its first character) at that width and aligned in it. kUnlimited sets
  // each paragraph on one line at its natural width. A wrapped text with a finite `height`
  // keeps only the lines that fit in that many points (always at least one), the last kept line
  // ending with an ellipsis when lines were dropped.
  explicit TextLayout(const AttributedString& text, double width = kUnlimited,
                      double height = kUnlimited);
  ~TextLayout();
  TextLayout(TextLayout&& other) noexcept;
  TextLayout& operator=(TextLayout&& other) noexcept;
  TextLayout(const TextLayout&) = delete;
  TextLayout& operator=(const TextLayout&) = delete;

  const AttributedString& text() const { return text_; }
  double width() const { return width_; }

  // The text's own size: the widest line's width and the lines' total height.
  Size size() const;
  // Distance from the top of the box to the first line's baseline.
  double firstBaseline() const;
  // True when an ellipsis replaced part of the text.
  bool isTruncated() const;
  // True when a line starts inside a word: a word wider than the width was broken.
  bool breaksInsideWords() const;
  // How many characters no installed face could show.
  int unknownGlyphCount() const;

  // Draws the text with its box's top-left corner at the top-left corner of `rect` (its
  // maximum y in an unflipped space) of the context's current user space. Glyphs stand
  // upright whichever way that space runs.
  void draw(GraphicsContext& context, const Rect& rect) const;

  // The UTF-16 index of the character whose glyph lies under `point` (layout coordinates);
  // nullopt when no glyph does.
  std::optional<size_t> characterIndexAt(Point point) const;
  // The UTF-16 index of the insertion point nearest to `point` (layout coordinates): before
  // or after the character under it, or at the start or end of the nearest line.
  size_t closestInsertionIndex(Point point) const;
  // The boxes, in layout coordinates, that `range` covers: one per line it touches.
  std::vector<Rect> rectsForRange(text::Range range) const;

 private:
  // How far right of the box's left edge pango's lines start, for texts laid out unwrapped in a
  // known width (the clipping mode), which pango cannot align by itself.
  double alignmentOffset() const;

  AttributedString text_;
  double width_;
  PangoLayout* layout_ = nullptr;
};

}  // namespace os::ui
