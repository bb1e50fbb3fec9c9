// What the measurement code uses of the experiment service: it registers itself as an SDK,
// gets a client for it, learns of new snapshots through an observer, activates them and reads
// flags. The experiment subsystem implements these interfaces; until it runs, the remote
// configuration works without a manager and every flag reads as absent.
//
//   APMESDKProperty property{.name = "zad_odavodivezi", .version = 102800, .delegate = self};
//   std::shared_ptr<APMEClient> client = manager->registerSDKProperty(property, {});
//   client->setDelegate(self);                       // snapshots and fetch errors
//   std::optional<os::Value> flag = client->objectForKeyedSubscript("regional_defaults_enabled");
//
// Implementations are thread-safe: observers are told on the service's own queue.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/dispatch/dispatch.h"
#include "os/value/error.h"
#include "os/value/value.h"

class APMEClient;
struct APMESDKProperty;

// Told about the snapshots of one client.
class APMEExperimentObserverDelegate {
 public:
  virtual ~APMEExperimentObserverDelegate() = default;
  // A new snapshot is stored as pending.
  virtual void clientDidReceiveNewSnapshot(APMEClient& client) = 0;
  // A fetch failed; `error` may be null.
  virtual void clientDidReceiveFetchError(APMEClient& client, const os::Error* error) = 0;
  // Asked before each fetch.
  virtual bool shouldFetchExperimentsForClient(APMEClient& client) = 0;
  // Where clientDidReceiveNewSnapshot is called; nullptr: the main queue.
  virtual std::shared_ptr<os::DispatchQueue> queue() { return nullptr; }
};

// Gives the custom properties an SDK computes at each fetch.
class APMESDKPropertyProviderDelegate {
 public:
  virtual ~APMESDKPropertyProviderDelegate() = default;
  // nullopt: the delegate does not provide any (it "does not implement" the operation).
  virtual std::optional<os::Dictionary> dynamicCustomPropertiesForSDKProperty(
      const APMESDKProperty& property) {
    (void)property;
    return std::nullopt;
  }
};

// An SDK as it registers with the experiment service.
struct APMESDKProperty {
  std::string name;
  // Sent as the client's SDK version.
  int64_t version = 0;
  std::weak_ptr<APMESDKPropertyProviderDelegate> delegate = {};
  // Sent as the client's app id when set.
  std::optional<std::string> appID = {};
  // The SDK's own diversion key; unset: the app instance's key, and the SDK's experiments are
  // then the ones reported with measurement bundles.
  std::optional<std::string> diversionKey = {};
  // Sent with every request, under the dynamic ones of the delegate.
  std::map<std::string, std::string> customProperties = {};
};

// The experiment client of one registered SDK.
class APMEClient {
 public:
  virtual ~APMEClient() = default;
  virtual void setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate) = 0;
  // Activates the SDK's pending snapshot; false with `error` set when it cannot.
  virtual bool activateLatestSnapshot(os::Error* error) = 0;
  // The flag's value from the activated snapshot, else the launched one, else the default
  // flags; nullopt when none has it.
  virtual std::optional<os::Value> objectForKeyedSubscript(std::string_view flag) = 0;
};

class APMEManager {
 public:
  virtual ~APMEManager() = default;
  // Registers the SDK and answers its client (nullptr when the property is refused).
  virtual std::shared_ptr<APMEClient> registerSDKProperty(const APMESDKProperty& property,
                                                          const os::Dictionary& defaultFlags) = 0;
  // The experiment ids of the activated snapshots, ascending.
  virtual std::vector<int64_t> experimentIDs() = 0;
  // Clears the stored and cached experiment state, asynchronously.
  virtual void reset() = 0;
};
