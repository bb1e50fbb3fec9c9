// The installer's second screen and the controller of one installation. The application
// delegate makes it when the user has pressed Install, shows its view as the window's content
// and starts the first try:
//
//   auto screen = TSRInstallProgressViewController::create(appDelegate, tag);
//   screen->setErrorPage(
//       [page](TSRInstallProgressViewController& s) { page->configErrorView(s); });
//   mainBox->setContentView(screen->view());
//   screen->startDownloadInstall(false);
//
// A try fetches the product's configuration when the product has one and no address is known
// yet, chooses the download address, and runs a download engine (TSRDownloadManager) with this
// screen as its delegate: the engine's reports move to the main queue, where they update the
// percent label and the bar of the product's layout group, send usage events, show the error
// page on failure and, on success, run the post-install steps and close the window through the
// delegate. The error page's Try Again restores the group's view and calls
// startDownloadInstall(true). Main thread only, except the engine's callbacks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "installer/app/software_info.h"
#include "installer/engine/download_manager.h"
#include "installer/engine/download_progress.h"
#include "installer/screens/advertisement_slides.h"
#include "installer/screens/alert_view_controller.h"
#include "installer/screens/progress_coalescer.h"
#include "installer/screens/progress_layout.h"
#include "os/dispatch/runloop.h"
#include "os/ui/view.h"

// What the progress screen asks of the application.
class TSRInstallProgressDelegate {
 public:
  virtual ~TSRInstallProgressDelegate() = default;
  // Whether closing the window must ask first (an installation is running).
  virtual void setIsInstall(bool isInstall) = 0;
  // Closes the window, which ends the installer.
  virtual void closeWindow() = 0;
};

