#include "installer/screens/install_progress_view_controller.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "installer/app/kv_tracker.h"
#include "installer/app/temp_helper.h"
#include "installer/engine/post_install.h"
#include "installer/engine/xml_manager.h"
#include "os/dispatch/dispatch.h"
#include "os/log/log.h"
#include "os/net/url.h"
#include "os/process/clock.h"
#include "os/text/format.h"
#include "os/ui/application.h"
#include "os/ui/window.h"
#include "support/string_extensions.h"

namespace {

// The characters a URL may hold as they are: the reserved and unreserved ones, and "#".
constexpr std::string_view kLegalURLCharacters = "!#$&'()*+,-./:;=?@_~";

bool beginsWith(const std::string& text, std::string_view prefix) {
  return text.rfind(prefix, 0) == 0;
}

std::string withoutExtension(const std::string& name) {
  return std::filesystem::path(name).stem().string();
}

}  // namespace

std::shared_ptr<TSRInstallProgressViewController> TSRInstallProgressViewController::create(
    std::weak_ptr<TSRInstallProgressDelegate> delegate, int32_t tag) {
  return std::make_shared<TSRInstallProgressViewController>(Private{}, std::move(delegate), tag);
}

TSRInstallProgressViewController::TSRInstallProgressViewController(
    Private, std::weak_ptr<TSRInstallProgressDelegate> delegate, int32_t tag)
    : delegate_(std::move(delegate)),
      tag_(tag),
      // A headless screen shows nobody a frame: a whole percent is all a log or a script sees.
      progress_(os::ui::Application::shared().headlessBackend() != nullptr ? 0 : kFrameSeconds) {
  view_ = std::make_shared<os::ui::View>(
      os::ui::Rect{0, 0, TSRProgressLayout::kScreenWidth, TSRProgressLayout::kScreenHeight});
  view_->setIdentifier("installProgressScreen");
  alertViewController_ = TSRAlertViewController::create();
  layout_ = TSRProgressLayout::build(TSRSoftWareInfo::singleton().installProduct());
  if (layout_->roundsScreenCorners) {
    view_->setWantsLayer(true);
    view_->layer()->setCornerRadius(4.0);
    view_->layer()->setMasksToBounds(true);
  }
  slides_ = std::make_unique<TSRAdvertisementSlides>(*layout_);
  slides_->start();
  view_->addSubview(layout_->groupView());
}

TSRInstallProgressViewController::~TSRInstallProgressViewController() = default;

void TSRInstallProgressViewController::startDownloadInstall(bool isRetry) {
  OS_CHECK_ON_MAIN();
  // A retry from the error page installs again.
  if (auto delegate = delegate_.lock()) delegate->setIsInstall(true);
  if (TSRSoftWareInfo::singleton().product().engineBundleName.empty()) {
    refuseProduct();
    return;
  }
  std::optional<std::string> configuration =
      TSRSoftWareInfo::singleton().product().configurationAddress();
  if (configuration && XMLManager::sharedManager().zipDownloadPath().value_or("").empty()) {
    std::weak_ptr<TSRInstallProgressViewController> weak = weak_from_this();
    os::DispatchQueue::global()->async([weak, address = *configuration, isRetry] {
      // The fetcher runs the callback on the main queue, after a failure too.
      XMLManager::sharedManager().downloadByXMLPath(address, [weak, isRetry] {
        if (auto screen = weak.lock()) screen->download(isRetry);
      });
    });
    return;
  }
  download(isRetry);
}

std::string TSRInstallProgressViewController::addressTextForTry(
    const TSRProduct& product, bool isRetry, bool chinaServer,
    const std::optional<std::string>& firstLanguage) {
  if (chinaServer && !product.chinaMirrorAddress.empty()) {
    return std::string(product.chinaMirrorAddress);
  }
  if (!isRetry && firstLanguage) {
    if (beginsWith(*firstLanguage, "ja") && !product.japaneseMirrorAddress.empty()) {
      return std::string(product.japaneseMirrorAddress);
    }
    if (beginsWith(*firstLanguage, "de") && !product.germanMirrorAddress.empty()) {
      return std::string(product.germanMirrorAddress);
    }
  }
  return std::string(product.defaultAddress);
}

