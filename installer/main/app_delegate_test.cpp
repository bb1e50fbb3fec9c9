#include "installer/main/app_delegate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include "installer/app/installer_test_environment.h"
#include "installer/widgets/alert_super_view.h"
#include "os/dispatch/dispatch.h"
#include "os/dispatch/notifications.h"
#include "os/dispatch/runloop.h"
#include "os/log/log.h"
#include "os/ui/test_fixture.h"
#include "tools/installer/resource_server.h"

namespace {

using Clock = std::chrono::steady_clock;

// The delegate launched in a headless application for product 7, against the stand-ins of the
// maker's servers (the archive throttled, so that an installation is still running when a test
// closes the window).
class AppDelegateTest : public os::ui::testing::HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    environment_.sandbox().setEnv("TESSARO_CONNECT_TO", server_.connectTo());
    environment_.sandbox().setEnv("TESSARO_CA_FILE", server_.certificatePath().string());
    environment_.addStrings("en", {{"Product_BV_Name", "Brevalo"},
                                   {"Install_App_Prompt_Msg1", "Stop installing %@?"},
                                   {"Button_Cancel", "Cancel"},
                                   {"Button_Yes", "Yes"}});
    server_.setFaults(tools::Resource::Archive, {.bytesPerSecond = 20000});
  }
  void TearDown() override {
    delegate_.reset();
    HeadlessTest::TearDown();
  }

  void launch() {
    launched_ = Clock::now();
    delegate_->applicationDidFinishLaunching(os::ui::Application::shared());
  }

  bool updateListRequested() {
    for (const auto& request : server_.downloadServer().requests()) {
      if (request.path == tools::ResourceServer::kUpdateListPath) return true;
    }
    return false;
  }

  // Closes the window; `answer` (an alert button's identifier) is clicked once the question's
  // panel has slid in and come to rest.
  void closeAnswering(const char* answer) {
    os::DispatchQueue::main()->async([this, answer] {
      EXPECT_TRUE(runUntilAtRest(*delegate_->window(), answer));
      EXPECT_TRUE(screen_->clickView(*delegate_->window(), answer));
    });
    ASSERT_TRUE(screen_->clickView(*delegate_->window(), AppDelegate::kCloseButtonIdentifier));
  }

  std::vector<std::string> trackedActions() const {
    std::vector<std::string> actions;
    for (const auto& line : capture_.lines()) {
      size_t at = line.message.find("    ea = ");
      if (at == std::string::npos) continue;
      size_t start = at + 9;
      std::string value = line.message.substr(start, line.message.find(';', start) - start);
      if (value.front() == '"') value = value.substr(1, value.size() - 2);
      actions.push_back(value);
    }
    return actions;
  }

  InstallerTestEnvironment environment_;
  tools::ResourceServer server_;
  os::log::Capture capture_;
  std::shared_ptr<AppDelegate> delegate_ = AppDelegate::create();
  Clock::time_point launched_;
};

TEST_F(AppDelegateTest, LaunchShowsTheFirstScreenRaisedForHalfASecondThenChecksForUpdates) {
  launch();

  auto window = delegate_->window();
  ASSERT_TRUE(window && window->isVisible());
  EXPECT_EQ(window->level(), os::ui::Window::kStatusLevel);
  EXPECT_TRUE(window->findViewByIdentifier(TSRMainViewController::kInstallButtonIdentifier));
  EXPECT_FALSE(delegate_->isInstall());
  EXPECT_TRUE(window->isMovableByWindowBackground());
  EXPECT_FALSE(window->closeButton()->isHidden());
  EXPECT_TRUE(window->maxButton()->isHidden());
  EXPECT_EQ(trackedActions(), std::vector<std::string>{"Launch App"});

  ASSERT_TRUE(os::RunLoop::main().runUntil(
      [&] { return window->level() == os::ui::Window::kNormalLevel; }, 10));
  EXPECT_GE(Clock::now() - launched_, std::chrono::milliseconds(500));
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return updateListRequested(); }, 10));
  EXPECT_GE(Clock::now() - launched_, std::chrono::milliseconds(500));
  EXPECT_TRUE(delegate_->checkUpdater());
}

