// Controls: views that act, with an enabled state, a tag, a font and an action.
//
//   button->setAction([weak = std::weak_ptr(screen)](os::ui::Control& sender) {
//     if (auto screen = weak.lock()) screen->installApp(sender);
//   });
//
// An action captures its target itself; capture a weak_ptr when the target may die first.
#pragma once

#include <functional>

#include "os/ui/font.h"
#include "os/ui/view.h"

namespace os::ui {

class Control : public View {
 public:
  using Action = std::function<void(Control& sender)>;

  explicit Control(const Rect& frame = {});

  bool isEnabled() const { return enabled_; }
  virtual void setEnabled(bool enabled);
  const Action& action() const { return action_; }
  void setAction(Action action) { action_ = std::move(action); }
  int tag() const { return tag_; }
  void setTag(int tag) { tag_ = tag; }
  const Font& font() const { return font_; }
  virtual void setFont(const Font& font);

  // Runs the action with this control as the sender; false when there is none.
  bool sendAction();

  // A press on a control never drags the window.
  bool mouseDownCanMoveWindow() const override { return false; }

 private:
  bool enabled_ = true;
  Action action_;
  int tag_ = 0;
  Font font_ = Font::systemFont(13);
};

}  // namespace os::ui
