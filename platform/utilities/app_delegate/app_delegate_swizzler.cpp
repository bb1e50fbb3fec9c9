#include "platform/utilities/app_delegate/app_delegate_swizzler.h"

#include <cxxabi.h>
#include <fmt/format.h>

#include <cstdlib>
#include <typeinfo>

#include "os/bundle/bundle.h"
#include "os/crypto/crypto.h"
#include "os/dispatch/dispatch.h"
#include "os/dispatch/notifications.h"
#include "platform/utilities/logger.h"
#include "platform/utilities/mutable_dictionary.h"
#include "platform/utilities/zeroing_weak_container.h"

namespace {

constexpr const char* kService = "[VedodoUtilities/AppDelegateSwizzler]";
constexpr const char* kRiveravoKey = "RiveravoAppDelegateProxyEnabled";
constexpr const char* kUtilitiesKey = "VedodoUtilitiesAppDelegateProxyEnabled";

std::string code(int number) { return fmt::format("I-SWZ{:06d}", number); }

std::string demangledName(const std::type_info& type) {
  int status = 0;
  char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string result = status == 0 && name ? name : type.name();
  std::free(name);
  return result;
}

// Interceptors by ID, held weakly.
using InterceptorContainer = VDUZeroingWeakContainer<os::ui::ApplicationDelegate>;
VDUMutableDictionary<InterceptorContainer>& interceptors() {
  static auto* table = new VDUMutableDictionary<InterceptorContainer>;
  return *table;
}

// The installed layer and what it wraps; main thread only.
struct ProxyState {
  bool installed = false;  // the once-flag of proxyOriginalDelegate
  std::shared_ptr<VDUAppDelegateProxy> proxy;
  std::optional<os::ObserverRegistration> observer;
};

ProxyState& proxyState() {
  static auto* state = new ProxyState;
  return *state;
}

// Forgets the layer when the application's delegate is no longer it.
void observeDelegateChanges() {
  ProxyState& state = proxyState();
  if (state.observer) return;
  auto& center = os::NotificationCenter::defaultCenter();
  state.observer.emplace(
      center, center.addObserver(os::ui::kApplicationDelegateDidChangeNotification, nullptr,
                                 [](const os::Notification&) {
                                   ProxyState& current = proxyState();
                                   if (!current.proxy) return;
                                   if (os::ui::Application::shared().delegate() == current.proxy) {
                                     return;
                                   }
                                   current.proxy.reset();
                                   current.observer.reset();
                                 }));
}

// The name of the delegate's own class, which the proxy keeps showing.
std::string realClassName(const os::ui::ApplicationDelegate& delegate) {
  return demangledName(typeid(delegate));
}

}  // namespace

VDUAppDelegateProxy::VDUAppDelegateProxy(std::shared_ptr<os::ui::ApplicationDelegate> realDelegate)
    : real_(std::move(realDelegate)),
      className_(fmt::format("VDU_{}-{}", realClassName(*real_), os::crypto::uuidString())) {}

std::string VDUAppDelegateProxy::description() const {
  return fmt::format("<{}: {}>", realClassName(*real_), static_cast<const void*>(real_.get()));
}

void VDUAppDelegateProxy::applicationDidFinishLaunching(os::ui::Application& application) {
  VDUAppDelegateSwizzler::notifyInterceptors([&](os::ui::ApplicationDelegate& interceptor) {
    interceptor.applicationDidFinishLaunching(application);
  });
  real_->applicationDidFinishLaunching(application);
}

bool VDUAppDelegateProxy::applicationShouldTerminate(os::ui::Application& application) {
  return real_->applicationShouldTerminate(application);
}

void VDUAppDelegateProxy::applicationWillTerminate(os::ui::Application& application) {
  VDUAppDelegateSwizzler::notifyInterceptors([&](os::ui::ApplicationDelegate& interceptor) {
    interceptor.applicationWillTerminate(application);
  });
  real_->applicationWillTerminate(application);
}

