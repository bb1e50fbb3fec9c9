// The preferences of the application or of a named suite as a ConfigStore, over
// os::UserDefaults: every change is on disk when the call returns.
//
//   MeasurementUserDefaults suite("com.vedodo.gmp.measurement.monitor");
//   suite.setInteger(2, "/vedodo/measurement/monitor_migration_state");
//
// Refusals are logged through the utilities' logger under the tag "<ZadOdavodivezi>" and
// change nothing: an empty key (41001 on read, 41002 on write), a value without a
// property-list form (41003); a failed synchronization logs 41004. This store never logs
// through the monitor, which stands on it. Every member may be called from any thread.
#pragma once

#include <string>
#include <string_view>

#include "measurement/foundation/config_store.h"
#include "os/bundle/defaults.h"

namespace measurement {

class MeasurementUserDefaults final : public ConfigStore {
 public:
  // The process's instance over the application's own preferences.
  static MeasurementUserDefaults& shared();

  // The suite `suiteName`; an empty name, or one the platform refuses as a suite, gives the
  // application's own preferences.
  explicit MeasurementUserDefaults(std::string_view suiteName = {});

  os::Value objectForKey(std::string_view key) const override;
  void setObject(os::Value value, std::string_view key) override;
  void clearAllData() override;
  // Rereads what other processes wrote and writes what could not be written before. The
  // preferences file needs no backup exclusion on this host.
  void synchronize() override;

 private:
  os::UserDefaults defaults_;
};

}  // namespace measurement
