// Text views: a selectable, read-only attributed text in which link runs are shown with the
// view's link attributes and clicked links are handed to the delegate.
//
//   auto text = std::make_shared<os::ui::TextView>(os::ui::Rect{0, 0, 300, 20});
//   text->setAttributedString(message);          // with a link run over "contact us"
//   text->setLinkTextAttributes(linkLook);
//   text->setDelegate(screen);                   // textViewClickedOnLink(...)
//
// The text view is flipped: its text starts at the top, textContainerInset plus
// lineFragmentPadding from the left edge.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "os/ui/attributed_string.h"
#include "os/ui/text_layout.h"
#include "os/ui/view.h"

namespace os::ui {

class TextView;

class TextViewDelegate {
 public:
  virtual ~TextViewDelegate() = default;
  // A click on a link with value `link` at UTF-16 index `characterIndex`; true when handled.
  virtual bool textViewClickedOnLink(TextView&, const std::string& /*link*/,
                                     size_t /*characterIndex*/) {
    return false;
  }
};

class TextView : public View {
 public:
  explicit TextView(const Rect& frame = {});

  const AttributedString& textStorage() const { return storage_; }
  void setAttributedString(AttributedString text);
  const std::string& string() const { return storage_.string(); }
  // Replaces the text with `text` in the view's font, colour and alignment.
  void setString(std::string text);
  const Font& font() const { return font_; }
  void setFont(const Font& font) { font_ = font; }
  Color textColor() const { return textColor_; }
  void setTextColor(Color color) { textColor_ = color; }
  TextAlignment alignment() const { return alignment_; }
  void setAlignment(TextAlignment alignment) { alignment_ = alignment; }

  // How link runs look: these attributes override the text's own over every link.
  const TextAttributes& linkTextAttributes() const { return linkAttributes_; }
  void setLinkTextAttributes(TextAttributes attributes);
  void setDelegate(std::weak_ptr<TextViewDelegate> delegate) { delegate_ = std::move(delegate); }

  // Selectable text can be selected with the mouse and has clickable links.
  bool isSelectable() const { return selectable_; }
  void setSelectable(bool selectable) { selectable_ = selectable; }
  text::Range selectedRange() const { return selection_; }
  void setSelectedRange(text::Range range);
  bool drawsBackground() const { return drawsBackground_; }
  void setDrawsBackground(bool draws);
  Color backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(Color color);
  Size textContainerInset() const { return inset_; }
  void setTextContainerInset(Size inset);
  // Space left and right of each line inside the container (5 points).
  double lineFragmentPadding() const { return padding_; }
  void setLineFragmentPadding(double padding);
  // A vertically resizable view keeps its height at its text's height (and at least
  // minSize().height), as a document in a scroll view.
  bool isVerticallyResizable() const { return verticallyResizable_; }
  void setVerticallyResizable(bool resizable);
  Size minSize() const { return minSize_; }
  void setMinSize(Size size);

  // The text as shown (link attributes applied), laid out at the view's width.
  const TextLayout& textLayout() const;
  // Where the layout's top-left corner lies in the view.
  Point textOrigin() const { return {inset_.width + padding_, inset_.height}; }
  // The link under `point` (view coordinates) and its character index, if any.
  std::optional<std::string> linkAt(Point point, size_t* characterIndex = nullptr) const;

  bool isFlipped() const override { return true; }
  void setFrame(const Rect& frame) override;
  void drawRect(GraphicsContext& context, const Rect& dirtyRect) override;
  void mouseDown(const Event& event) override;
  std::optional<Cursor> cursorAt(Point point) const override;
  bool acceptsFirstResponder() const override { return selectable_; }

 private:
  void textChanged();
  void fitHeight();

  AttributedString storage_;
  Font font_ = Font::systemFont(12);
  Color textColor_ = Color::black();
  TextAlignment alignment_ = TextAlignment::Natural;
  TextAttributes linkAttributes_;
  std::weak_ptr<TextViewDelegate> delegate_;
  bool selectable_ = true;
  text::Range selection_{0, 0};
  bool drawsBackground_ = true;
  Color backgroundColor_ = Color::white();
  Size inset_;
  double padding_ = 5;
  bool verticallyResizable_ = false;
  Size minSize_;
  mutable std::optional<TextLayout> layout_;
};

}  // namespace os::ui
