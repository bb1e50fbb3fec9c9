#include "os/ui/font.h"

#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>
#include <pango/pangofc-fontmap.h>

#include <algorithm>
#include <array>
#include <utility>

#include "os/log/log.h"
#include "os/ui/attributed_string.h"
#include "os/ui/text_layout.h"

namespace os::ui {
namespace internal {
extern const char kFontConfiguration[];
}  // namespace internal

namespace {

constexpr std::string_view kSystemFamily = "Helvetica Neue";

const std::array<std::pair<std::string_view, FontWeight>, 10> kWeightWords{{
    {"Thin", FontWeight::Thin},
    {"UltraLight", FontWeight::UltraLight},
    {"Light", FontWeight::Light},
    {"Regular", FontWeight::Regular},
    {"Medium", FontWeight::Medium},
    {"Semibold", FontWeight::Semibold},
    {"SemiBold", FontWeight::Semibold},
    {"Bold", FontWeight::Bold},
    {"Heavy", FontWeight::Heavy},
    {"Black", FontWeight::Black},
}};

PangoFontMap* makeFontMap() {
  FcConfig* config = FcInitLoadConfigAndFonts();
  if (!FcConfigParseAndLoadFromMemory(
          config, reinterpret_cast<const FcChar8*>(internal::kFontConfiguration), FcTrue)) {
    log::write(log::Level::Error, "ui: the font configuration could not be read");
  }
  // The one configuration of the process: pango's font map warms fontconfig's current
  // configuration on a thread of its own, and cairo resolves faces through it. Without this
  // they would read and parse the system's whole font set-up a second time during launch.
  FcConfigSetCurrent(config);
  PangoFontMap* map = pango_cairo_font_map_new_for_font_type(CAIRO_FONT_TYPE_FT);
  pango_fc_font_map_set_config(PANGO_FC_FONT_MAP(map), config);
  FcConfigDestroy(config);  // the font map holds its own reference
  return map;
}

}  // namespace

PangoContext* sharedPangoContext() {
  // Kept for the whole process: layouts made in it may live in views until exit.
  static PangoContext* context = [] {
    PangoContext* made = pango_font_map_create_context(makeFontMap());
    pango_cairo_context_set_resolution(made, 72);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    pango_cairo_context_set_font_options(made, options);
    cairo_font_options_destroy(options);
    pango_context_set_round_glyph_positions(made, FALSE);
    return made;
  }();
  return context;
}

Font Font::named(std::string_view name, double pointSize) {
  FontWeight weight = FontWeight::Regular;
  bool italic = false;
  // Style words come last: strip them one by one from the end.
  for (;;) {
    size_t space = name.rfind(' ');
    if (space == std::string_view::npos) break;
    std::string_view word = name.substr(space + 1);
    if (word == "Italic" || word == "Oblique") {
      italic = true;
    } else {
      auto known = std::find_if(kWeightWords.begin(), kWeightWords.end(),
                                [word](const auto& entry) { return entry.first == word; });
      if (known == kWeightWords.end()) break;
      weight = known->second;
    }
    name = name.substr(0, space);
  }
  return Font(std::string(name), pointSize, weight, italic);
}

Font Font::systemFont(double pointSize) { return Font(std::string(kSystemFamily), pointSize); }

Font Font::boldSystemFont(double pointSize) {
  return Font(std::string(kSystemFamily), pointSize, FontWeight::Bold);
}

Font::Font(std::string family, double pointSize, FontWeight weight, bool italic)
    : family_(std::move(family)), pointSize_(pointSize), weight_(weight), italic_(italic) {}

PangoFontDescription* Font::newPangoDescription() const {
  PangoFontDescription* description = pango_font_description_new();
  pango_font_description_set_family(description, family_.c_str());
  pango_font_description_set_absolute_size(description, pointSize_ * PANGO_SCALE);
  pango_font_description_set_weight(description, static_cast<PangoWeight>(weight_));
  pango_font_description_set_style(description, italic_ ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  return description;
}

namespace {

std::pair<double, double> fontMetrics(const Font& font) {
  PangoFontDescription* description = font.newPangoDescription();
  PangoFontMetrics* metrics = pango_context_get_metrics(sharedPangoContext(), description, nullptr);
  std::pair<double, double> result{double(pango_font_metrics_get_ascent(metrics)) / PANGO_SCALE,
                                   -double(pango_font_metrics_get_descent(metrics)) / PANGO_SCALE};
  pango_font_metrics_unref(metrics);
  pango_font_description_free(description);
  return result;
}

}  // namespace

double Font::ascender() const { return fontMetrics(*this).first; }
double Font::descender() const { return fontMetrics(*this).second; }

Size measureText(std::string_view text, const Font& font) {
  TextAttributes attributes;
  attributes.font = font;
  return TextLayout(AttributedString(std::string(text), attributes)).size();
}

}  // namespace os::ui

// Fontconfig keeps the patterns it hands to pango's and cairo's font caches in ways that the
// leak checker cannot follow; those caches live as long as the process. SDL2's video start-up
// leaves a block in the D-Bus library. Suppress only allocations made
// inside those libraries.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
#endif
