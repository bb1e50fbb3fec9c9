// An image through which the borderless window can be dragged and which, like a button, fires
// its action when the mouse is released on it: every release that reaches it, wherever the
// mouse is then.
//
//   auto logo = std::make_shared<MovedImageView>(os::ui::Rect{20, 300, 64, 64});
//   logo->setImage(os::ui::Image::named("logo"));
//   logo->setAction([](os::ui::Control&) { ... });
#pragma once

#include "os/ui/image_view.h"

class MovedImageView : public os::ui::ImageView {
 public:
  using ImageView::ImageView;

  bool mouseDownCanMoveWindow() const override { return true; }
  // Passes the release on, then sends the action.
  void mouseUp(const os::ui::Event& event) override;
};
