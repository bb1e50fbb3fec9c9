// Labels: read-only text in a view (the platform's non-editable text fields). The text starts at
// the top-left corner, 2 points in from the sides, and is wrapped, clipped or truncated as the
// line break mode says; or, with a minimum scale factor, fitted into the frame (os/ui/text_fitting.h).
//
//   auto title = std::make_shared<os::ui::Label>(os::ui::Rect{181, 263, 400, 40}, "Install
//   failed"); title->setFont(os::ui::Font::named("Helvetica Neue", 34));
//   title->setTextColor(os::ui::Color::white());
//   title->setLineBreakMode(os::ui::LineBreakMode::TruncatingTail);
#pragma once

#include <optional>
#include <string>

#include "os/ui/attributed_string.h"
#include "os/ui/text_layout.h"
#include "os/ui/view.h"

namespace os::ui {

class Label : public View {
 public:
  // Space between the text and the left and right edges.
  static constexpr double kHorizontalInset = 2;

  explicit Label(const Rect& frame = {}, std::string text = {});

  const std::string& stringValue() const { return text_; }
  void setStringValue(std::string text);
  // The text with the label's font, colour and paragraph settings, or the attributed text set
  // last.
  AttributedString attributedStringValue() const;
  // Shows `text` with its own attributes until setStringValue is called.
  void setAttributedStringValue(AttributedString text);

  const Font& font() const { return font_; }
  void setFont(const Font& font);
  Color textColor() const { return textColor_; }
  void setTextColor(Color color);
  TextAlignment alignment() const { return alignment_; }
  void setAlignment(TextAlignment alignment);
  LineBreakMode lineBreakMode() const { return lineBreakMode_; }
  void setLineBreakMode(LineBreakMode mode);
  // 0 (the default): the text is laid out as the line break mode says, however tall it gets. A
  // factor in (0, 1]: the text is fitted into the frame, inside the insets: wrapped at word
  // boundaries in its font while it fits, else in the largest smaller size down to `factor` of
  // it that fits, else at that floor with the lines that fit, the last ending with an ellipsis.
  double minimumScaleFactor() const { return minimumScaleFactor_; }
  void setMinimumScaleFactor(double factor);
  // Filled behind the text when set.
  std::optional<Color> backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::optional<Color> color);

  // The size that fits the text on its lines (at most the current width when it wraps), with
  // the insets.
  Size intrinsicContentSize() const;
  // Sizes the label to intrinsicContentSize(), keeping its top-left corner.
  void sizeToFit();
  // The layout shown in the current frame.
  const TextLayout& textLayout() const;

  void setFrame(const Rect& frame) override;
  void drawRect(GraphicsContext& context, const Rect& dirtyRect) override;

 private:
  void invalidate();

  std::string text_;
  std::optional<AttributedString> attributedText_;
  Font font_ = Font::systemFont(13);
  Color textColor_ = Color::black();
  TextAlignment alignment_ = TextAlignment::Natural;
  LineBreakMode lineBreakMode_ = LineBreakMode::WordWrapping;
  std::optional<Color> backgroundColor_;
  double minimumScaleFactor_ = 0;
  mutable std::optional<TextLayout> layout_;
};

}  // namespace os::ui
