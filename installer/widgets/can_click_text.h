// One paragraph of text in which up to three substrings are links, such as the first screen's
// licence line or the error page's contact line. The link colour follows the mouse: normal when
// it is elsewhere, the enter colour over the view and after a release, the down colour while
// pressed. A click on a link hands the link substring itself to the text view's delegate
// (os::ui::TextViewDelegate::textViewClickedOnLink), which decides what to do.
//
//   auto line = std::make_shared<TSRCanClickText>(os::ui::Rect{150, 20, 300, 24});
//   line->setAlignment(os::ui::TextAlignment::Center);
//   line->setHasUnderLine(true);
//   line->setNormalString(TempHelper::getDefaultsLocalizableLanguages("Agreement_Text"),
//                         TempHelper::getDefaultsLocalizableLanguages("Agreement_Link"), "", "",
//                         grey, linkBlue, linkHover, linkPressed,
//                         os::ui::Font::named("Helvetica Neue", 13));
//   line->setDelegate(screen);
//
// Only the first occurrence of a link substring is a link. The plain setters take effect at the
// next rebuild of the text (the long setter or a mouse change). Main thread only.
#pragma once

#include <optional>
#include <string>

#include "installer/widgets/mouse_tracking.h"
#include "os/ui/text_view.h"

class TSRCanClickText : public os::ui::TextView {
 public:
  explicit TSRCanClickText(const os::ui::Rect& frame = {});

  // Sets the text, its links (an empty string for a link not wanted), the colours and the font,
  // stops drawing a background, shows the links in their normal colour and rebuilds the text.
  void setNormalString(std::string normalString, std::string linkString1, std::string linkString2,
                       std::string linkString3, os::ui::Color normalColor,
                       os::ui::Color linkNormalColor, os::ui::Color linkEnterColor,
                       os::ui::Color linkDownColor, const os::ui::Font& font);
  // Rebuilds the shown text from the settings; does nothing before the long setter has run.
  void setTitleStyle();

  const std::string& normalString() const { return normalString_; }
  void setNormalString(std::string text) { normalString_ = std::move(text); }
  // Handed to the base styling, but the lines are always 5 points apart.
  float lineSpace() const { return lineSpace_; }
  void setLineSpace(float space) { lineSpace_ = space; }
  bool hasUnderLine() const { return hasUnderLine_; }
  void setHasUnderLine(bool value) { hasUnderLine_ = value; }
  // Background colour behind the whole text; none by default.
  const std::optional<os::ui::Color>& bgColor() const { return bgColor_; }
  void setBgColor(std::optional<os::ui::Color> color) { bgColor_ = color; }
  // One line ending in an ellipsis instead of wrapping; `truncation` says where the ellipsis
  // goes (a path keeps its start and end with TruncatingMiddle).
  bool isSingleLine() const { return isSingleLine_; }
  void setIsSingleLine(bool value,
                       os::ui::LineBreakMode truncation = os::ui::LineBreakMode::TruncatingTail) {
    isSingleLine_ = value;
    singleLineTruncation_ = truncation;
  }

  // The link colour in force, unset before the long setter.
  const std::optional<os::ui::Color>& linkColor() const { return linkColor_; }
  MouseState mouseType() const { return mouseType_; }

  void updateTrackingAreas() override;
  void mouseEntered(const os::ui::Event& event) override;
  void mouseExited(const os::ui::Event& event) override;
  void mouseDown(const os::ui::Event& event) override;
  void mouseUp(const os::ui::Event& event) override;

 private:
  void showLinks(const os::ui::Color& color, MouseState state);

  std::shared_ptr<os::ui::TrackingArea> trackingArea_;
  std::string normalString_;
  std::string linkString1_, linkString2_, linkString3_;
  os::ui::Color linkNormalColor_, linkEnterColor_, linkDownColor_;
  os::ui::Color normalColor_;
  os::ui::Font textFont_ = os::ui::Font::systemFont(12);
  MouseState mouseType_ = MouseState::None;
  std::optional<os::ui::Color> linkColor_;
  float lineSpace_ = 0;
  bool hasUnderLine_ = false;
  std::optional<os::ui::Color> bgColor_;
  bool isSingleLine_ = false;
  os::ui::LineBreakMode singleLineTruncation_ = os::ui::LineBreakMode::TruncatingTail;
};
