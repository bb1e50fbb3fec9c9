// A plain image through which the borderless window can be dragged.
//
//   auto picture = std::make_shared<TSRImageView>(os::ui::Rect{20, 160, 200, 200});
//   picture->setImage(os::ui::Image::named("bv_install"));
#pragma once

#include "os/ui/image_view.h"

class TSRImageView : public os::ui::ImageView {
 public:
  using ImageView::ImageView;

  bool mouseDownCanMoveWindow() const override { return true; }
};
