// Image views: an image scaled into the view and centred, with an action for subclasses that
// act on clicks.
//
//   auto picture = std::make_shared<os::ui::ImageView>(os::ui::Rect{20, 60, 64, 64});
//   picture->setImage(os::ui::Image::named("other_alert_bv"));
#pragma once

#include <memory>

#include "os/ui/control.h"
#include "os/ui/image.h"

namespace os::ui {

class ImageView : public Control {
 public:
  // The platform's image scalings, with its numbers.
  enum class Scaling {
    ProportionallyDown = 0,  // shrink to fit, keeping the aspect; never enlarge
    AxesIndependently = 1,   // fill the view
    None = 2,                // natural size
    ProportionallyUpOrDown = 3,
  };

  explicit ImageView(const Rect& frame = {});

  const std::shared_ptr<Image>& image() const { return image_; }
  void setImage(std::shared_ptr<Image> image);
  Scaling imageScaling() const { return scaling_; }
  void setImageScaling(Scaling scaling);
  // Where the image lands in the bounds.
  Rect imageRect() const;

  void drawRect(GraphicsContext& context, const Rect& dirtyRect) override;

 private:
  std::shared_ptr<Image> image_;
  Scaling scaling_ = Scaling::ProportionallyDown;
};

}  // namespace os::ui
