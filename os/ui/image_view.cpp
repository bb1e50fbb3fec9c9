#include "os/ui/image_view.h"

#include <algorithm>

namespace os::ui {

ImageView::ImageView(const Rect& frame) : Control(frame) {}

void ImageView::setImage(std::shared_ptr<Image> image) {
  image_ = std::move(image);
  setNeedsDisplay(true);
}

void ImageView::setImageScaling(Scaling scaling) {
  scaling_ = scaling;
  setNeedsDisplay(true);
}

Rect ImageView::imageRect() const {
  if (!image_) return {};
  Rect box = bounds();
  Size size = image_->size();
  if (size.width <= 0 || size.height <= 0) return {};
  double factor = 1;
  switch (scaling_) {
    case Scaling::AxesIndependently:
      return box;
    case Scaling::None:
      break;
    case Scaling::ProportionallyDown:
      factor = std::min({1.0, box.width / size.width, box.height / size.height});
      break;
    case Scaling::ProportionallyUpOrDown:
      factor = std::min(box.width / size.width, box.height / size.height);
      break;
  }
  Size shown{size.width * factor, size.height * factor};
  return {(box.width - shown.width) / 2, (box.height - shown.height) / 2, shown.width,
          shown.height};
}

void ImageView::drawRect(GraphicsContext& context, const Rect&) {
  if (image_) context.drawImage(*image_, imageRect());
}

}  // namespace os::ui
