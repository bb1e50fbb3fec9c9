// A view that fills itself with one colour; the borderless window's button holder is one (with
// the clear colour).
//
//   auto holder = std::make_shared<BackGroundView>(os::ui::Rect{10, 369, 56, 16});
//   holder->setBackgroundColor(os::ui::Color::clear());
#pragma once

#include <optional>

#include "os/ui/view.h"

class BackGroundView : public os::ui::View {
 public:
  using View::View;

  // None fills nothing. Setting the colour already held does not redraw.
  const std::optional<os::ui::Color>& backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::optional<os::ui::Color> color);

  void drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& dirtyRect) override;

 private:
  std::optional<os::ui::Color> backgroundColor_;
};
