#include "installer/widgets/can_click_text.h"

#include "installer/widgets/text_style.h"
#include "os/text/text.h"

namespace {

// The line spacing shown, whatever lineSpace says.
constexpr double kShownLineSpacing = 5.0;

}  // namespace

TSRCanClickText::TSRCanClickText(const os::ui::Rect& frame) : TextView(frame) {}

void TSRCanClickText::setNormalString(std::string normalString, std::string linkString1,
                                      std::string linkString2, std::string linkString3,
                                      os::ui::Color normalColor, os::ui::Color linkNormalColor,
                                      os::ui::Color linkEnterColor, os::ui::Color linkDownColor,
                                      const os::ui::Font& font) {
  textFont_ = font;
  normalColor_ = normalColor;
  linkNormalColor_ = linkNormalColor;
  linkEnterColor_ = linkEnterColor;
  linkDownColor_ = linkDownColor;
  normalString_ = std::move(normalString);
  linkString1_ = std::move(linkString1);
  linkString2_ = std::move(linkString2);
  linkString3_ = std::move(linkString3);
  setDrawsBackground(false);
  setNeedsDisplay(true);
  linkColor_ = linkNormalColor_;
  setTitleStyle();
}

void TSRCanClickText::setTitleStyle() {
  if (!linkColor_) return;
  os::ui::TextAttributes linkLook;
  linkLook.foregroundColor = *linkColor_;
  linkLook.underlineStyle = hasUnderLine_ ? 1 : 0;
  setLinkTextAttributes(linkLook);
  if (normalString_.empty()) return;

  os::ui::AttributedString text =
      TextStyle::setTextWordStyle(normalString_, textFont_, lineSpace_, alignment(), normalColor_);
  const os::text::Range whole{0, text.length()};
  os::ui::TextAttributes arrow;
  arrow.cursor = os::ui::Cursor::Arrow;
  text.addAttributes(arrow, whole);
  for (const std::string* linkString : {&linkString1_, &linkString2_, &linkString3_}) {
    if (linkString->empty()) continue;
    os::text::Range range = os::text::rangeOf(normalString_, *linkString);
    if (!range.found()) continue;
    os::ui::TextAttributes link;
    link.link = *linkString;
    link.foregroundColor = *linkColor_;
    link.font = textFont_;
    link.cursor = os::ui::Cursor::PointingHand;
    text.addAttributes(link, range);
  }
  if (bgColor_) {
    os::ui::TextAttributes background;
    background.backgroundColor = *bgColor_;
    text.addAttributes(background, whole);
  }
  os::ui::TextAttributes paragraph;
  paragraph.paragraphStyle = os::ui::ParagraphStyle{
      alignment(), kShownLineSpacing,
      isSingleLine_ ? singleLineTruncation_ : os::ui::LineBreakMode::WordWrapping};
  text.addAttributes(paragraph, whole);
  setAttributedString(std::move(text));
}

void TSRCanClickText::updateTrackingAreas() { trackMouseInKeyWindow(*this, trackingArea_); }

void TSRCanClickText::showLinks(const os::ui::Color& color, MouseState state) {
  linkColor_ = color;
  mouseType_ = state;
  setTitleStyle();
  setNeedsDisplay(true);
}

void TSRCanClickText::mouseEntered(const os::ui::Event&) {
  showLinks(linkEnterColor_, MouseState::Entered);
}

void TSRCanClickText::mouseExited(const os::ui::Event&) {
  showLinks(linkNormalColor_, MouseState::Exited);
}

// The text view's own handling follows the press and reports a click on a link.
void TSRCanClickText::mouseDown(const os::ui::Event& event) {
  showLinks(linkDownColor_, MouseState::Down);
  TextView::mouseDown(event);
}

void TSRCanClickText::mouseUp(const os::ui::Event&) { showLinks(linkEnterColor_, MouseState::Up); }
