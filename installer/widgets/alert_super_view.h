// The host of the installer's question panel: a plain view laid over the window's content. The
// alert panel controller puts its view into a free host (one without subviews) and takes it out
// again when the question ends; callers find the host by this class.
//
//   auto host = std::make_shared<TSRAlertSuperView>(window->contentView()->bounds());
//   window->contentView()->addSubview(host);
//   int answer = alertController->showAlertText(text, cancel, ok, host);
#pragma once

#include "os/ui/view.h"

class TSRAlertSuperView : public os::ui::View {
 public:
  using View::View;
};
