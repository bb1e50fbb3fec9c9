// Measuring and styling the installer's texts: the size a text takes in a font, and a text with
// one font, colour and paragraph style over its whole length.
//
//   os::ui::Font bold = os::ui::Font::named("Helvetica Neue Bold", 13);
//   if (TextStyle::calcuTextBounds(message, bold).width <= 279) ...
//   textView->setAttributedString(TextStyle::setTextWordStyle(
//       eula, os::ui::Font::named("Helvetica Neue", 12), 0, os::ui::TextAlignment::Left,
//       os::ui::Color::black()));
//
// Main thread only (text measurement goes through the toolkit's pango context).
#pragma once

#include <string>

#include "os/ui/attributed_string.h"
#include "os/ui/color.h"
#include "os/ui/font.h"
#include "os/ui/geometry.h"

namespace TextStyle {

// The size of `text` set in `font` on one line per paragraph, at origin 0, 0; the zero
// rectangle for an empty text.
os::ui::Rect calcuTextBounds(const std::string& text, const os::ui::Font& font);

// `text` with, over its whole length, a clear background, `color`, `font` and a paragraph style
// of `alignment` and `lineSpacing` points between lines.
os::ui::AttributedString setTextWordStyle(const std::string& text, const os::ui::Font& font,
                                          float lineSpacing, os::ui::TextAlignment alignment,
                                          os::ui::Color color);

}  // namespace TextStyle
