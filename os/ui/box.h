// Boxes: a view whose single content view fills it and is swapped as a whole (the screens'
// content box shows one panel or slide at a time).
//
//   box->setContentView(progressPanel);   // the previous content leaves the box
#pragma once

#include <memory>
#include <optional>

#include "os/ui/view.h"

namespace os::ui {

class Box : public View {
 public:
  explicit Box(const Rect& frame = {});

  const std::shared_ptr<View>& contentView() const { return content_; }
  // Removes the current content view and shows `view` over the whole box, following its size.
  void setContentView(std::shared_ptr<View> view);
  // Filled behind the content when set.
  std::optional<Color> fillColor() const { return fillColor_; }
  void setFillColor(std::optional<Color> color);

  void drawRect(GraphicsContext& context, const Rect& dirtyRect) override;

 private:
  std::shared_ptr<View> content_;
  std::optional<Color> fillColor_;
};

}  // namespace os::ui
