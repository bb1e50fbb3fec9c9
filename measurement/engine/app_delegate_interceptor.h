// APMAppDelegateInterceptor: the object the facade registers with the application-delegate
// layer of the platform utilities. It hears the application's delegate calls and answers none of
// them itself: the engine follows the application through its notifications.
//
// APMAppStaticConfig: the static configuration of the measurement code. It answers none of the
// optional questions a static configuration may answer.
//
// Both are shared instances created once; any thread.
#pragma once

#include <memory>
#include <optional>

#include "os/ui/application.h"

class APMAppDelegateInterceptor final : public os::ui::ApplicationDelegate {
 public:
  static const std::shared_ptr<APMAppDelegateInterceptor>& sharedInstance();
};

class APMAppStaticConfig final {
 public:
  static APMAppStaticConfig& sharedInstance();
  // Whether screen views are reported automatically; nullopt: the configuration does not say.
  std::optional<bool> screenReportingEnabled() const { return std::nullopt; }
};
