#include "platform/utilities/app_delegate/app_delegate_swizzler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "os/bundle/bundle.h"
#include "os/files/files.h"
#include "os/value/plist.h"
#include "platform/utilities/logger.h"
#include "testsupport/sandbox.h"

namespace {

// Records the calls it gets, in one list that several delegates share.
class Recorder : public os::ui::ApplicationDelegate {
 public:
  Recorder(std::string name, std::vector<std::string>* calls)
      : name_(std::move(name)), calls_(calls) {}
  void applicationDidFinishLaunching(os::ui::Application&) override {
    calls_->push_back(name_ + " launched");
  }
  void applicationWillTerminate(os::ui::Application&) override {
    calls_->push_back(name_ + " terminates");
  }
  bool applicationShouldTerminate(os::ui::Application&) override {
    calls_->push_back(name_ + " asked");
    return false;
  }

 private:
  std::string name_;
  std::vector<std::string>* calls_;
};

class VDUAppDelegateSwizzlerTest : public testing::Test {
 protected:
  VDUAppDelegateSwizzlerTest() {
    VDULoggerResetForTesting();
    VDUSetMaxLoggerLevel(kVDULoggerLevelDebug);
    writeInfoPlist({});
  }
  ~VDUAppDelegateSwizzlerTest() override {
    VDUAppDelegateSwizzler::clearInterceptors();
    VDUAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
    os::ui::Application::resetForTesting();
    os::Bundle::resetMainForTesting();
    VDULoggerResetForTesting();
  }
  // Makes the main bundle one whose Info.plist holds `info`.
  void writeInfoPlist(const os::Dictionary& info) {
    std::filesystem::path bundle = sandbox_.root() / "Test.app";
    ASSERT_TRUE(os::files::createDirectory(bundle / "Contents", true, nullptr));
    ASSERT_TRUE(os::files::writeAtomically(bundle / "Contents/Info.plist",
                                           *os::plist::serialize(info, os::plist::Format::Xml),
                                           nullptr));
    sandbox_.setEnv("TESSARO_MAIN_BUNDLE", bundle.string());
    os::Bundle::resetMainForTesting();
  }
  void installDelegate() {
    os::ui::Application::shared().setDelegate(delegate_);
    VDUAppDelegateSwizzler::proxyOriginalDelegate();
  }

  testsupport::Sandbox sandbox_;
  VDULoggerCapture capture_;
  std::vector<std::string> calls_;
  std::shared_ptr<Recorder> delegate_ = std::make_shared<Recorder>("delegate", &calls_);
};

TEST_F(VDUAppDelegateSwizzlerTest, InterceptorsHearNotificationsBeforeTheDelegate) {
  auto interceptor = std::make_shared<Recorder>("interceptor", &calls_);
  ASSERT_TRUE(VDUAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor));
  installDelegate();
  auto& application = os::ui::Application::shared();
  auto proxy = VDUAppDelegateSwizzler::proxy();
  ASSERT_TRUE(proxy);
  EXPECT_EQ(application.delegate(), proxy);
  EXPECT_EQ(VDUAppDelegateSwizzler::originalDelegate(), delegate_);
  application.delegate()->applicationDidFinishLaunching(application);
  EXPECT_FALSE(application.delegate()->applicationShouldTerminate(application));
  application.delegate()->applicationWillTerminate(application);
  EXPECT_EQ(calls_,
            (std::vector<std::string>{"interceptor launched", "delegate launched", "delegate asked",
                                      "interceptor terminates", "delegate terminates"}));
  EXPECT_EQ(proxy->className().rfind("VDU_", 0), 0u);
  EXPECT_NE(proxy->className().find("Recorder-"), std::string::npos);
  EXPECT_EQ(proxy->description().find("<(anonymous namespace)::Recorder: 0x"), 0u)
      << proxy->description();
  EXPECT_TRUE(
      capture_.contains("[I-SWZ001008] Successfully created App Delegate Proxy "
                        "automatically. To disable the proxy, set the flag "
                        "VedodoUtilitiesAppDelegateProxyEnabled to NO (Boolean) in the "
                        "Info.plist"));
  VDUAppDelegateSwizzler::proxyOriginalDelegate();  // once per process
  EXPECT_EQ(application.delegate(), proxy);
}

