// Text with attributes over UTF-16 ranges (the platform's attributed strings): fonts, colours,
// underline, links, cursors and paragraph styles.
//
//   os::ui::TextAttributes base;
//   base.font = os::ui::Font::named("Helvetica Neue", 14);
//   base.foregroundColor = os::ui::Color::black();
//   os::ui::AttributedString text("I accept the licence", base);
//   os::ui::TextAttributes link;
//   link.link = "the licence";
//   text.addAttributes(link, os::text::rangeOf(text.string(), "the licence"));
//
// Ranges count UTF-16 code units, as the platform's do (see os/text/text.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "os/text/text.h"
#include "os/ui/color.h"
#include "os/ui/cursor.h"
#include "os/ui/font.h"
#include "os/ui/geometry.h"

namespace os::ui {

// The platform's text alignments, with its numbers.
enum class TextAlignment { Left = 0, Right = 1, Center = 2, Justified = 3, Natural = 4 };

// The platform's line break modes, with its numbers. The truncating modes set each paragraph
// on one line that ends (starts, is cut in the middle) with an ellipsis when it is too wide.
enum class LineBreakMode {
  WordWrapping = 0,
  CharWrapping = 1,
  Clipping = 2,
  TruncatingHead = 3,
  TruncatingTail = 4,
  TruncatingMiddle = 5,
};

struct ParagraphStyle {
  TextAlignment alignment = TextAlignment::Natural;
  // Extra space between the lines of a paragraph, in points.
  double lineSpacing = 0;
  LineBreakMode lineBreakMode = LineBreakMode::WordWrapping;
  friend bool operator==(const ParagraphStyle&, const ParagraphStyle&) = default;
};

// The size of the font of a text run that names none.
inline constexpr double kDefaultTextFontSize = 12;

// A set of attributes; an unset member leaves the text's own value (or the default) in force.
struct TextAttributes {
  std::optional<Font> font;              // default: the system font at 12 points
  std::optional<Color> foregroundColor;  // default: black
  std::optional<Color> backgroundColor;  // default: none
  std::optional<int> underlineStyle;     // 0 none, 1 single
  std::optional<std::string> link;       // the link's value
  std::optional<Cursor> cursor;
  // Paragraph styles apply to whole layouts: the style at the text's first character is used.
  std::optional<ParagraphStyle> paragraphStyle;

  // Sets every member that `other` sets.
  void merge(const TextAttributes& other);
  friend bool operator==(const TextAttributes&, const TextAttributes&) = default;
};

class AttributedString {
 public:
  struct Run {
    text::Range range;
    TextAttributes attributes;
  };

  AttributedString() = default;
  explicit AttributedString(std::string text, const TextAttributes& attributes = {});

  const std::string& string() const { return text_; }
  // Length in UTF-16 code units.
  size_t length() const { return length_; }

  // Sets the members that `attributes` sets over `range`, keeping the others. A range that
  // does not lie within the text changes nothing and returns false.
  bool addAttributes(const TextAttributes& attributes, text::Range range);
  // The attributes in force at UTF-16 index `index` (empty past the end); `effectiveRange`
  // receives the run they hold over.
  TextAttributes attributesAt(size_t index, text::Range* effectiveRange = nullptr) const;
  // The runs of equal attributes, in order, covering the whole text.
  const std::vector<Run>& runs() const { return runs_; }

  // The size the text takes set without a width limit, one line per paragraph.
  Size size() const;
  // The size the text takes wrapped at `width` points.
  Size sizeWrappedAt(double width) const;

 private:
  // Splits the run holding `index` so that a run starts there; returns that run's position.
  size_t splitAt(size_t index);

  std::string text_;
  size_t length_ = 0;
  std::vector<Run> runs_;
};

}  // namespace os::ui
