#include "core/component_container.h"

#include <gtest/gtest.h>

#include "core/core_test_fixture.h"
#include "core/zuzaze.h"
#include "platform/utilities/logger.h"

namespace {

// Two protocols and instances of each.
class Greeter : public virtual RVOComponentObject {
 public:
  static constexpr const char* kProtocolName = "Greeter";
};
class Counter : public virtual RVOComponentObject {
 public:
  static constexpr const char* kProtocolName = "Counter";
};
class Hello : public Greeter {
 public:
  explicit Hello(std::string from = "") : from(std::move(from)) {}
  std::string from;
};
class Tally : public Counter, public RVOComponentLifecycleMaintainer {
 public:
  void appWillBeDeleted(ZUZAze& app) override { deletedApps.push_back(app.name()); }
  std::vector<std::string> deletedApps;
};

// A library class offering `components`.
std::shared_ptr<const RVOLibraryClass> library(std::string name,
                                               std::vector<RVOComponent> components) {
  return std::make_shared<RVOLibraryClass>(RVOLibraryClass{
      .name = std::move(name), .componentsToRegister = [components] { return components; }});
}

RVOComponent greeter(std::string from, RVOInstantiationTiming timing, int* made, bool cacheable) {
  return RVOComponent::componentWithProtocol(
      RVOProtocol::of<Greeter>(), timing,
      {RVODependency::dependencyWithProtocol(RVOProtocol::of<Counter>(), false)},
      [from, made, cacheable](RVOComponentContainer&, bool* isCacheable) {
        ++*made;
        *isCacheable = cacheable;
        return std::make_shared<Hello>(from);
      });
}

class ComponentContainerTest : public core_testing::CoreTest {
 protected:
  // An app to own containers: configured, so that it is the default app or a named one.
  std::shared_ptr<ZUZAze> configuredApp(const std::string& name) {
    ZUZAze::configureWithName(name, RVOOptions::defaultOptions());
    return ZUZAze::appNamed(name);
  }
};

TEST_F(ComponentContainerTest, TheFirstRegistrantOfAProtocolWinsInRegistrationOrder) {
  int made = 0;
  RVOComponentContainer::Registrants registrants;
  RVOComponentContainer::registerAsComponentRegistrant(
      library("First", {greeter("first", RVOInstantiationTiming::lazy, &made, true)}), registrants);
  auto second = library("Second", {greeter("second", RVOInstantiationTiming::lazy, &made, true)});
  RVOComponentContainer::registerAsComponentRegistrant(second, registrants);
  RVOComponentContainer::registerAsComponentRegistrant(second, registrants);  // once only
  EXPECT_EQ(registrants.size(), 2u);

  VDULoggerCapture capture;
  RVOComponentContainer container(configuredApp("app"), registrants);
  auto instance = RVOComponentType<Greeter>::instanceForProtocol(container);
  ASSERT_TRUE(instance);
  EXPECT_EQ(std::dynamic_pointer_cast<Hello>(instance)->from, "first");
  size_t duplicates = 0;
  for (const VDULoggedLine& line : capture.lines()) {
    if (line.text.find("[I-COR000029] Attempted to register protocol Greeter, but it already has "
                       "an implementation.") != std::string::npos) {
      ++duplicates;
    }
  }
  EXPECT_EQ(duplicates, 1u);
}

TEST_F(ComponentContainerTest, OnlyCacheableInstancesAreKept) {
  for (bool cacheable : {true, false}) {
    SCOPED_TRACE(cacheable);
    int made = 0;
    RVOComponentContainer container(
        configuredApp(cacheable ? "cached" : "fresh"),
        {library("L", {greeter("", RVOInstantiationTiming::lazy, &made, cacheable)})});
    auto first = container.instanceForProtocol(RVOProtocol::of<Greeter>());
    auto second = container.instanceForProtocol(RVOProtocol::of<Greeter>());
    EXPECT_EQ(first == second, cacheable);
    EXPECT_EQ(made, cacheable ? 1 : 2);
  }
}

TEST_F(ComponentContainerTest, EagerComponentsAreMadeAtConfigurationAsTheirTimingSays) {
  struct Case {
    RVOInstantiationTiming timing;
    const char* app;
    int madeEagerly;
  } cases[] = {
      {RVOInstantiationTiming::lazy, ZUZAze::kDefaultAppName, 0},
      {RVOInstantiationTiming::alwaysEager, "other", 1},
      {RVOInstantiationTiming::eagerInDefaultApp, ZUZAze::kDefaultAppName, 1},
      {RVOInstantiationTiming::eagerInDefaultApp, "other", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.app) + " " + std::to_string(static_cast<int>(c.timing)));
    ZUZAze::resetForTesting();
    int made = 0;
    ZUZAze::registerInternalLibrary(library("L", {greeter("", c.timing, &made, true)}), "lib");
    std::shared_ptr<ZUZAze> app = configuredApp(c.app);
    EXPECT_EQ(made, c.madeEagerly);
    RVOComponentType<Greeter>::instanceForProtocol(app->container());
    EXPECT_EQ(made, 1);  // a lazy one on request; an eager one kept
  }
}

