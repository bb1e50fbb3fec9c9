// The push button of the installer's screens and alert panels. It draws everything itself: a
// rounded body filled with a two-colour gradient (or a flat colour), its title in Helvetica
// Neue, optional images beside the title or a plus sign / chevron before it, and an optional
// border. Gradient, title and border have a colour for each of four looks: normal, mouse inside
// (enter), pressed (down) and disabled (forbidden).
//
//   auto install = std::make_shared<TSRGridientButton>(os::ui::Rect{220, 42, 160, 44});
//   install->setIsLeftRightGridient(true, white, white, hover, hover, pressed, pressed,
//                                   white, white);
//   install->setButtonBorder(true, blue, blue, blue, grey, 2.0);
//   install->setButtonTitle("Install", blue, blue, blue, grey, 24, false);
//   install->setAction([](os::ui::Control& sender) { ... });
//
// The button follows the mouse with a tracking area active in the key window. It fires its
// action on a release inside it with click count 1 (any count for an add button), so a double
// click acts once. A disabled button ignores the mouse and keeps its last state. Like the
// platform's buttons it is flipped: y grows downwards. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "installer/widgets/mouse_tracking.h"
#include "os/ui/button.h"
#include "os/ui/color.h"
#include "os/ui/drawing.h"
#include "os/ui/image.h"
#include "os/ui/image_view.h"
#include "os/ui/text_fitting.h"
#include "os/value/value.h"

// Told when the mouse enters a button and when it is released over it or leaves it.
class MouseEnumDelegate {
 public:
  virtual ~MouseEnumDelegate() = default;
  virtual void mouseEnterTag(int32_t /*tag*/) {}
  virtual void mouseUpTag(int32_t /*tag*/) {}
};

// "Gridient" (for gradient) is the button's established name, kept on purpose.
class TSRGridientButton : public os::ui::Button {
 public:
  using OptionalColor = std::optional<os::ui::Color>;

  explicit TSRGridientButton(const os::ui::Rect& frame = {});

  // The gradient direction (true: left to right, false: along the height from the origin) and
  // its two ends for each look; redraws.
  void setIsLeftRightGridient(bool isLeftRightGridient, OptionalColor leftNormalBgColor,
                              OptionalColor rightNormalBgColor, OptionalColor leftEnterBgColor,
                              OptionalColor rightEnterBgColor, OptionalColor leftDownBgColor,
                              OptionalColor rightDownBgColor, OptionalColor leftForbiddenBgColor,
                              OptionalColor rightForbiddenBgColor);
  // Whether a border is drawn, its colour for each look and its width (0: 1 point); redraws.
  void setButtonBorder(bool hasBorder, OptionalColor normalBorderColor,
                       OptionalColor enterBorderColor, OptionalColor downBorderColor,
                       OptionalColor forbiddenBorderColor, float borderLineWidth);
  // The title drawn, its colour for each look (an unset colour draws no title), its size in
  // points and the light-animation flag; redraws.
  void setButtonTitle(std::string buttonTitle, OptionalColor normalTitleColor,
                      OptionalColor enterTitleColor, OptionalColor downTitleColor,
                      OptionalColor forbiddenTitleColor, float titleSize, bool isAnimation);
  // A flat body colour per look instead of the gradient (the disabled state keeps the colour of
  // the last look). Does not redraw.
  void setNormalFillColor(OptionalColor normalFillColor, OptionalColor enterFillColor,
                          OptionalColor downFillColor);

  // Plain properties; none of them redraws by itself.
  bool isLeftRightGridient() const { return isLeftRightGridient_; }
  void setIsLeftRightGridient(bool value) { isLeftRightGridient_ = value; }
  bool hasBorder() const { return hasBorder_; }
  void setHasBorder(bool value) { hasBorder_ = value; }
  // Corner radius of the body; 0 means 5.
  float cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(float radius) { cornerRadius_ = radius; }
  float borderLineWidth() const { return borderLineWidth_; }
  void setBorderLineWidth(float width) { borderLineWidth_ = width; }
  const std::string& buttonTitle() const { return buttonTitle_; }
  void setButtonTitle(std::string title) { buttonTitle_ = std::move(title); }
  float titleSize() const { return titleSize_; }
  bool isAnimation() const { return isAnimation_; }
  void setIsAnimation(bool value) { isAnimation_ = value; }
  bool isNoGridient() const { return isNoGridient_; }
  void setIsNoGridient(bool value) { isNoGridient_ = value; }
  // A plain title (no image, no add glyph) sits at the right edge instead of the centre.
  bool isRightAlignment() const { return isRightAlignment_; }
  void setIsRightAlignment(bool value) { isRightAlignment_ = value; }
  // The title face is "Helvetica Neue Medium" instead of "Helvetica Neue".
  bool isMediumSize() const { return isMediumSize_; }
  void setIsMediumSize(bool value) { isMediumSize_ = value; }
  // Extra downward offset of a plain title.
  int32_t offsetY() const { return offsetY_; }
  void setOffsetY(int32_t offset) { offsetY_ = offset; }

  // Images left or right of the title, at their natural size, `spaceWithText` points from it.
  bool hasLeftImage() const { return hasLeftImage_; }
  void setHasLeftImage(bool value) { hasLeftImage_ = value; }
  const std::shared_ptr<os::ui::Image>& leftImage() const { return leftImage_; }
  void setLeftImage(std::shared_ptr<os::ui::Image> image) { leftImage_ = std::move(image); }
  bool hasRightImage() const { return hasRightImage_; }
  void setHasRightImage(bool value) { hasRightImage_ = value; }
  const std::shared_ptr<os::ui::Image>& rightImage() const { return rightImage_; }
  void setRightImage(std::shared_ptr<os::ui::Image> image) { rightImage_ = std::move(image); }
  float spaceWithText() const { return spaceWithText_; }
  void setSpaceWithText(float space) { spaceWithText_ = space; }

