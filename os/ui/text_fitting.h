// Fitting a text into a box that was sized for a shorter one, as a translation often is: the
// text keeps its fonts while it fits, else every font shrinks together down to a floor, wrapped
// at word boundaries within the box; only at the floor are the lines that do not fit dropped,
// the last one shown ending with an ellipsis.
//
//   os::ui::TextFit fit = os::ui::fitText(title, {376, 44}, 0.7);
//   fit.layout.draw(context, box);        // the text at fit.scale of its sizes
//   if (fit.layout.isTruncated()) ...     // even the floor did not fit
//
// Main thread only, like everything that lays text out.
#pragma once

#include "os/ui/attributed_string.h"
#include "os/ui/geometry.h"
#include "os/ui/text_layout.h"

namespace os::ui {

struct TextFit {
  // The factor every font of the text was scaled by: 1, or down to the floor.
  double scale;
  // The text at that scale, wrapped at the box's width and kept within its height.
  TextLayout layout;
};

// `text` with every font (the default one where a run has none) scaled by `scale`.
AttributedString scaleFonts(const AttributedString& text, double scale);

// Whether `layout` fits `box`: no wider and no taller than it, no word broken and nothing
// ellipsized.
bool fitsBox(const TextLayout& layout, Size box);

// The largest scale from 1 down to `minimumScale` (in steps of a half point of the text's
// largest font, and the floor itself) at which `text`, wrapped at the box's width, fits `box`
// whole; at the floor, when nothing fits, the lines that fit with an ellipsis ending the last.
TextFit fitText(const AttributedString& text, Size box, double minimumScale);

}  // namespace os::ui