TEST_F(VDUAppDelegateSwizzlerTest, AReleasedInterceptorIsPrunedAtTheNextCall) {
  auto interceptor = std::make_shared<Recorder>("interceptor", &calls_);
  auto interceptorID = VDUAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  installDelegate();
  interceptor.reset();
  auto& application = os::ui::Application::shared();
  application.delegate()->applicationDidFinishLaunching(application);
  EXPECT_EQ(calls_, std::vector<std::string>{"delegate launched"});
  EXPECT_TRUE(
      capture_.contains("[VedodoUtilities/AppDelegateSwizzler][I-SWZ001010] "
                        "AppDelegateProxy cannot find interceptor with ID " +
                        *interceptorID + ". Removing the interceptor."));
  VDUAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(*interceptorID);
  EXPECT_TRUE(
      capture_.contains("[I-SWZ001004] AppDelegateProxy cannot unregister interceptor "
                        "that was not registered. Interceptor ID " +
                        *interceptorID));
}

TEST_F(VDUAppDelegateSwizzlerTest, RegistrationByID) {
  auto interceptor = std::make_shared<Recorder>("interceptor", &calls_);
  auto first = VDUAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  auto second = VDUAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  ASSERT_TRUE(first);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->rfind("VDU_0x", 0), 0u);
  EXPECT_EQ(VDUAppDelegateSwizzler::registerAppDelegateInterceptor(nullptr), std::nullopt);
  EXPECT_TRUE(capture_.contains("[I-SWZ001000] AppDelegateProxy cannot add nil interceptor."));
  VDUAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID("");
  EXPECT_TRUE(
      capture_.contains("[I-SWZ001003] AppDelegateProxy cannot unregister empty "
                        "interceptor ID."));
  VDUAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(*first);
  installDelegate();
  auto& application = os::ui::Application::shared();
  application.delegate()->applicationDidFinishLaunching(application);
  EXPECT_EQ(calls_, std::vector<std::string>{"delegate launched"});  // heard once, unregistered
}

TEST_F(VDUAppDelegateSwizzlerTest, OnlyANumberFalseSwitchesTheLayerOff) {
  writeInfoPlist({{"VedodoUtilitiesAppDelegateProxyEnabled", "NO"}});
  EXPECT_TRUE(VDUAppDelegateSwizzler::isAppDelegateProxyEnabled());
  writeInfoPlist({{"RiveravoAppDelegateProxyEnabled", 0}});
  EXPECT_FALSE(VDUAppDelegateSwizzler::isAppDelegateProxyEnabled());
  writeInfoPlist({{"VedodoUtilitiesAppDelegateProxyEnabled", false}});
  EXPECT_FALSE(VDUSceneDelegateSwizzler::isSceneDelegateProxyEnabled());
  installDelegate();
  EXPECT_EQ(os::ui::Application::shared().delegate(), delegate_);  // left untouched
  EXPECT_TRUE(capture_.contains("[I-SWZ001011] App Delegate Proxy is disabled. "));
}

TEST_F(VDUAppDelegateSwizzlerTest, NoDelegateIsRefused) {
  VDUAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(VDUAppDelegateSwizzler::proxy(), nullptr);
  EXPECT_TRUE(
      capture_.contains("[I-SWZ001014] App Delegate does not conform to "
                        "UIApplicationDelegate protocol. "));
}

TEST_F(VDUAppDelegateSwizzlerTest, ReplacingTheDelegateDropsTheLayer) {
  installDelegate();
  ASSERT_TRUE(VDUAppDelegateSwizzler::originalDelegate());
  auto other = std::make_shared<Recorder>("other", &calls_);
  os::ui::Application::shared().setDelegate(other);
  EXPECT_EQ(VDUAppDelegateSwizzler::originalDelegate(), nullptr);
  EXPECT_EQ(VDUAppDelegateSwizzler::proxy(), nullptr);
}

}  // namespace
