#include "os/ui/text_fitting.h"

#include <algorithm>

namespace os::ui {
namespace {

// The step between the sizes tried, in points of the text's largest font.
constexpr double kSizeStep = 0.5;
// Layouts measure in pango units: a hair's breadth over the box still fits it.
constexpr double kTolerance = 0.01;

Font fontOf(const TextAttributes& attributes) {
  return attributes.font.value_or(Font::systemFont(kDefaultTextFontSize));
}

// `text` wrapped at word boundaries, whatever line break mode it had.
AttributedString wrapped(const AttributedString& text) {
  ParagraphStyle style = text.attributesAt(0).paragraphStyle.value_or(ParagraphStyle{});
  style.lineBreakMode = LineBreakMode::WordWrapping;
  TextAttributes attributes;
  attributes.paragraphStyle = style;
  AttributedString result = text;
  result.addAttributes(attributes, {0, text.length()});
  return result;
}

}  // namespace

AttributedString scaleFonts(const AttributedString& text, double scale) {
  AttributedString result = text;
  for (const AttributedString::Run& run : text.runs()) {
    TextAttributes attributes;
    const Font font = fontOf(run.attributes);
    attributes.font = font.withSize(font.pointSize() * scale);
    result.addAttributes(attributes, run.range);
  }
  return result;
}

bool fitsBox(const TextLayout& layout, Size box) {
  const Size size = layout.size();
  return size.width <= box.width + kTolerance && size.height <= box.height + kTolerance &&
         !layout.breaksInsideWords() && !layout.isTruncated();
}

TextFit fitText(const AttributedString& text, Size box, double minimumScale) {
  const AttributedString base = wrapped(text);
  double largest = 0;
  for (const AttributedString::Run& run : base.runs()) {
    largest = std::max(largest, fontOf(run.attributes).pointSize());
  }
  const double floor = std::clamp(minimumScale, 0.0, 1.0);
  const double step = largest > 0 ? kSizeStep / largest : 1;
  for (double scale = 1; scale > floor; scale -= step) {
    TextLayout layout(scaleFonts(base, scale), box.width);
    if (fitsBox(layout, box)) return {scale, std::move(layout)};
  }
  return {floor, TextLayout(scaleFonts(base, floor), box.width, box.height)};
}

}  // namespace os::ui