  // An add button draws a white plus sign before its title and acts on every release inside
  // it, whatever the click count. Setting it clears isOpenMenu.
  bool isAddButton() const { return isAddButton_; }
  void setIsAddButton(bool value);
  // An add button that shows a chevron instead of the plus sign; redraws.
  bool isOpenMenu() const { return isOpenMenu_; }
  void setIsOpenMenu(bool value);

  // Told of entries and releases; not owned.
  void setDelegate(std::weak_ptr<MouseEnumDelegate> delegate) { delegate_ = std::move(delegate); }

  // An image view supplied from outside (the button never makes one), hidden while the button
  // is disabled and shown while it is enabled.
  const std::shared_ptr<os::ui::ImageView>& lightImageView() const { return lightImageView_; }
  void setLightImageView(std::shared_ptr<os::ui::ImageView> view) {
    lightImageView_ = std::move(view);
  }
  // Free-form data for the button's owner; the setter keeps its own copy.
  const os::Dictionary& dic() const { return dic_; }
  void setDic(const os::Dictionary& dic) { dic_ = dic; }
  // Flat colours kept for the owner; the button does not draw them.
  const OptionalColor& bgNormalFillColor() const { return bgNormalFillColor_; }
  void setBgNormalFillColor(OptionalColor color) { bgNormalFillColor_ = color; }
  const OptionalColor& bgEnterFillColor() const { return bgEnterFillColor_; }
  void setBgEnterFillColor(OptionalColor color) { bgEnterFillColor_ = color; }
  const OptionalColor& bgDownFillColor() const { return bgDownFillColor_; }
  void setBgDownFillColor(OptionalColor color) { bgDownFillColor_ = color; }

  // `path` as the layers draw it (BezierPathQuartzUtilities::quartzPath); nullopt for an empty
  // path.
  static std::optional<os::ui::BezierPath> quartzPath(const os::ui::BezierPath& path);
  // A copy of `image`'s pixels, decoded afresh; null for no image.
  static std::shared_ptr<os::ui::Image> NSImageToCGImageRef(
      const std::shared_ptr<os::ui::Image>& image);

  // Hides lightImageView while disabled, shows it while enabled.
  void setEnabled(bool enabled) override;

  // The mouse state the button last took while enabled.
  MouseState buttonType() const { return buttonType_; }

  // The title as drawn: in the title face at titleSize() and the current look's colour, fitted (os/ui/text_fitting.h) into
  // the button's bounds less 2 points each side and the room of its images or add glyph,
  // shrinking to 70% of its size before anything is cut, its lines centred.
  os::ui::TextFit fittedTitle() const;

  // The size of `text` in the title face at `fontSize`, at origin 0, 0; zero for no text.
  os::ui::Rect calcuTextBounds(const std::string& text, double fontSize) const;

  bool isFlipped() const override { return true; }
  void updateTrackingAreas() override;
  void mouseEntered(const os::ui::Event& event) override;
  void mouseExited(const os::ui::Event& event) override;
  void mouseDown(const os::ui::Event& event) override;
  void mouseUp(const os::ui::Event& event) override;
  void drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& dirtyRect) override;

 private:
  os::ui::Font titleFont(double size) const;
  // The colour of the current look among the four; disabled wins over the mouse state.
  const OptionalColor& colorForLook(const OptionalColor& normal, const OptionalColor& enter,
                                    const OptionalColor& down,
                                    const OptionalColor& forbidden) const;
  void drawGradient(os::ui::GraphicsContext& context) const;
  void drawAddGlyph(os::ui::GraphicsContext& context, double titleWidth) const;
  void notifyDelegate(void (MouseEnumDelegate::*message)(int32_t)) const;

  std::shared_ptr<os::ui::TrackingArea> trackingArea_;
  bool isLeftRightGridient_ = false;
  float cornerRadius_ = 0;
  float borderLineWidth_ = 0;
  OptionalColor leftNormalBgColor_, rightNormalBgColor_;
  OptionalColor leftEnterBgColor_, rightEnterBgColor_;
  OptionalColor leftDownBgColor_, rightDownBgColor_;
  OptionalColor leftForbiddenBgColor_, rightForbiddenBgColor_;
  bool hasBorder_ = false;
  OptionalColor normalBorderColor_, enterBorderColor_, downBorderColor_, forbiddenBorderColor_;
  std::string buttonTitle_;
  OptionalColor normalTitleColor_, enterTitleColor_, downTitleColor_, forbiddenTitleColor_;
  float titleSize_ = 0;
  OptionalColor normalFillColor_, enterFillColor_, downFillColor_;
  OptionalColor bgNormalFillColor_, bgEnterFillColor_, bgDownFillColor_;
  MouseState buttonType_ = MouseState::None;
  bool hasLeftImage_ = false;
  std::shared_ptr<os::ui::Image> leftImage_;
  bool hasRightImage_ = false;
  std::shared_ptr<os::ui::Image> rightImage_;
  float spaceWithText_ = 0;
  std::shared_ptr<os::ui::ImageView> lightImageView_;
  bool isAnimation_ = false;
  os::Dictionary dic_;
  std::weak_ptr<MouseEnumDelegate> delegate_;
  bool isNoGridient_ = false;
  bool isRightAlignment_ = false;
  bool isMediumSize_ = false;
  bool isOpenMenu_ = false;
  bool isAddButton_ = false;
  int32_t offsetY_ = 0;
};
