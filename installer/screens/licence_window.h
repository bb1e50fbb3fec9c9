// The end-user licence agreement in a small window of its own. The first screen makes one when
// the user opens the agreement link, hands it its agreement checkbox, places the window and runs
// it modally; the agreement button ticks the checkbox and closes the window, and closing the
// window by any means ends the modal run.
//
//   auto licence = TSRLicenseAgreementController::create();
//   licence->setAgreementCheckBtn(agreementCheckBox);
//   licence->window()->setFrameOrigin(...);
//   os::ui::Application::shared().runModalForWindow(*licence->window());
//
// The agreement is the text file "EULA.txt": the copy in the installer's application support
// folder, which the bundle's resource is copied to on first use. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "os/ui/button.h"
#include "os/ui/label.h"
#include "os/ui/text_view.h"
#include "os/ui/view.h"
#include "os/ui/window.h"

class TSRLicenseAgreementController
    : public os::ui::WindowDelegate,
      public std::enable_shared_from_this<TSRLicenseAgreementController> {
  struct Private {};

 public:
  // Identifier of the agreement button, for scripts and tests.
  static constexpr const char* kAgreementButtonIdentifier = "agreementButton";

  // The controller with its window prepared and hidden (the platform's controller made from its
  // interface file).
  static std::shared_ptr<TSRLicenseAgreementController> create();
  explicit TSRLicenseAgreementController(Private);

  const std::shared_ptr<os::ui::Window>& window() const { return window_; }
  // The first screen's checkbox that the agreement button ticks; not owned.
  void setAgreementCheckBtn(std::weak_ptr<os::ui::Button> checkBox) {
    agreementCheckBtn_ = std::move(checkBox);
  }
  const std::shared_ptr<os::ui::Label>& agreementTitle() const { return agreementTitle_; }
  const std::shared_ptr<os::ui::TextView>& agreementTextView() const { return agreementTextView_; }
  const std::shared_ptr<os::ui::Button>& agreementButton() const { return agreementButton_; }
  const std::shared_ptr<os::ui::View>& borderView() const { return borderView_; }

  // The agreement's text; empty when it cannot be read.
  std::string agreementString() const;
  // The path of `name`.`type` in the application support folder, copied there from the bundle's
  // resource when missing. The path is returned even when the copy fails.
  std::string resourcePathOfAppDir(const std::string& name, const std::string& type) const;

  // Ticks the checkbox and closes the window.
  void agreementKnow();
  void closeWindow();
  // Ends the modal run of the window.
  void windowWillClose(os::ui::Window& window) override;

 private:
  void windowDidLoad();

  std::shared_ptr<os::ui::Window> window_;
  std::weak_ptr<os::ui::Button> agreementCheckBtn_;
  std::shared_ptr<os::ui::Label> agreementTitle_;
  std::shared_ptr<os::ui::TextView> agreementTextView_;
  std::shared_ptr<os::ui::Button> agreementButton_;
  std::shared_ptr<os::ui::View> borderView_;
};
