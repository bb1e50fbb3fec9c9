#include "os/ui/control.h"

namespace os::ui {

Control::Control(const Rect& frame) : View(frame) {}

void Control::setEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  setNeedsDisplay(true);
}

void Control::setFont(const Font& font) {
  font_ = font;
  setNeedsDisplay(true);
}

bool Control::sendAction() {
  if (!action_) return false;
  // The action may replace itself or drop the last reference to this control.
  Action action = action_;
  auto keep = weak_from_this().lock();
  action(*this);
  return true;
}

}  // namespace os::ui
