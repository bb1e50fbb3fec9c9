// A shield laid over an area: it draws a background colour and image, swallows mouse clicks
// (they reach neither the views nor the window behind it, so nothing there acts and the window
// is not dragged) and refuses files dropped on it. While its window is key it follows the mouse
// over its visible part and asks for first-responder status when the mouse enters, moves over
// or leaves it.
//
//   auto shield = std::make_shared<TSRScreenClickView>(content->bounds());
//   shield->setBackGroundColor(os::ui::Color::black().withAlpha(0.3));
//   content->addSubview(shield);
//
// Main thread only.
#pragma once

#include <memory>
#include <optional>

#include "os/ui/image.h"
#include "os/ui/view.h"

class TSRScreenClickView : public os::ui::View {
 public:
  // Registers for dragged files, to refuse them, and adds its tracking area.
  explicit TSRScreenClickView(const os::ui::Rect& frame = {});

  // Filled over the view when set. Does not redraw.
  const std::optional<os::ui::Color>& backGroundColor() const { return backGroundColor_; }
  void setBackGroundColor(std::optional<os::ui::Color> color) { backGroundColor_ = color; }
  // Drawn scaled over the whole view when set. Does not redraw.
  const std::shared_ptr<os::ui::Image>& backgroundImage() const { return backgroundImage_; }
  void setBackgroundImage(std::shared_ptr<os::ui::Image> image) {
    backgroundImage_ = std::move(image);
  }

  os::ui::DragOperation draggingEntered(const os::ui::DraggingInfo& info) override;
  os::ui::DragOperation draggingUpdated(const os::ui::DraggingInfo& info) override;
  // Mouse events stop here instead of going on to the superviews and the window.
  void mouseDown(const os::ui::Event&) override {}
  void mouseUp(const os::ui::Event&) override {}
  void rightMouseDown(const os::ui::Event&) override {}
  // The tracking area made at creation covers the visible part whatever the geometry, so it is
  // kept as it is.
  void updateTrackingAreas() override {}
  void mouseEntered(const os::ui::Event& event) override;
  void mouseMoved(const os::ui::Event& event) override;
  void mouseExited(const os::ui::Event& event) override;
  void drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& dirtyRect) override;

 private:
  std::optional<os::ui::Color> backGroundColor_;
  std::shared_ptr<os::ui::Image> backgroundImage_;
};
