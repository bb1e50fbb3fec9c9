#include "os/ui/text_layout.h"

#include <pango/pangocairo.h>

#include <cmath>
#include <utility>

#include "os/ui/drawing.h"

namespace os::ui {
namespace {

int pangoUnits(double points) { return int(std::lround(points * PANGO_SCALE)); }
double points(int units) { return double(units) / PANGO_SCALE; }

guint16 colorComponent(double value) {
  return guint16(std::lround(std::clamp(value, 0.0, 1.0) * 65535));
}

// The byte offset of a UTF-16 index; an index inside a surrogate pair moves to the pair's end.
size_t byteOffset(const std::string& text, size_t index) {
  for (size_t probe = index; probe <= text::utf16Length(text); ++probe) {
    if (auto offset = text::byteOffsetOfUtf16Index(text, probe)) return *offset;
  }
  return text.size();
}

void insert(PangoAttrList* list, PangoAttribute* attribute, size_t start, size_t end) {
  attribute->start_index = guint(start);
  attribute->end_index = guint(end);
  pango_attr_list_insert(list, attribute);
}

PangoAttrList* attributeList(const AttributedString& text) {
  PangoAttrList* list = pango_attr_list_new();
  const std::string& string = text.string();
  for (const auto& run : text.runs()) {
    size_t start = byteOffset(string, run.range.location);
    size_t end = byteOffset(string, run.range.end());
    const TextAttributes& attributes = run.attributes;

    Font font = attributes.font.value_or(Font::systemFont(kDefaultTextFontSize));
    PangoFontDescription* description = font.newPangoDescription();
    insert(list, pango_attr_font_desc_new(description), start, end);
    pango_font_description_free(description);

    Color color = attributes.foregroundColor.value_or(Color::black());
    insert(list,
           pango_attr_foreground_new(colorComponent(color.red), colorComponent(color.green),
                                     colorComponent(color.blue)),
           start, end);
    if (color.alpha < 1) {
      insert(list, pango_attr_foreground_alpha_new(colorComponent(color.alpha)), start, end);
    }
    if (attributes.backgroundColor && attributes.backgroundColor->alpha > 0) {
      const Color& background = *attributes.backgroundColor;
      insert(list,
             pango_attr_background_new(colorComponent(background.red),
                                       colorComponent(background.green),
                                       colorComponent(background.blue)),
             start, end);
      if (background.alpha < 1) {
        insert(list, pango_attr_background_alpha_new(colorComponent(background.alpha)), start, end);
      }
    }
    if (attributes.underlineStyle.value_or(0) != 0) {
      insert(list, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE), start, end);
    }
  }
  return list;
}

bool truncates(LineBreakMode mode) {
  return mode == LineBreakMode::TruncatingHead || mode == LineBreakMode::TruncatingTail ||
         mode == LineBreakMode::TruncatingMiddle;
}

}  // namespace

TextLayout::TextLayout(const AttributedString& text, double width, double height)
    : text_(text), width_(width), layout_(pango_layout_new(sharedPangoContext())) {
  pango_layout_set_text(layout_, text_.string().data(), int(text_.string().size()));
  PangoAttrList* list = attributeList(text_);
  pango_layout_set_attributes(layout_, list);
  pango_attr_list_unref(list);
  // An empty text still has the height of one line of its font.
  if (text_.length() == 0) {
    PangoFontDescription* description =
        Font::systemFont(kDefaultTextFontSize).newPangoDescription();
    pango_layout_set_font_description(layout_, description);
    pango_font_description_free(description);
  }

  ParagraphStyle style = text_.attributesAt(0).paragraphStyle.value_or(ParagraphStyle{});
  pango_layout_set_spacing(layout_, pangoUnits(style.lineSpacing));
  switch (style.alignment) {
    case TextAlignment::Right:
      pango_layout_set_alignment(layout_, PANGO_ALIGN_RIGHT);
      break;
    case TextAlignment::Center:
      pango_layout_set_alignment(layout_, PANGO_ALIGN_CENTER);
      break;
    case TextAlignment::Justified:
      pango_layout_set_justify(layout_, TRUE);
      break;
    case TextAlignment::Natural:
      pango_layout_set_auto_dir(layout_, TRUE);
      break;
    case TextAlignment::Left:
      pango_layout_set_auto_dir(layout_, FALSE);
      break;
  }

  bool limited = std::isfinite(width);
  if (!limited || style.lineBreakMode == LineBreakMode::Clipping) return;
  pango_layout_set_width(layout_, pangoUnits(std::max(width, 0.0)));
  switch (style.lineBreakMode) {
    case LineBreakMode::CharWrapping:
      pango_layout_set_wrap(layout_, PANGO_WRAP_CHAR);
      break;
    case LineBreakMode::TruncatingHead:
      pango_layout_set_ellipsize(layout_, PANGO_ELLIPSIZE_START);
      break;
    case LineBreakMode::TruncatingTail:
      pango_layout_set_ellipsize(layout_, PANGO_ELLIPSIZE_END);
      break;
    case LineBreakMode::TruncatingMiddle:
      pango_layout_set_ellipsize(layout_, PANGO_ELLIPSIZE_MIDDLE);
      break;
    default:
      pango_layout_set_wrap(layout_, PANGO_WRAP_WORD_CHAR);
      break;
  }
  if (truncates(style.lineBreakMode)) {
    pango_layout_set_height(layout_, -1);
  } else if (std::isfinite(height)) {
    pango_layout_set_ellipsize(layout_, PANGO_ELLIPSIZE_END);
    pango_layout_set_height(layout_, pangoUnits(std::max(height, 0.0)));
  }
}

