#include "os/ui/attributed_string.h"

#include <algorithm>

#include "os/ui/text_layout.h"

namespace os::ui {

void TextAttributes::merge(const TextAttributes& other) {
  if (other.font) font = other.font;
  if (other.foregroundColor) foregroundColor = other.foregroundColor;
  if (other.backgroundColor) backgroundColor = other.backgroundColor;
  if (other.underlineStyle) underlineStyle = other.underlineStyle;
  if (other.link) link = other.link;
  if (other.cursor) cursor = other.cursor;
  if (other.paragraphStyle) paragraphStyle = other.paragraphStyle;
}

AttributedString::AttributedString(std::string text, const TextAttributes& attributes)
    : text_(std::move(text)), length_(text::utf16Length(text_)) {
  if (length_ > 0) runs_.push_back({{0, length_}, attributes});
}

size_t AttributedString::splitAt(size_t index) {
  auto run = std::find_if(runs_.begin(), runs_.end(),
                          [index](const Run& r) { return r.range.end() > index; });
  if (run == runs_.end()) return runs_.size();
  size_t position = size_t(run - runs_.begin());
  if (run->range.location == index) return position;
  Run tail{{index, run->range.end() - index}, run->attributes};
  run->range.length = index - run->range.location;
  runs_.insert(runs_.begin() + position + 1, tail);
  return position + 1;
}

bool AttributedString::addAttributes(const TextAttributes& attributes, text::Range range) {
  if (!range.found() || range.end() > length_ || range.end() < range.location) return false;
  if (range.length == 0) return true;
  size_t first = splitAt(range.location);
  size_t last = splitAt(range.end());
  for (size_t i = first; i < last; ++i) runs_[i].attributes.merge(attributes);
  // Join neighbours that ended up equal, so that runs() stays short.
  std::vector<Run> joined;
  for (const Run& run : runs_) {
    if (!joined.empty() && joined.back().attributes == run.attributes) {
      joined.back().range.length += run.range.length;
    } else {
      joined.push_back(run);
    }
  }
  runs_ = std::move(joined);
  return true;
}

TextAttributes AttributedString::attributesAt(size_t index, text::Range* effectiveRange) const {
  for (const Run& run : runs_) {
    if (index >= run.range.location && index < run.range.end()) {
      if (effectiveRange) *effectiveRange = run.range;
      return run.attributes;
    }
  }
  if (effectiveRange) *effectiveRange = text::kNotFoundRange;
  return {};
}

Size AttributedString::size() const { return TextLayout(*this).size(); }

Size AttributedString::sizeWrappedAt(double width) const { return TextLayout(*this, width).size(); }

}  // namespace os::ui
