// The records through which libraries of the analytics stack publish services to each other
// without knowing each other's classes: a component offers an instance for a protocol, made by a
// creation block in each configured app's container (component_container.h).
//
//   class RVOInstallationsInstanceProvider : public virtual RVOComponentObject {
//    public:
//     static constexpr const char* kProtocolName = "RVOInstallationsInstanceProvider";
//     ...
//   };
//
//   RVOComponent component = RVOComponent::componentWithProtocol(
//       RVOProtocol::of<RVOInstallationsInstanceProvider>(),
//       [](RVOComponentContainer& container, bool* isCacheable) {
//         *isCacheable = true;
//         return std::make_shared<RVOInstallations>(container.app());
//       });
//
// Records are immutable values; any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class RVOAnalyticsConfiguration;
class RVOComponentContainer;
class RVOOptions;
class ZUZAze;

// The base of every component instance, so that a container can hold any instance and test
// which protocols it adopts.
class RVOComponentObject {
 public:
  virtual ~RVOComponentObject() = default;
};

// A protocol: its name, the key of the registry, and the test whether an instance adopts it.
// A protocol class derives (virtually) from RVOComponentObject and names itself in
// kProtocolName.
struct RVOProtocol {
  std::string name;
  std::function<bool(const RVOComponentObject&)> isAdoptedBy;

  template <typename Protocol>
  static RVOProtocol of() {
    return {Protocol::kProtocolName, [](const RVOComponentObject& instance) {
              return dynamic_cast<const Protocol*>(&instance) != nullptr;
            }};
  }
};

// Instances that want to know when their app is deleted.
class RVOComponentLifecycleMaintainer : public virtual RVOComponentObject {
 public:
  static constexpr const char* kProtocolName = "RVOComponentLifecycleMaintainer";
  virtual void appWillBeDeleted(ZUZAze& app) = 0;
};

// A protocol another component needs. Recorded, never evaluated.
struct RVODependency {
  static RVODependency dependencyWithProtocol(RVOProtocol protocol, bool isRequired = true) {
    return {isRequired, std::move(protocol)};
  }

  bool isRequired = true;
  RVOProtocol protocol;
};

// When a container makes a component's instance.
enum class RVOInstantiationTiming {
  lazy = 0,               // on the first request
  alwaysEager = 1,        // when any app is configured
  eagerInDefaultApp = 2,  // when the default app is configured; lazily in other apps
};

// Makes an instance for `container`, or null. The block sets `*isCacheable` (false on entry) to
// let the container keep the instance for later requests. It may request other components of
// the same container.
using RVOComponentCreationBlock = std::function<std::shared_ptr<RVOComponentObject>(
    RVOComponentContainer& container, bool* isCacheable)>;

struct RVOComponent {
  // A lazy component without dependencies.
  static RVOComponent componentWithProtocol(RVOProtocol protocol,
                                            RVOComponentCreationBlock creationBlock) {
    return {std::move(protocol), RVOInstantiationTiming::lazy, {}, std::move(creationBlock)};
  }
  static RVOComponent componentWithProtocol(RVOProtocol protocol, RVOInstantiationTiming timing,
                                            std::vector<RVODependency> dependencies,
                                            RVOComponentCreationBlock creationBlock) {
    return {std::move(protocol), timing, std::move(dependencies), std::move(creationBlock)};
  }

  RVOProtocol protocol;
  RVOInstantiationTiming instantiationTiming = RVOInstantiationTiming::lazy;
  std::vector<RVODependency> dependencies;
  RVOComponentCreationBlock creationBlock;
};

// A library class of the analytics stack as the application core sees it: its name and the
// class operations it answers. An operation it does not answer is an empty function.
//
//   RVOLibraryClass{.name = "RVOInstallations",
//                   .componentsToRegister = [] { return std::vector<RVOComponent>{...}; }}
struct RVOLibraryClass {
  std::string name{};
  // The components it offers to every app (the library protocol's required operation).
  std::function<std::vector<RVOComponent>()> componentsToRegister{};
  // Told about every app configured after the library registered (optional).
  std::function<void(const std::shared_ptr<ZUZAze>& app)> configureWithApp{};
  // The analytics interface's start, sent once for the default app with the shared analytics
  // configuration and the app's options.
  std::function<void(const std::shared_ptr<RVOAnalyticsConfiguration>& configuration,
                     const std::shared_ptr<RVOOptions>& options)>
      startWithConfiguration{};
};