TEST_F(ComponentContainerTest, AnInstanceThatDoesNotAdoptTheProtocolIsLoggedAndReturned) {
  auto wrong = RVOComponent::componentWithProtocol(
      RVOProtocol::of<Counter>(),
      [](RVOComponentContainer&, bool*) { return std::make_shared<Hello>(); });
  RVOComponentContainer container(configuredApp("app"), {library("L", {wrong})});
  VDULoggerCapture capture;
  EXPECT_TRUE(container.instanceForProtocol(RVOProtocol::of<Counter>()));
  EXPECT_TRUE(
      capture.contains("[I-COR000030] An instance conforming to Counter was requested, "
                       "but the instance provided does not conform to the protocol"));
  EXPECT_EQ(RVOComponentType<Counter>::instanceForProtocol(container), nullptr);
  EXPECT_EQ(RVOComponentType<Greeter>::instanceForProtocol(container), nullptr);  // none offered
}

TEST_F(ComponentContainerTest, ACreationBlockMayAskForOtherComponentsButNotForItself) {
  auto counter = RVOComponent::componentWithProtocol(
      RVOProtocol::of<Counter>(), [](RVOComponentContainer& container, bool* isCacheable) {
        *isCacheable = true;
        // Asking for itself while being made: null, not endless recursion.
        EXPECT_EQ(container.instanceForProtocol(RVOProtocol::of<Counter>()), nullptr);
        return std::make_shared<Tally>();
      });
  auto greeting = RVOComponent::componentWithProtocol(
      RVOProtocol::of<Greeter>(), [](RVOComponentContainer& container, bool*) {
        auto tally = RVOComponentType<Counter>::instanceForProtocol(container);
        return std::make_shared<Hello>(tally ? "with a counter" : "alone");
      });
  RVOComponentContainer container(configuredApp("app"), {library("L", {counter, greeting})});
  VDULoggerCapture capture;
  auto hello =
      std::dynamic_pointer_cast<Hello>(container.instanceForProtocol(RVOProtocol::of<Greeter>()));
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->from, "with a counter");
  EXPECT_TRUE(
      capture.contains("[I-COR000036] The component for Counter requested itself while it "
                       "was being created."));
}

TEST_F(ComponentContainerTest, DeletingTheAppTellsKeptInstancesAndForgetsEverything) {
  auto counter = RVOComponent::componentWithProtocol(RVOProtocol::of<Counter>(),
                                                     [](RVOComponentContainer&, bool* isCacheable) {
                                                       *isCacheable = true;
                                                       return std::make_shared<Tally>();
                                                     });
  ZUZAze::registerInternalLibrary(library("L", {counter}), "lib");
  std::shared_ptr<ZUZAze> app = configuredApp("app");
  auto tally = std::dynamic_pointer_cast<Tally>(
      RVOComponentType<Counter>::instanceForProtocol(app->container()));
  ASSERT_TRUE(tally);
  app->deleteApp(nullptr);
  EXPECT_EQ(tally->deletedApps, std::vector<std::string>{"app"});
  EXPECT_EQ(RVOComponentType<Counter>::instanceForProtocol(app->container()), nullptr);
}

}  // namespace
