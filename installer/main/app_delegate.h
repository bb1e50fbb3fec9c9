// The installer's application delegate: it carries the process from launch to exit. At launch
// it installs the crash recording, sets up the tracker, builds the main window with the first
// screen, keeps the window above the others for half a second and starts the update check half
// a second later. The first screen's Install switches to a new progress screen; the window's
// close button asks first while an installation runs, and a close quits two seconds later after
// releasing the volume the installer runs from.
//
//   auto delegate = AppDelegate::create();
//   delegate->awakeFromNib();                          // reports the previous run's exception
//   os::ui::Application::shared().setDelegate(delegate);
//   os::ui::Application::shared().run();               // launch steps, then the main loop
//
// Main thread only, except where a function says otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "installer/engine/check_updater.h"
#include "installer/screens/alert_view_controller.h"
#include "installer/screens/error_page.h"
#include "installer/screens/install_progress_view_controller.h"
#include "installer/screens/main_view_controller.h"
#include "installer/widgets/no_title_bar_window.h"
#include "os/ui/application.h"
#include "os/ui/box.h"

class AppDelegate : public os::ui::ApplicationDelegate,
                    public TSRMainViewDelegate,
                    public TSRInstallProgressDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
  struct Private {};

 public:
  // The identifier of the window's close button, for scripts and tests.
  static constexpr const char* kCloseButtonIdentifier = "close";
  // How long the window stays at the status level after launch, and how long after launch the
  // update check starts.
  static constexpr double kRaisedSeconds = 0.5;
  static constexpr double kUpdateCheckDelaySeconds = 0.5;
  // How long after a confirmed close the installer quits.
  static constexpr double kQuitDelaySeconds = 2.0;

  static std::shared_ptr<AppDelegate> create();
  explicit AppDelegate(Private) {}

  // Before awakeFromNib: another installer holds the installer's lock
  // (TSRFolderLock::lockApplicationsFolders), so this one must touch nothing.
  void setAnotherInstallerRunning(bool running) { anotherInstallerRunning_ = running; }

  // Before the launch steps: sends the report of the previous run's uncaught exception, once.
  // Nothing while another installer runs.
  void awakeFromNib();

  // The launch steps: repair of what a killed installation left (its staging folders and its
  // archive), crash recording, tracker set-up and "Launch App", the window with the first
  // screen and a hidden question-panel host, level 25 for kRaisedSeconds, the update check
  // after kUpdateCheckDelaySeconds, the close button pointed at closeWindow(). While another
  // installer runs, none of that: the window only says so ("Installer_Already_Running", with
  // the one button "Button_OK"), and the installer quits when it is answered, leaving its
  // volume mounted for the other.
  void applicationDidFinishLaunching(os::ui::Application& application) override;
  // Waits 0.2 seconds on the calling thread, then answers true.
  bool applicationShouldTerminateAfterLastWindowClosed(os::ui::Application& application) override;

  // TSRMainViewDelegate: a non-zero `tag` shows a new progress screen and starts its first try;
  // zero ends an open question as cancelled and shows the first screen again.
  void switchView(int32_t tag) override;

  // TSRInstallProgressDelegate.
  void setIsInstall(bool isInstall) override { isInstall_ = isInstall; }
  // The close button's action: while installing asks first ("Cancel Close" and nothing else on
  // Cancel); then sends "Close" and quits through exitApp() after kQuitDelaySeconds.
  void closeWindow() override;

  // Releases the volume that holds the running executable, then terminates the application.
  // `productName` names the product for the log only: the volume is found from the executable.
  void exitApp(const std::string& productName);

  // Asks `text` in the first free question-panel host of the window's content view (a
  // TSRAlertSuperView without subviews), brought to the front: 1 for OK, 0 for Cancel, and 0
  // without asking when no host is free.
  int32_t showAlertText(const std::string& text, const std::string& cancelTitle,
                        const std::string& okTitle);

  // Moves to the main queue, where it replaces the update checker with a new one and starts it.
  // Any thread.
  void checkForUpdateOnbackground();

  bool isInstall() const { return isInstall_; }
  const std::shared_ptr<TSRNoTitleBarWindow>& window() const { return window_; }
  const std::shared_ptr<os::ui::Box>& mainBox() const { return mainBox_; }
  const std::shared_ptr<TSRMainViewController>& mainViewController() const {
    return mainViewController_;
  }
  const std::shared_ptr<TSRInstallProgressViewController>& progressViewController() const {
    return progressViewController_;
  }
  const std::shared_ptr<TSRCheckUpdater>& checkUpdater() const { return checkUpdater_; }

 private:
  // The localised product name (the close question and the quit).
  static std::string localizedProductName();
  void buildWindow();
  // The launch of an installer that finds another one running: the window and its notice.
  void sayAnotherInstallerRuns();

  std::shared_ptr<TSRNoTitleBarWindow> window_;
  std::shared_ptr<os::ui::Box> mainBox_;
  std::shared_ptr<TSRMainViewController> mainViewController_;
  std::shared_ptr<TSRInstallProgressViewController> progressViewController_;
  std::shared_ptr<TSRErrorPage> errorPage_;
  std::shared_ptr<TSRAlertViewController> alertViewController_;
  std::shared_ptr<TSRCheckUpdater> checkUpdater_;
  bool isInstall_ = false;
  bool anotherInstallerRunning_ = false;
};
