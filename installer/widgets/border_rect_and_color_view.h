// The card the alert panels are drawn on: a rounded card inset 5 points from the view's edges,
// filled with a colour (white when none), casting a grey shadow 2 points below it, with an
// optional border.
//
//   auto panel = std::make_shared<TSRBorderRectAndColorView>(os::ui::Rect{0, 0, 420, 150});
//   panel->setLineColor(WidgetColor::rgb(229, 229, 229));
//
// Main thread only.
#pragma once

#include <optional>

#include "os/ui/view.h"

class TSRBorderRectAndColorView : public os::ui::View {
 public:
  using View::View;

  // Card colour; none means white. Redraws.
  const std::optional<os::ui::Color>& background() const { return background_; }
  void setBackground(std::optional<os::ui::Color> color);
  // Border colour; none draws no border. Redraws.
  const std::optional<os::ui::Color>& lineColor() const { return lineColor_; }
  void setLineColor(std::optional<os::ui::Color> color);
  // Shadow blur radius; 0 means 4. Does not redraw.
  float blurRadius() const { return blurRadius_; }
  void setBlurRadius(float radius) { blurRadius_ = radius; }
  // True: the shadow falls straight under the card instead of 2 points below it.
  bool isOffSetY() const { return isOffSetY_; }
  void setIsOffSetY(bool value) { isOffSetY_ = value; }
  // Kept for callers; the card does not use them.
  double borderLineSize() const { return borderLineSize_; }
  void setBorderLineSize(double size) { borderLineSize_ = size; }
  float offsetY() const { return offsetY_; }
  void setOffsetY(float offset) { offsetY_ = offset; }

  void drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& dirtyRect) override;

 private:
  std::optional<os::ui::Color> background_;
  double borderLineSize_ = 0;
  std::optional<os::ui::Color> lineColor_;
  bool isOffSetY_ = false;
  float offsetY_ = 0;
  float blurRadius_ = 0;
};
