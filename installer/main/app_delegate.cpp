#include "installer/main/app_delegate.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "core/installations/installations.h"
#include "core/zuzaze.h"
#include "installer/app/crash_recorder.h"
#include "installer/app/kv_tracker.h"
#include "installer/app/software_info.h"
#include "installer/app/temp_helper.h"
#include "installer/engine/install_recovery.h"
#include "installer/widgets/alert_super_view.h"
#include "measurement/engine/connector.h"
#include "measurement/engine/dizuraruvaze.h"
#include "os/bundle/defaults.h"
#include "os/dispatch/dispatch.h"
#include "os/files/paths.h"
#include "os/log/log.h"
#include "os/text/format.h"
#include "os/value/exception.h"
#include "os/volumes/volumes.h"

namespace {

// The product whose window has no close button.
constexpr int32_t kProductWithoutCloseButton = 13;

// Where the window first appears, before it is centred.
const os::ui::Rect kWindowContentRect{0, 0, TSRMainViewController::kViewWidth,
                                      TSRMainViewController::kViewHeight};

// The analytics stack reads its options from the bundle. An installer whose options are missing
// or wrong still installs its product, without analytics. Its libraries register before the
// configuration starts them: the installation service, the connector, the measurement engine.
void configureAnalytics() {
  RVOInstallations::registerLibrary();
  DIZUraruvazeConnector::registerLibrary();
  DIZUraruvazeRegister();
  try {
    ZUZAze::configure();
    os::log::console("Configured the analytics stack");
  } catch (const os::Exception& exception) {
    os::log::write(os::log::Level::Error,
                   std::string("The analytics stack is not configured: ") + exception.what());
  }
}

void reportChosenLanguage() {
  KVTracker::customDimension({{"chooseLanguage", TempHelper::currentSelectionLanguage()}});
}

}  // namespace

std::shared_ptr<AppDelegate> AppDelegate::create() {
  return std::make_shared<AppDelegate>(Private{});
}

void AppDelegate::awakeFromNib() {
  OS_CHECK_ON_MAIN();
  if (anotherInstallerRunning_) return;
  CrashRecorder::reportPreviousException();
}

void AppDelegate::applicationDidFinishLaunching(os::ui::Application&) {
  OS_CHECK_ON_MAIN();
  if (anotherInstallerRunning_) {
    sayAnotherInstallerRuns();
    return;
  }
  CrashRecorder::install();
  // Before anything looks at the product: what a killed installation left is repaired first.
  for (const std::filesystem::path& folder :
       {os::paths::systemApplications(), os::paths::userApplications()}) {
    TSRInstallRecovery::recoverInterruptedInstallations(folder);
  }
  TSRInstallRecovery::removeFinishedDownloads(TempHelper::getAppCachePath());

  configureAnalytics();

  TSRSoftWareInfo& info = TSRSoftWareInfo::singleton();
  std::string_view trackingID = info.product().analyticsTrackingID(info.isProVersion());
  if (!trackingID.empty()) KVTracker::setupWithTrackingID(std::string(trackingID));

  // The language chosen for the installer's own texts must not outlive this run. Removing writes
  // the settings file, with a flush to disk, on this thread: only done when there is something to
  // remove, as on a busy disk the flush alone held the first screen back by up to a second.
  os::UserDefaults defaults = os::UserDefaults::standard();
  if (!defaults.objectForKey("AppleLanguages").isNull()) defaults.removeObject("AppleLanguages");
  defaults.synchronize();
  reportChosenLanguage();
  KVTracker::send(KVAction::LaunchApp);

  isInstall_ = false;
  alertViewController_ = TSRAlertViewController::create();
  buildWindow();
  mainViewController_ = TSRMainViewController::create(weak_from_this());
  mainBox_->setContentView(mainViewController_->view());
  window_->setMovableByWindowBackground(true);
  window_->center();
  window_->makeKeyAndOrderFront();

  // Above other windows for a moment, so that the installer is seen when it opens.
  int ownLevel = window_->level();
  window_->setLevel(os::ui::Window::kStatusLevel);
  std::weak_ptr<TSRNoTitleBarWindow> weakWindow = window_;
  os::DispatchQueue::main()->after(kRaisedSeconds, [weakWindow, ownLevel] {
    if (auto window = weakWindow.lock()) window->setLevel(ownLevel);
  });

  std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
  os::DispatchQueue::global()->after(kUpdateCheckDelaySeconds, [weakSelf] {
    if (auto self = weakSelf.lock()) self->checkForUpdateOnbackground();
  });

  if (info.installProduct() == kProductWithoutCloseButton) window_->closeButton()->setHidden(true);
  window_->closeButton()->setIdentifier(kCloseButtonIdentifier);
  window_->closeButton()->setAction([weakSelf](os::ui::Control&) {
    if (auto self = weakSelf.lock()) self->closeWindow();
  });
  window_->maxButton()->setHidden(true);
}

