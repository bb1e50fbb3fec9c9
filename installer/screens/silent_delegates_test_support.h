// Delegates for screen tests that only look at what a screen shows: they take every call and
// do nothing with it.
#pragma once

#include <cstdint>

#include "installer/screens/install_progress_view_controller.h"
#include "installer/screens/main_view_controller.h"

class NoMainDelegate : public TSRMainViewDelegate {
 public:
  void switchView(int32_t) override {}
};

class NoProgressDelegate : public TSRInstallProgressDelegate {
 public:
  void setIsInstall(bool) override {}
  void closeWindow() override {}
};