std::string TSRInstallProgressViewController::realDownloadAddress(const std::string& text) {
  // A plain address from the configuration decodes to bytes that are not UTF-8 text, so it
  // passes through as it is.
  std::string address = ExtendTool::stringFromBase64String(text).value_or(text);
  return os::url::percentEncode(address, kLegalURLCharacters);
}

std::string TSRInstallProgressViewController::percentText(double percent) {
  char text[32];
  std::snprintf(text, sizeof text, "%0.2f%%", std::min(percent, 100.0));
  return text;
}

void TSRInstallProgressViewController::download(bool isRetry) {
  TSRSoftWareInfo& info = TSRSoftWareInfo::singleton();
  const TSRProduct& product = info.product();
  // The mirror follows the same language as the texts, so a Japanese user gets both.
  std::string text =
      addressTextForTry(product, isRetry, info.chinaServer(), TempHelper::userLanguage());
  std::optional<std::string> configured = XMLManager::sharedManager().zipDownloadPath();
  if (configured && !configured->empty()) text = *configured;
  const std::string address = realDownloadAddress(text);
  os::log::console(os::formatObjects("realUrl:%@", {address}));
  if (!isRetry) startDownloadTime_ = int64_t(os::clock::now());
  KVTracker::send(isRetry ? KVAction::DownloadTryAgain : KVAction::StartDownload, KVLabel::Text,
                  address);
  state_ = State::Downloading;
  downloadManager_ = std::make_shared<TSRDownloadManager>(
      weak_from_this(), address, std::string(product.engineBundleName), info.engineArchiveSize());
  downloadManager_->downloadSpecifiedApp();
}

void TSRInstallProgressViewController::refuseProduct() {
  errorReason_ = localized("Install_Product_Unsupported_Msg");
  showErrorPage();
  KVTracker::send(KVAction::DownloadFailed, KVLabel::Text,
                  "This installer cannot install product " +
                      std::to_string(TSRSoftWareInfo::singleton().installProduct()));
}

void TSRInstallProgressViewController::ninetyPercentFalseProgress() {
  OS_CHECK_ON_MAIN();
  TSRDownloadProgressView& bar = *layout_->progressBar();
  bar.progressDrawCount(float(bar.frame().width * 4 / 5));
  if (falseProgressTimer_) falseProgressTimer_->invalidate();
  falseProgressTimer_ =
      os::Timer::schedule(kFalseProgressSeconds, false, [weak = weak_from_this()](os::Timer&) {
        if (auto screen = weak.lock()) screen->falseProgressComplete_ = true;
      });
}

void TSRInstallProgressViewController::onMainQueue(
    std::function<void(TSRInstallProgressViewController&)> work) {
  os::DispatchQueue::main()->async([weak = weak_from_this(), work = std::move(work)] {
    if (auto screen = weak.lock()) work(*screen);
  });
}

void TSRInstallProgressViewController::downProgressWithFileName(const std::string&,
                                                                double percent) {
  if (!progress_.offer(percent, os::clock::monotonic())) return;
  onMainQueue([](TSRInstallProgressViewController& screen) {
    const double percent = screen.progress_.take();
    const std::string text = percentText(percent);
    // Redrawn only for a change: the label's text, or the bar's length (setProgress).
    auto& label = *screen.layout_->percentLabel();
    if (label.stringValue() != text) label.setStringValue(text);
    screen.layout_->progressBar()->setProgress(percent);
  });
}

