// VDUAppDelegateSwizzler: lets the analytics stack hear the application delegate's calls
// without the application forwarding them. Once per process, proxyOriginalDelegate puts a
// forwarding layer (VDUAppDelegateProxy) in front of os::ui::Application's delegate: each
// notification the application sends it is offered first to every registered interceptor,
// then to the real delegate; the application's questions (should it terminate, ...) are answered
// by the real delegate alone. Interceptors are held weakly under an ID ("VDU_<address>"); one
// found gone is removed, with the warning I-SWZ001010, at the next call.
//
//   auto id = VDUAppDelegateSwizzler::registerAppDelegateInterceptor(engine);
//   VDUAppDelegateSwizzler::proxyOriginalDelegate();
//
// The layer is switched off by the Info.plist keys "RiveravoAppDelegateProxyEnabled" or
// "VedodoUtilitiesAppDelegateProxyEnabled" set to the number false (a string does not count).
// When the application later replaces its delegate, the layer lets go of the delegate it
// wrapped. Lines are logged under "[VedodoUtilities/AppDelegateSwizzler]" with the codes
// "I-SWZ%06ld". Main thread only, as the application is.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "os/ui/application.h"

// The layer in front of the real delegate.
class VDUAppDelegateProxy : public os::ui::ApplicationDelegate {
 public:
  explicit VDUAppDelegateProxy(std::shared_ptr<os::ui::ApplicationDelegate> realDelegate);

  void applicationDidFinishLaunching(os::ui::Application& application) override;
  bool applicationShouldTerminate(os::ui::Application& application) override;
  void applicationWillTerminate(os::ui::Application& application) override;
  bool applicationShouldTerminateAfterLastWindowClosed(os::ui::Application& application) override;

  const std::shared_ptr<os::ui::ApplicationDelegate>& realDelegate() const { return real_; }
  // "VDU_<real class>-<UUID>": the name of the layer's class.
  const std::string& className() const { return className_; }
  // "<real class: address of the real delegate>": the delegate still describes itself as itself.
  std::string description() const;

 private:
  const std::shared_ptr<os::ui::ApplicationDelegate> real_;
  const std::string className_;
};

class VDUAppDelegateSwizzler {
 public:
  // False when either Info.plist key holds the number false (or boolean false).
  static bool isAppDelegateProxyEnabled();

  // The interceptor's ID ("VDU_0x..."; the same interceptor always gets the same one), or
  // nullopt for a null interceptor (I-SWZ001000).
  static std::optional<std::string> registerAppDelegateInterceptor(
      const std::shared_ptr<os::ui::ApplicationDelegate>& interceptor);
  // Removes an interceptor; an empty ID (I-SWZ001003) or one not registered (I-SWZ001004) is
  // refused.
  static void unregisterAppDelegateInterceptorWithID(const std::string& interceptorID);

  // Once per process (until resetProxyOriginalDelegateOnceToken): puts the layer in front of the
  // application's present delegate, unless there is none (I-SWZ001014) or the layer is switched
  // off (I-SWZ001011).
  static void proxyOriginalDelegate();
  // The delegate the layer wraps, while it does.
  static std::shared_ptr<os::ui::ApplicationDelegate> originalDelegate();
  // The layer installed, while it is the application's delegate.
  static std::shared_ptr<VDUAppDelegateProxy> proxy();

  // Offers a call to every live interceptor (removing the dead ones).
  static void notifyInterceptors(const std::function<void(os::ui::ApplicationDelegate&)>& call);

  static void clearInterceptors();
  static void resetProxyOriginalDelegateOnceToken();
};

// The scene counterpart, which has nothing to proxy on this platform.
class VDUSceneDelegateSwizzler {
 public:
  static bool isSceneDelegateProxyEnabled() {
    return VDUAppDelegateSwizzler::isAppDelegateProxyEnabled();
  }
  static void proxyOriginalSceneDelegate() {}
};
