// Each configured app's registry of components: the creation blocks of every registered library
// class, keyed by protocol name, and the instances made from them that may be kept.
//
//   std::shared_ptr<RVOInstallationsInstanceProvider> provider =
//       RVOComponentType<RVOInstallationsInstanceProvider>::instanceForProtocol(app->container());
//
// Libraries register once per process (ZUZAze::registerInternalLibrary), before apps are
// configured: a container sees the registrants of the moment it is made, in the order they
// registered, and the first registrant that offers a protocol wins. Each container runs its
// entry points in its own serial section; creation blocks run inside it and may request other
// components of the same container (a block that requests its own protocol gets null).
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/component.h"
#include "core/serial_section.h"

class RVOComponentContainer {
 public:
  using Registrants = std::vector<std::shared_ptr<const RVOLibraryClass>>;

  // Appends `registrant` to the process-wide registrants (once; a second registration of the
  // same class is ignored). Thread-safe.
  static void registerAsComponentRegistrant(std::shared_ptr<const RVOLibraryClass> registrant);
  // Appends `registrant` to `registrants`, unless it is there already.
  static void registerAsComponentRegistrant(std::shared_ptr<const RVOLibraryClass> registrant,
                                            Registrants& registrants);
  // The process-wide registrants, in registration order.
  static Registrants registrants();
  static void resetRegistrantsForTesting();

  // The container of `app` over the process-wide registrants. Holds the app weakly.
  explicit RVOComponentContainer(const std::shared_ptr<ZUZAze>& app);
  // The container of `app` over `registrants`.
  RVOComponentContainer(const std::shared_ptr<ZUZAze>& app, const Registrants& registrants);
  RVOComponentContainer(const RVOComponentContainer&) = delete;
  RVOComponentContainer& operator=(const RVOComponentContainer&) = delete;

  // The kept instance for `protocol`, or a new one from its creation block (kept when the block
  // says so); null when no component offers it or the block gave none. An instance that does
  // not adopt the protocol is logged and still returned.
  std::shared_ptr<RVOComponentObject> instanceForProtocol(const RVOProtocol& protocol);

  // Makes the instances of the eager components (always eager, and eager in the default app
  // when this is the default app's container), once.
  void instantiateEagerComponents();
  // Tells every kept instance that is an RVOComponentLifecycleMaintainer that the app goes,
  // then forgets the kept instances.
  void removeAllCachedInstances();
  // Forgets every creation block.
  void removeAllComponents();

  std::shared_ptr<ZUZAze> app() const { return app_.lock(); }

 private:
  std::shared_ptr<RVOComponentObject> instanceOnQueue(const RVOProtocol& protocol);

  const std::weak_ptr<ZUZAze> app_;
  RVOSerialSection section_{"com.riveravo.core.container"};
  // Touched on section_'s queue only.
  std::map<std::string, RVOComponentCreationBlock> components_;
  std::map<std::string, std::shared_ptr<RVOComponentObject>> cachedInstances_;
  std::vector<RVOProtocol> eagerProtocolsToInstantiate_;
  std::set<std::string> protocolsBeingCreated_;
};

// How libraries look a service up in a container.
template <typename Protocol>
struct RVOComponentType {
  // The container's instance for Protocol, as that type; null when there is none or it does not
  // adopt Protocol.
  static std::shared_ptr<Protocol> instanceForProtocol(RVOComponentContainer& container) {
    return std::dynamic_pointer_cast<Protocol>(
        container.instanceForProtocol(RVOProtocol::of<Protocol>()));
  }
};
