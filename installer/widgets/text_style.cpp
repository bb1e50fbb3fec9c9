#include "installer/widgets/text_style.h"

#include <algorithm>
#include <vector>

namespace TextStyle {

os::ui::Rect calcuTextBounds(const std::string& text, const os::ui::Font& font) {
  if (text.empty()) return {};
  return {{0, 0}, os::ui::measureText(text, font)};
}

os::ui::AttributedString setTextWordStyle(const std::string& text, const os::ui::Font& font,
                                          float lineSpacing, os::ui::TextAlignment alignment,
                                          os::ui::Color color) {
  os::ui::TextAttributes attributes;
  attributes.backgroundColor = os::ui::Color::clear();
  attributes.foregroundColor = color;
  attributes.font = font;
  attributes.paragraphStyle = os::ui::ParagraphStyle{alignment, lineSpacing};
  return os::ui::AttributedString(text, attributes);
}

void fitToFrame(os::ui::Label& label) { label.setMinimumScaleFactor(kMinimumFontScale); }

void placeMark(os::ui::Label& mark, const os::ui::Label& title) {
  const os::ui::TextLayout& layout = title.textLayout();
  const std::vector<os::ui::Rect> lines = layout.rectsForRange({0, layout.text().length()});
  // A line that mixes directions covers several ranges: the mark follows the rightmost.
  double end = 0;
  for (const os::ui::Rect& line : lines) {
    if (line.y == lines.front().y) end = std::max(end, line.maxX());
  }
  // Tops aligned, whichever way the superview's y runs.
  const os::ui::Rect frame = title.frame();
  const bool flipped = title.superview() && title.superview()->isFlipped();
  const double y = flipped ? frame.y : frame.maxY() - mark.frame().height;
  mark.setFrameOrigin({frame.x + os::ui::Label::kHorizontalInset + end, y});
}

}  // namespace TextStyle
