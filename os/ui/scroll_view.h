// Scroll views: show part of a taller document view, clipped to the scroll view, moved by the
// scroll wheel. Without a scroller a scroll view is a plain clip.
//
//   auto scroll = std::make_shared<os::ui::ScrollView>(os::ui::Rect{20, 50, 360, 200});
//   text->setVerticallyResizable(true);
//   text->setMinSize(scroll->contentSize());
//   scroll->setDocumentView(text);
//
// The document hangs from the top: offset 0 shows its top edge.
#pragma once

#include <memory>

#include "os/ui/view.h"

namespace os::ui {

class ScrollView : public View {
 public:
  explicit ScrollView(const Rect& frame = {});

  const std::shared_ptr<View>& documentView() const { return document_; }
  void setDocumentView(std::shared_ptr<View> document);
  Size contentSize() const { return bounds().size(); }
  // How far the document is scrolled up, 0 to its height less the content height.
  double verticalScrollOffset() const { return offset_; }
  void scrollToOffset(double offset);
  // The part of the document shown, in the document's coordinates when it is flipped (from its
  // top edge).
  Rect documentVisibleRect() const;
  // Whether a thin knob shows the scroll position when the document is taller than the view.
  bool hasVerticalScroller() const { return hasScroller_; }
  void setHasVerticalScroller(bool has);

  void scrollWheel(const Event& event) override;
  void setFrame(const Rect& frame) override;

 private:
  class Knob;
  double maximumOffset() const;
  void tile();

  std::shared_ptr<View> clip_;
  std::shared_ptr<Knob> knob_;
  std::shared_ptr<View> document_;
  double offset_ = 0;
  bool hasScroller_ = true;
};

}  // namespace os::ui