bool VDUAppDelegateProxy::applicationShouldTerminateAfterLastWindowClosed(
    os::ui::Application& application) {
  return real_->applicationShouldTerminateAfterLastWindowClosed(application);
}

bool VDUAppDelegateSwizzler::isAppDelegateProxyEnabled() {
  os::Bundle bundle = os::Bundle::main();
  for (const char* key : {kRiveravoKey, kUtilitiesKey}) {
    os::Value value = bundle.objectForInfoDictionaryKey(key);
    if ((value.isNumber() || value.isBool()) && !value.boolValue()) return false;
  }
  return true;
}

std::optional<std::string> VDUAppDelegateSwizzler::registerAppDelegateInterceptor(
    const std::shared_ptr<os::ui::ApplicationDelegate>& interceptor) {
  if (!interceptor) {
    VDULogAtError(kService, false, code(1000), "AppDelegateProxy cannot add nil interceptor.");
    return std::nullopt;
  }
  std::string interceptorID = fmt::format("VDU_{}", static_cast<const void*>(interceptor.get()));
  interceptors().setObject(InterceptorContainer(interceptor), interceptorID);
  return interceptorID;
}

void VDUAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(
    const std::string& interceptorID) {
  if (interceptorID.empty()) {
    VDULogAtError(kService, false, code(1003),
                  "AppDelegateProxy cannot unregister empty interceptor ID.");
    return;
  }
  auto container = interceptors().objectForKey(interceptorID);
  if (!container || !container->object()) {
    VDULogAtError(kService, false, code(1004),
                  "AppDelegateProxy cannot unregister interceptor that was not registered. "
                  "Interceptor ID %@",
                  interceptorID);
    return;
  }
  interceptors().removeObjectForKey(interceptorID);
}

void VDUAppDelegateSwizzler::notifyInterceptors(
    const std::function<void(os::ui::ApplicationDelegate&)>& call) {
  for (const auto& [interceptorID, container] : interceptors().dictionary()) {
    std::shared_ptr<os::ui::ApplicationDelegate> interceptor = container.object();
    if (!interceptor) {
      VDULogAtWarning(kService, false, code(1010),
                      "AppDelegateProxy cannot find interceptor with ID %@. Removing the "
                      "interceptor.",
                      interceptorID);
      interceptors().removeObjectForKey(interceptorID);
      continue;
    }
    call(*interceptor);
  }
}

void VDUAppDelegateSwizzler::proxyOriginalDelegate() {
  OS_CHECK_ON_MAIN();
  ProxyState& state = proxyState();
  if (state.installed) return;
  state.installed = true;
  os::ui::Application& application = os::ui::Application::shared();
  std::shared_ptr<os::ui::ApplicationDelegate> delegate = application.delegate();
  if (!delegate) {
    VDULogAtNotice(kService, false, code(1014),
                   "App Delegate does not conform to UIApplicationDelegate protocol. %@", "");
    return;
  }
  if (!isAppDelegateProxyEnabled()) {
    VDULogAtNotice(kService, false, code(1011), "App Delegate Proxy is disabled. %@", "");
    return;
  }
  state.proxy = std::make_shared<VDUAppDelegateProxy>(std::move(delegate));
  application.setDelegate(state.proxy);
  observeDelegateChanges();
  VDULogAtDebug(kService, false, code(1008),
                "Successfully created App Delegate Proxy automatically. To disable the proxy, set "
                "the flag %@ to NO (Boolean) in the Info.plist",
                kUtilitiesKey);
}

std::shared_ptr<os::ui::ApplicationDelegate> VDUAppDelegateSwizzler::originalDelegate() {
  const auto& proxy = proxyState().proxy;
  return proxy ? proxy->realDelegate() : nullptr;
}

std::shared_ptr<VDUAppDelegateProxy> VDUAppDelegateSwizzler::proxy() { return proxyState().proxy; }

void VDUAppDelegateSwizzler::clearInterceptors() { interceptors().removeAllObjects(); }

void VDUAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken() {
  ProxyState& state = proxyState();
  state.installed = false;
  state.proxy.reset();
  state.observer.reset();
}