TEST_F(AppDelegateTest, ClosingDuringTheInstallationAsksFirstAndQuitsTwoSecondsAfterYes) {
  launch();
  bool terminated = false;
  auto observer = os::NotificationCenter::defaultCenter().addObserver(
      os::ui::kApplicationWillTerminateNotification, nullptr,
      [&](const os::Notification&) { terminated = true; });
  delegate_->switchView(TSRMainViewController::kInstallButtonTag);
  ASSERT_TRUE(delegate_->isInstall());
  EXPECT_TRUE(delegate_->window()->findViewByIdentifier("progressBar"));
  // The download starts once the configuration has arrived.
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return trackedActions().size() == 2; }, 10));

  closeAnswering(TSRAlertViewController::kCancelButtonIdentifier);
  os::RunLoop::main().runUntil([] { return false; }, 2.5);
  EXPECT_FALSE(terminated);
  EXPECT_TRUE(delegate_->isInstall());

  closeAnswering(TSRAlertViewController::kOKButtonIdentifier);
  auto answered = Clock::now();
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return terminated; }, 10));
  EXPECT_GE(Clock::now() - answered, std::chrono::milliseconds(1900));
  EXPECT_EQ(trackedActions(),
            (std::vector<std::string>{"Launch App", "Start Download", "Download Close",
                                      "Cancel Close", "Download Close", "Close"}));
  os::NotificationCenter::defaultCenter().removeObserver(observer);
}

TEST_F(AppDelegateTest, ClosingTheFirstScreenQuitsWithoutAsking) {
  launch();
  bool terminated = false;
  auto observer = os::NotificationCenter::defaultCenter().addObserver(
      os::ui::kApplicationWillTerminateNotification, nullptr,
      [&](const os::Notification&) { terminated = true; });
  ASSERT_TRUE(screen_->clickView(*delegate_->window(), AppDelegate::kCloseButtonIdentifier));
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return terminated; }, 10));
  EXPECT_EQ(trackedActions(), (std::vector<std::string>{"Launch App", "Close"}));
  os::NotificationCenter::defaultCenter().removeObserver(observer);
}

TEST_F(AppDelegateTest, AQuestionNeedsAFreeHost) {
  launch();
  // The only host is taken: nothing is asked.
  for (const auto& view : delegate_->window()->contentView()->subviews()) {
    const os::ui::View& candidate = *view;
    if (typeid(candidate) == typeid(TSRAlertSuperView)) {
      view->addSubview(std::make_shared<os::ui::View>());
    }
  }
  EXPECT_EQ(delegate_->showAlertText("Really?", "Cancel", "Yes"), 0);
}

TEST_F(AppDelegateTest, SwitchingBackCancelsAnOpenQuestionAndShowsTheFirstScreen) {
  launch();
  delegate_->switchView(TSRMainViewController::kInstallButtonTag);
  int32_t answer = -1;
  os::DispatchQueue::main()->async([&] {
    os::RunLoop::main().runUntil([] { return false; }, 0.3);
    delegate_->switchView(0);
  });
  answer = delegate_->showAlertText("Really?", "Cancel", "Yes");
  EXPECT_EQ(answer, 0);
  EXPECT_FALSE(delegate_->isInstall());
  EXPECT_TRUE(
      delegate_->window()->findViewByIdentifier(TSRMainViewController::kInstallButtonIdentifier));
}

// The delegate's entry points belong to the main thread: called from a worker, they stop the
// process in every build but Release instead of racing with the window.
TEST(AppDelegateDeathTest, MainThreadEntryPointsAbortOnAWorker) {
  if (!os::kThreadChecksEnabled) GTEST_SKIP() << "thread checks are compiled out in Release";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto delegate = AppDelegate::create();
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"applicationDidFinishLaunching",
       [&] { delegate->applicationDidFinishLaunching(os::ui::Application::shared()); }},
      {"switchView", [&] { delegate->switchView(1); }},
      {"closeWindow", [&] { delegate->closeWindow(); }},
      {"showAlertText", [&] { delegate->showAlertText("Stop?", "Cancel", "Yes"); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    EXPECT_DEATH(std::thread(call).join(),
                 "Thread check failed at .*app_delegate.cpp:[0-9]+: must run on the main thread");
  }
}

}  // namespace
