// Buttons: push buttons and checkboxes (switches) that follow the mouse the platform's way: a
// press highlights, dragging out unhighlights, releasing inside acts (a checkbox flips its state
// first).
//
//   auto agree = std::make_shared<os::ui::Button>(os::ui::Rect{20, 20, 200, 18}, "I agree");
//   agree->setButtonType(os::ui::Button::Type::Switch);
//   agree->setIdentifier("agreementCheckBox");
//   agree->setAction([](os::ui::Control& sender) { ... });
//
// Subclasses that draw and track by themselves override drawRect and the mouse handlers.
#pragma once

#include <memory>
#include <string>

#include "os/ui/control.h"
#include "os/ui/image.h"

namespace os::ui {

class Button : public Control {
 public:
  enum class Type { MomentaryPushIn, Switch };
  // The platform's control states.
  enum State { kOff = 0, kOn = 1, kMixed = -1 };

  explicit Button(const Rect& frame = {}, std::string title = {});

  const std::string& title() const { return title_; }
  void setTitle(std::string title);
  Type buttonType() const { return type_; }
  void setButtonType(Type type);
  int state() const { return state_; }
  void setState(int state);
  // A checkbox with images shows `image` when off and `alternateImage` when on instead of its
  // box; a push button shows `image` left of its title.
  const std::shared_ptr<Image>& image() const { return image_; }
  void setImage(std::shared_ptr<Image> image);
  const std::shared_ptr<Image>& alternateImage() const { return alternateImage_; }
  void setAlternateImage(std::shared_ptr<Image> image);
  bool isBordered() const { return bordered_; }
  void setBordered(bool bordered);
  // True while pressed with the mouse inside.
  bool isHighlighted() const { return highlighted_; }

  void mouseDown(const Event& event) override;
  void mouseDragged(const Event& event) override;
  void mouseUp(const Event& event) override;
  void drawRect(GraphicsContext& context, const Rect& dirtyRect) override;

 private:
  bool isInside(const Event& event) const;
  void drawCheckbox(GraphicsContext& context);
  void drawPushButton(GraphicsContext& context);

  std::string title_;
  Type type_ = Type::MomentaryPushIn;
  int state_ = kOff;
  std::shared_ptr<Image> image_;
  std::shared_ptr<Image> alternateImage_;
  bool bordered_ = true;
  bool highlighted_ = false;
  bool tracking_ = false;
};

}  // namespace os::ui
