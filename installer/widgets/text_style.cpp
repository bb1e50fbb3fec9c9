#include "installer/widgets/text_style.h"

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

}  // namespace TextStyle