void TSRInstallProgressViewController::downErrorWithFileName(const std::string&,
                                                             const std::string& displayError,
                                                             const std::string& analyticsError,
                                                             DownloadErrorEnum errorNumber) {
  onMainQueue([=](TSRInstallProgressViewController& screen) {
    screen.errorReason_.reset();
    if (errorNumber == kDownloadErrorDownloadFailed && !displayError.empty()) {
      screen.errorReason_ = displayError;
    }
    screen.showErrorPage();
    std::string label = !analyticsError.empty() ? analyticsError
                        : !displayError.empty() ? displayError
                                                : "Unknown error";
    KVTracker::send(KVAction::DownloadFailed, KVLabel::Text, label);
  });
}

void TSRInstallProgressViewController::downComplete(const std::string&) {
  onMainQueue([](TSRInstallProgressViewController& screen) {
    if (auto label = screen.layout_->downloadLabel()) {
      label->setStringValue(localized("Install_Download_Pro"));
    }
    KVTracker::send(KVAction::DownloadSuccessful);
  });
}

void TSRInstallProgressViewController::installStart(const std::string&) {
  onMainQueue([](TSRInstallProgressViewController& screen) {
    screen.state_ = State::Installing;
    screen.layout_->progressBar()->removerAllAnatimation();
  });
}

void TSRInstallProgressViewController::installComplete(const std::string& folder) {
  onMainQueue(
      [folder](TSRInstallProgressViewController& screen) { screen.finishInstallation(folder); });
}

void TSRInstallProgressViewController::finishInstallation(const std::string& folder) {
  state_ = State::Finished;
  TSRPostInstall::finishInstallation(folder);
  slides_->killTimer();
  slides_->setTimerNil();
  if (auto delegate = delegate_.lock()) {
    delegate->setIsInstall(false);
    delegate->closeWindow();
  }
}

void TSRInstallProgressViewController::installError(const std::string& name,
                                                    const std::string& error,
                                                    DownloadErrorEnum errorNumber) {
  onMainQueue([=](TSRInstallProgressViewController& screen) {
    screen.errorReason_.reset();
    if (errorNumber == kDownloadErrorUnzipFailed) {
      screen.errorReason_ = os::formatObjects(localized("Install_App_Error_Msg"), {name});
    }
    screen.showErrorPage();
    switch (errorNumber) {
      case kDownloadErrorUnzipFailed:
        KVTracker::send(KVAction::InstallFailed, KVLabel::Text,
                        error.empty() ? "Unzip error" : error);
        break;
      case kDownloadErrorUnzipException:
        KVTracker::send(
            KVAction::DownloadFailed, KVLabel::Text,
            error.empty() ? "Unzip Exception" : os::formatObjects("Unzip Exception:%@", {error}));
        break;
      case kDownloadErrorFileNotFound:
        KVTracker::send(KVAction::DownloadFailed, KVLabel::Text, "Unzip Files No Exist");
        break;
      case kDownloadErrorUnknown:
        KVTracker::send(KVAction::DownloadFailed, KVLabel::Text, "Unzip Unknown error");
        break;
      default:
        break;
    }
  });
}

int64_t TSRInstallProgressViewController::showPromptView(const std::string& appName,
                                                         const os::Error& error) {
  const std::string name = withoutExtension(appName);
  KVTracker::send(
      KVAction::DownloadFailed, KVLabel::Text,
      os::formatObjects("%@ is exist,error.description:%@", {name, error.localizedDescription()}));
  return showAlertText(os::formatObjects(localized("Install_App_Prompt_Msg2"), {name, name}),
                       localized("Button_Cancel"), localized("Button_Yes"));
}

int32_t TSRInstallProgressViewController::showAlertText(const std::string& text,
                                                        const std::string& cancelTitle,
                                                        const std::string& okTitle) {
  return alertViewController_->showAlertTextInFreeHost(view_->window(), text, cancelTitle, okTitle);
}

void TSRInstallProgressViewController::showErrorPage() {
  state_ = State::Failed;
  // Nothing is being installed any more: closing the window now needs no confirmation.
  if (auto delegate = delegate_.lock()) delegate->setIsInstall(false);
  if (errorPage_) {
    errorPage_(*this);
  } else {
    os::log::console("no error page to show: " + errorReason_.value_or("(generic message)"));
  }
}
