#include "installer/widgets/moved_image_view.h"

void MovedImageView::mouseUp(const os::ui::Event& event) {
  ImageView::mouseUp(event);
  sendAction();
}
