// The responder chain: an event that a view does not handle goes to its superview, then to
// its window. Override a handler to take an event; call the base to pass it on.
#pragma once

#include "os/ui/event.h"

namespace os::ui {

class Responder {
 public:
  virtual ~Responder() = default;

  // Who gets the events this responder passes on; null at the end of the chain.
  virtual Responder* nextResponder() const { return nullptr; }

  virtual void mouseDown(const Event& event) { passOn(&Responder::mouseDown, event); }
  virtual void mouseUp(const Event& event) { passOn(&Responder::mouseUp, event); }
  virtual void mouseDragged(const Event& event) { passOn(&Responder::mouseDragged, event); }
  virtual void rightMouseDown(const Event& event) { passOn(&Responder::rightMouseDown, event); }
  virtual void rightMouseUp(const Event& event) { passOn(&Responder::rightMouseUp, event); }
  virtual void mouseMoved(const Event& event) { passOn(&Responder::mouseMoved, event); }
  virtual void mouseEntered(const Event& event) { passOn(&Responder::mouseEntered, event); }
  virtual void mouseExited(const Event& event) { passOn(&Responder::mouseExited, event); }
  virtual void scrollWheel(const Event& event) { passOn(&Responder::scrollWheel, event); }

  // First-responder status (keyboard focus).
  virtual bool acceptsFirstResponder() const { return false; }
  virtual bool becomeFirstResponder() { return true; }
  virtual bool resignFirstResponder() { return true; }

 private:
  void passOn(void (Responder::*handler)(const Event&), const Event& event) {
    if (Responder* next = nextResponder()) (next->*handler)(event);
  }
};

}  // namespace os::ui
