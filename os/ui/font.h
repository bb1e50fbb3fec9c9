// Fonts by the names the installer's screens use ("Helvetica Neue", "Helvetica Neue Bold",
// "Helvetica Neue Medium"), served by pango through a fontconfig set-up of our own that maps
// those faces to metric-compatible free ones and adds a CJK face for Japanese texts.
//
//   os::ui::Font title = os::ui::Font::named("Helvetica Neue Bold", 13);
//   double width = os::ui::measureText("Install", title).width;
//
// Main thread only, like everything that draws.
#pragma once

#include <string>
#include <string_view>

#include "os/ui/geometry.h"

typedef struct _PangoFontDescription PangoFontDescription;
typedef struct _PangoContext PangoContext;

namespace os::ui {

// Font weights on the CSS / fontconfig scale.
enum class FontWeight {
  Thin = 100,
  UltraLight = 200,
  Light = 300,
  Regular = 400,
  Medium = 500,
  Semibold = 600,
  Bold = 700,
  Heavy = 800,
  Black = 900,
};

class Font {
 public:
  // The face named `name` at `pointSize`: a family name optionally followed by style words
  // ("Bold", "Medium", "Light", "Italic", ...), as in "Helvetica Neue Bold".
  static Font named(std::string_view name, double pointSize);
  // The interface's standard face.
  static Font systemFont(double pointSize);
  static Font boldSystemFont(double pointSize);

  Font(std::string family, double pointSize, FontWeight weight = FontWeight::Regular,
       bool italic = false);

  const std::string& family() const { return family_; }
  double pointSize() const { return pointSize_; }
  FontWeight weight() const { return weight_; }
  bool isItalic() const { return italic_; }
  Font withSize(double pointSize) const { return Font(family_, pointSize, weight_, italic_); }

  // Distance from the baseline to the top (ascender) and bottom (descender, negative) of the
  // face's line, in points.
  double ascender() const;
  double descender() const;

  // A new pango description of this font (the caller frees it with
  // pango_font_description_free).
  PangoFontDescription* newPangoDescription() const;

  friend bool operator==(const Font&, const Font&) = default;

 private:
  std::string family_;
  double pointSize_;
  FontWeight weight_;
  bool italic_;
};

// The pango context every layout of the toolkit is made in: our font map, 72 points per inch
// (one point is one unit of user space) and unhinted metrics, so that a text measures the same
// at every scale it is drawn at.
PangoContext* sharedPangoContext();

// Width and height of `text` set on one line per paragraph in `font`.
Size measureText(std::string_view text, const Font& font);

}  // namespace os::ui