class TSRInstallProgressViewController
    : public TSRDownLoadProgress,
      public std::enable_shared_from_this<TSRInstallProgressViewController> {
  struct Private {};

 public:
  // Where a try stands.
  enum class State { Preparing, Downloading, Installing, Finished, Failed };
  // Shows the error page for the screen: replaces the group's view with the page that reads
  // errorReason() and stops the slides. Main thread.
  using ErrorPage = std::function<void(TSRInstallProgressViewController& screen)>;

  // The screen laid out for the installed product, with its own question-panel controller.
  // `delegate` is not owned; `tag` is the pressed button's.
  static std::shared_ptr<TSRInstallProgressViewController> create(
      std::weak_ptr<TSRInstallProgressDelegate> delegate, int32_t tag);
  TSRInstallProgressViewController(Private, std::weak_ptr<TSRInstallProgressDelegate> delegate,
                                   int32_t tag);
  ~TSRInstallProgressViewController() override;

  void setErrorPage(ErrorPage errorPage) { errorPage_ = std::move(errorPage); }

  // The screen's 600 x 400 view; the layout group's view is its subview.
  const std::shared_ptr<os::ui::View>& view() const { return view_; }
  int32_t tag() const { return tag_; }
  TSRProgressLayout& layout() { return *layout_; }
  TSRAdvertisementSlides& slides() { return *slides_; }
  const std::shared_ptr<TSRAlertViewController>& alertViewController() const {
    return alertViewController_;
  }
  State state() const { return state_; }
  // The specific text the error page shows instead of the generic message, or none.
  const std::optional<std::string>& errorReason() const { return errorReason_; }
  // Whole seconds since 1970 when the first try chose its address; 0 before.
  int64_t startDownloadTime() const { return startDownloadTime_; }
  // The engine of the current try, or null before the first.
  const std::shared_ptr<TSRDownloadManager>& downloadManager() const { return downloadManager_; }

  // Starts one try (the delegate's setIsInstall(true): closing now asks first); `isRetry` for
  // Try Again. When the product has a configuration and no
  // configured address is known (none, or "" after a failed fetch), the configuration is fetched
  // first; its address, when it names one, wins over the built-in one. A product without an
  // application bundle to install (1, 3, 6, 8, 13, 15, any number outside 1 to 15) is refused at
  // once: the error page shows the localised "Install_Product_Unsupported_Msg" and "Download
  // Failed" says that this installer cannot install the product; nothing is fetched.
  void startDownloadInstall(bool isRetry);
  // Chooses the address, sends "Start Download" (or "Download Try Again") and starts a new
  // engine. Main thread.
  void download(bool isRetry);

  // The address text (base64, as built in) of `product` for a try: the China mirror when
  // `chinaServer` and the product has one; otherwise on a first try the Japanese or German
  // mirror when `firstLanguage` begins with "ja" or "de" and the product has it; otherwise the
  // built-in address. download() passes the user's language that the texts follow
  // (TempHelper::userLanguage()).
  static std::string addressTextForTry(const TSRProduct& product, bool isRetry, bool chinaServer,
                                       const std::optional<std::string>& firstLanguage);
  // The address for the engine: `text` decoded from base64 when it decodes to UTF-8 text (else
  // `text` itself), then percent-escaped where a URL may not hold a character as it is.
  static std::string realDownloadAddress(const std::string& text);
  // The percent label's text for `percent`: two decimals, at most "100.00%".
  static std::string percentText(double percent);

  // Asks `text` in the first free TSRAlertSuperView among the subviews of the window's content
  // view, brought to the front: 1 for OK, 0 for Cancel, and 0 without asking when the screen is
  // in no window or no host is free.
  int32_t showAlertText(const std::string& text, const std::string& cancelTitle,
                        const std::string& okTitle);

  // Draws the group bar's stroke over four fifths of its width and, 20 s later, sets
  // falseProgressComplete(); Try Again clears it. Nothing on the installation road uses it.
  // Main thread.
  void ninetyPercentFalseProgress();
  static constexpr double kFalseProgressSeconds = 20;
  bool falseProgressComplete() const { return falseProgressComplete_; }
  void setFalseProgressComplete(bool complete) { falseProgressComplete_ = complete; }
  // The pending timer of ninetyPercentFalseProgress, or null.
  const std::shared_ptr<os::Timer>& falseProgressTimer() const { return falseProgressTimer_; }

  // TSRDownLoadProgress. All but showPromptView return at once and do their work on the main
  // queue, in the order they came.
  void downProgressWithFileName(const std::string& fileName, double percent) override;
  void downErrorWithFileName(const std::string& fileName, const std::string& displayError,
                             const std::string& analyticsError,
                             DownloadErrorEnum errorNumber) override;
  void downComplete(const std::string& fileName) override;
  void installStart(const std::string& fileName) override;
  void installComplete(const std::string& folder) override;
  void installError(const std::string& name, const std::string& error,
                    DownloadErrorEnum errorNumber) override;
  // Sends "Download Failed" and asks whether to replace the product's old copy
  // (Install_App_Prompt_Msg2); blocks until answered. Main thread.
  int64_t showPromptView(const std::string& appName, const os::Error& error) override;

 private:
  // Runs `work` on the main queue while the screen lives.
  void onMainQueue(std::function<void(TSRInstallProgressViewController&)> work);
  // Shows the error page; the installation has ended (the delegate's setIsInstall(false)).
  void showErrorPage();
  // Shows that this installer cannot install the product, and reports it.
  void refuseProduct();
  void finishInstallation(const std::string& folder);

  // The display's frame interval: progress is shown no more often.
  static constexpr double kFrameSeconds = 1.0 / 60;

  const std::weak_ptr<TSRInstallProgressDelegate> delegate_;
  const int32_t tag_;
  // The engine's progress reports on their way to the main queue.
  TSRProgressCoalescer progress_;
  std::shared_ptr<os::ui::View> view_;
  std::unique_ptr<TSRProgressLayout> layout_;
  std::unique_ptr<TSRAdvertisementSlides> slides_;
  std::shared_ptr<TSRAlertViewController> alertViewController_;
  std::shared_ptr<TSRDownloadManager> downloadManager_;
  ErrorPage errorPage_;
  State state_ = State::Preparing;
  std::optional<std::string> errorReason_;
  int64_t startDownloadTime_ = 0;
  bool falseProgressComplete_ = false;
  std::shared_ptr<os::Timer> falseProgressTimer_;
};