void AppDelegate::sayAnotherInstallerRuns() {
  alertViewController_ = TSRAlertViewController::create();
  buildWindow();
  window_->center();
  window_->makeKeyAndOrderFront();
  std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
  // The question runs a nested loop: after the launch, not inside it.
  os::DispatchQueue::main()->async([weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->showAlertText(
        os::formatObjects(TempHelper::getDefaultsLocalizableLanguages("Installer_Already_Running"),
                          {localizedProductName()}),
        "", TempHelper::getDefaultsLocalizableLanguages("Button_OK"));
    os::ui::Application::shared().terminate();
  });
}

void AppDelegate::buildWindow() {
  window_ = TSRNoTitleBarWindow::create(kWindowContentRect);
  const std::shared_ptr<os::ui::View>& content = window_->contentView();
  mainBox_ = std::make_shared<os::ui::Box>(content->bounds());
  content->addSubview(mainBox_);
  // The question panel's host lies over the screens and stays hidden until a question needs it.
  auto alertHost = std::make_shared<TSRAlertSuperView>(content->bounds());
  alertHost->setHidden(true);
  content->addSubview(alertHost);
  window_->addCloseBtnToContentView();
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed(os::ui::Application&) {
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return true;
}

void AppDelegate::switchView(int32_t tag) {
  OS_CHECK_ON_MAIN();
  if (tag != 0) {
    isInstall_ = true;
    progressViewController_ = TSRInstallProgressViewController::create(weak_from_this(), tag);
    if (!errorPage_) errorPage_ = TSRErrorPage::create();
    std::weak_ptr<TSRErrorPage> weakPage = errorPage_;
    progressViewController_->setErrorPage([weakPage](TSRInstallProgressViewController& screen) {
      if (auto page = weakPage.lock()) page->configErrorView(screen);
    });
    mainBox_->setContentView(progressViewController_->view());
    progressViewController_->startDownloadInstall(false);
    return;
  }
  isInstall_ = false;
  if (alertViewController_) alertViewController_->promptAlertViewCancelButtonClick();
  if (!mainViewController_) mainViewController_ = TSRMainViewController::create(weak_from_this());
  mainBox_->setContentView(mainViewController_->view());
}

std::string AppDelegate::localizedProductName() {
  return TempHelper::getDefaultsLocalizableLanguages(
      TSRSoftWareInfo::singleton().product().nameKey);
}

void AppDelegate::closeWindow() {
  OS_CHECK_ON_MAIN();
  std::string productName = localizedProductName();
  if (isInstall_) {
    KVTracker::send(KVAction::DownloadClose);
    std::string question = os::formatObjects(
        TempHelper::getDefaultsLocalizableLanguages("Install_App_Prompt_Msg1"), {productName});
    if (showAlertText(question, TempHelper::getDefaultsLocalizableLanguages("Button_Cancel"),
                      TempHelper::getDefaultsLocalizableLanguages("Button_Yes")) != 1) {
      KVTracker::send(KVAction::CancelClose);
      return;
    }
  }
  reportChosenLanguage();
  KVTracker::send(KVAction::Close);
  std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
  os::DispatchQueue::main()->after(kQuitDelaySeconds, [weakSelf, productName] {
    if (auto self = weakSelf.lock()) self->exitApp(productName);
  });
}

void AppDelegate::exitApp(const std::string& productName) {
  OS_CHECK_ON_MAIN();
  os::log::console("Quitting the installer of " + productName);
  os::volumes::releaseVolumeOfRunningExecutable();
  os::ui::Application::shared().terminate();
}

int32_t AppDelegate::showAlertText(const std::string& text, const std::string& cancelTitle,
                                   const std::string& okTitle) {
  OS_CHECK_ON_MAIN();
  if (!window_ || !alertViewController_) return 0;
  const std::shared_ptr<os::ui::View>& content = window_->contentView();
  // A copy: bringing the host to the front reorders the content view's subviews.
  std::vector<std::shared_ptr<os::ui::View>> subviews = content->subviews();
  for (const std::shared_ptr<os::ui::View>& view : subviews) {
    const os::ui::View& candidate = *view;
    if (typeid(candidate) != typeid(TSRAlertSuperView) || !view->subviews().empty()) continue;
    view->removeFromSuperview();
    content->addSubview(view);
    view->setHidden(false);
    return alertViewController_->showAlertText(text, cancelTitle, okTitle, view);
  }
  return 0;
}

void AppDelegate::checkForUpdateOnbackground() {
  std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
  os::DispatchQueue::main()->async([weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->checkUpdater_ = std::make_shared<TSRCheckUpdater>();
    self->checkUpdater_->checkUpdate();
  });
}
