// Measuring, styling and placing the installer's texts: the size a text takes in a font, a text
// with one font, colour and paragraph style over its whole length, labels that fit their texts
// into their frames in every language, and the registered mark beside a product's name.
//
//   os::ui::Font bold = os::ui::Font::named("Helvetica Neue Bold", 13);
//   if (TextStyle::calcuTextBounds(message, bold).width <= 279) ...
//   textView->setAttributedString(TextStyle::setTextWordStyle(
//       eula, os::ui::Font::named("Helvetica Neue", 12), 0, os::ui::TextAlignment::Left,
//       os::ui::Color::black()));
//   TextStyle::fitToFrame(*title);                 // before or after its text is set
//   TextStyle::placeMark(*registeredMark, *title); // after it
//
// Main thread only (text measurement goes through the toolkit's pango context).
#pragma once

#include <string>

#include "os/ui/attributed_string.h"
#include "os/ui/color.h"
#include "os/ui/font.h"
#include "os/ui/geometry.h"
#include "os/ui/label.h"

namespace TextStyle {

// The size of `text` set in `font` on one line per paragraph, at origin 0, 0; the zero
// rectangle for an empty text.
os::ui::Rect calcuTextBounds(const std::string& text, const os::ui::Font& font);

// `text` with, over its whole length, a clear background, `color`, `font` and a paragraph style
// of `alignment` and `lineSpacing` points between lines.
os::ui::AttributedString setTextWordStyle(const std::string& text, const os::ui::Font& font,
                                          float lineSpacing, os::ui::TextAlignment alignment,
                                          os::ui::Color color);

// How far a label's or button's text may shrink before it is cut: a translation longer than the
// frame was made for still shows whole.
inline constexpr double kMinimumFontScale = 0.7;

// Makes `label` fit its text into its frame (os::ui::Label::setMinimumScaleFactor with
// kMinimumFontScale).
void fitToFrame(os::ui::Label& label);

// Moves `mark` (the "®" label) right after the end of the first line of `title`'s text as it is
// laid out now, its top at the top of `title`'s frame. Both must share a superview.
void placeMark(os::ui::Label& mark, const os::ui::Label& title);

}  // namespace TextStyle