TextLayout::~TextLayout() {
  if (layout_) g_object_unref(layout_);
}

TextLayout::TextLayout(TextLayout&& other) noexcept
    : text_(std::move(other.text_)),
      width_(other.width_),
      layout_(std::exchange(other.layout_, nullptr)) {}

TextLayout& TextLayout::operator=(TextLayout&& other) noexcept {
  if (this != &other) {
    if (layout_) g_object_unref(layout_);
    text_ = std::move(other.text_);
    width_ = other.width_;
    layout_ = std::exchange(other.layout_, nullptr);
  }
  return *this;
}

Size TextLayout::size() const {
  PangoRectangle logical;
  pango_layout_get_extents(layout_, nullptr, &logical);
  return {points(logical.width), points(logical.height)};
}

double TextLayout::firstBaseline() const { return points(pango_layout_get_baseline(layout_)); }

bool TextLayout::isTruncated() const { return pango_layout_is_ellipsized(layout_); }

bool TextLayout::breaksInsideWords() const {
  int count = 0;
  const PangoLogAttr* attributes = pango_layout_get_log_attrs_readonly(layout_, &count);
  const char* start = pango_layout_get_text(layout_);
  GSList* lines = pango_layout_get_lines_readonly(layout_);
  // The first line starts at the text's start, where nothing was broken.
  for (GSList* item = lines ? lines->next : nullptr; item; item = item->next) {
    const auto* line = static_cast<PangoLayoutLine*>(item->data);
    const long character = g_utf8_pointer_to_offset(start, start + line->start_index);
    if (character < count && !attributes[character].is_line_break &&
        !attributes[character].is_mandatory_break) {
      return true;
    }
  }
  return false;
}

int TextLayout::unknownGlyphCount() const { return pango_layout_get_unknown_glyphs_count(layout_); }

double TextLayout::alignmentOffset() const {
  if (!std::isfinite(width_) || pango_layout_get_width(layout_) >= 0) return 0;
  double slack = width_ - size().width;
  switch (pango_layout_get_alignment(layout_)) {
    case PANGO_ALIGN_CENTER:
      return slack / 2;
    case PANGO_ALIGN_RIGHT:
      return slack;
    default:
      return 0;
  }
}

void TextLayout::draw(GraphicsContext& context, const Rect& rect) const {
  cairo_t* cr = context.cairo();
  cairo_save(cr);
  if (context.isFlipped()) {
    cairo_translate(cr, rect.x, rect.y);
  } else {
    cairo_translate(cr, rect.x, rect.maxY());
    cairo_scale(cr, 1, -1);
  }
  cairo_translate(cr, alignmentOffset(), 0);
  pango_cairo_show_layout(cr, layout_);
  cairo_restore(cr);
}

std::optional<size_t> TextLayout::characterIndexAt(Point point) const {
  int index = 0;
  int trailing = 0;
  bool inside = pango_layout_xy_to_index(layout_, pangoUnits(point.x - alignmentOffset()),
                                         pangoUnits(point.y), &index, &trailing);
  if (!inside) return std::nullopt;
  return text::utf16IndexOfByteOffset(text_.string(), size_t(index));
}

size_t TextLayout::closestInsertionIndex(Point point) const {
  int index = 0;
  int trailing = 0;
  pango_layout_xy_to_index(layout_, pangoUnits(point.x - alignmentOffset()), pangoUnits(point.y),
                           &index, &trailing);
  const std::string& string = text_.string();
  const char* at = string.data() + index;
  // `trailing` counts characters past the one found: step over them.
  for (; trailing > 0 && at < string.data() + string.size(); --trailing) {
    at = g_utf8_next_char(at);
  }
  size_t offset = std::min(size_t(at - string.data()), string.size());
  return text::utf16IndexOfByteOffset(string, offset).value_or(text_.length());
}

std::vector<Rect> TextLayout::rectsForRange(text::Range range) const {
  std::vector<Rect> rects;
  if (range.length == 0 || !range.found()) return rects;
  const std::string& string = text_.string();
  int start = int(byteOffset(string, range.location));
  int end = int(byteOffset(string, std::min(range.end(), text_.length())));
  double offset = alignmentOffset();
  PangoLayoutIter* iter = pango_layout_get_iter(layout_);
  do {
    PangoLayoutLine* line = pango_layout_iter_get_line_readonly(iter);
    if (line->start_index >= end || line->start_index + line->length <= start) continue;
    PangoRectangle lineRect;
    pango_layout_iter_get_line_extents(iter, nullptr, &lineRect);
    int* ranges = nullptr;
    int count = 0;
    pango_layout_line_get_x_ranges(line, start, end, &ranges, &count);
    for (int i = 0; i < count; ++i) {
      rects.push_back({offset + points(ranges[2 * i]), points(lineRect.y),
                       points(ranges[2 * i + 1] - ranges[2 * i]), points(lineRect.height)});
    }
    g_free(ranges);
  } while (pango_layout_iter_next_line(iter));
  pango_layout_iter_free(iter);
  return rects;
}

}  // namespace os::ui
