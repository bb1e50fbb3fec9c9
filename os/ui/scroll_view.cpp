#include "os/ui/scroll_view.h"

#include <algorithm>

namespace os::ui {
namespace {

constexpr double kKnobWidth = 6;
constexpr double kKnobMargin = 2;

}  // namespace

// The scroll position indicator.
class ScrollView::Knob : public View {
 public:
  using View::View;
  void drawRect(GraphicsContext& context, const Rect&) override {
    context.save();
    context.setFillColor(Color::black().withAlpha(0.35));
    BezierPath::roundedRect(bounds(), kKnobWidth / 2, kKnobWidth / 2).fill(context);
    context.restore();
  }
};

ScrollView::ScrollView(const Rect& frame) : View(frame) {
  clip_ = std::make_shared<View>(bounds());
  clip_->setFlipped(true);
  addSubview(clip_);
  knob_ = std::make_shared<Knob>();
  addSubview(knob_);
  tile();
}

void ScrollView::setDocumentView(std::shared_ptr<View> document) {
  if (document_) document_->removeFromSuperview();
  document_ = std::move(document);
  offset_ = 0;
  if (document_) clip_->addSubview(document_);
  tile();
}

double ScrollView::maximumOffset() const {
  if (!document_) return 0;
  return std::max(0.0, document_->frame().height - bounds().height);
}

void ScrollView::scrollToOffset(double offset) {
  offset_ = std::clamp(offset, 0.0, maximumOffset());
  tile();
}

Rect ScrollView::documentVisibleRect() const {
  return {0, offset_, bounds().width,
          std::min(bounds().height, document_ ? document_->frame().height : bounds().height)};
}

void ScrollView::setHasVerticalScroller(bool has) {
  hasScroller_ = has;
  tile();
}

void ScrollView::scrollWheel(const Event& event) {
  if (!document_ || maximumOffset() == 0) {
    View::scrollWheel(event);
    return;
  }
  scrollToOffset(offset_ - event.scrollingDeltaY);
}

void ScrollView::setFrame(const Rect& frame) {
  View::setFrame(frame);
  tile();
}

void ScrollView::tile() {
  clip_->setFrame(bounds());
  if (document_) {
    offset_ = std::clamp(offset_, 0.0, maximumOffset());
    document_->setFrameOrigin({document_->frame().x, -offset_});
  }
  double maximum = maximumOffset();
  knob_->setHidden(!hasScroller_ || maximum == 0);
  if (maximum > 0) {
    double track = bounds().height - 2 * kKnobMargin;
    double length = std::max(20.0, track * bounds().height / document_->frame().height);
    double fromTop = (track - length) * offset_ / maximum;
    knob_->setFrame({bounds().width - kKnobWidth - kKnobMargin,
                     bounds().height - kKnobMargin - fromTop - length, kKnobWidth, length});
  }
  setNeedsDisplay(true);
}

}  // namespace os::ui
