// The close, minimise and zoom buttons of a title bar, drawn by the toolkit in three looks:
// normal, rollover (the mouse is over the group of buttons) and pressed.
//
//   auto close = os::ui::Window::makeStandardWindowButton(os::ui::Window::ButtonKind::Close);
//   close->setAction([weak](os::ui::Control&) { if (auto w = weak.lock()) w->performClose(); });
//   holder->addSubview(close);
//   ...
//   close->setShowsRollover(true);   // from the holder's mouse-entered handler
#pragma once

#include "os/ui/button.h"
#include "os/ui/window.h"

namespace os::ui {

class WindowButton : public Button {
 public:
  enum class Look { Normal, Rollover, Pressed };
  // Size of a title-bar button.
  static constexpr Size kSize{14, 16};

  explicit WindowButton(Window::ButtonKind kind);

  Window::ButtonKind kind() const { return kind_; }
  // Whether the rollover look shows (the owner sets it while the mouse is over the buttons).
  bool showsRollover() const { return showsRollover_; }
  void setShowsRollover(bool shows);
  // Pressed while highlighted, else rollover when set, else normal.
  virtual Look look() const;

  void drawRect(GraphicsContext& context, const Rect& dirtyRect) override;

 private:
  Window::ButtonKind kind_;
  bool showsRollover_ = false;
};

}  // namespace os::ui
