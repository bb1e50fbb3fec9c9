// The error page of the progress screen: the product's picture and name, "installation failed",
// either the specific failure text the screen kept (errorReason) or a generic message with a
// clickable contact link, and a Try Again button that starts a new try. The application hands
// the page to the progress screen, which shows it from its error callbacks:
//
//   auto page = TSRErrorPage::create();
//   screen->setErrorPage([page](TSRInstallProgressViewController& s) { page->configErrorView(s);
//   });
//
// The page takes the place of the screen's layout-group view and stops the slides; Try Again
// puts the group's view back with an empty bar and "Install_Download_Prepare", restarts the
// slides of the products that show them, and sends startDownloadInstall(true). A click on the
// contact link opens the localised "Contact_Us_Url". Every product gets the standard form
// (white texts on the page's colour, a white Try Again button). Main thread only.
#pragma once

#include <cstdint>
#include <memory>

#include "installer/screens/install_progress_view_controller.h"
#include "installer/widgets/can_click_text.h"
#include "installer/widgets/gridient_button.h"
#include "installer/widgets/white_view.h"
#include "os/ui/image_view.h"
#include "os/ui/label.h"
#include "os/ui/scroll_view.h"

class TSRErrorPage : public os::ui::TextViewDelegate,
                     public std::enable_shared_from_this<TSRErrorPage> {
  struct Private {};

 public:
  // Identifiers for scripts and tests.
  static constexpr const char* kPageIdentifier = "errorPage";
  static constexpr const char* kTryAgainButtonIdentifier = "try-again";
  // The generic message with the contact link, and the specific failure text in its place.
  static constexpr const char* kErrorTextIdentifier = "errorText";
  static constexpr const char* kErrorPromptIdentifier = "errorPrompt";
  // Try Again's tag.
  static constexpr int32_t kTryAgainButtonTag = 1;

  // The page's views, laid out and not yet shown.
  static std::shared_ptr<TSRErrorPage> create();
  explicit TSRErrorPage(Private);

  // Builds the page for `screen`'s product and errorReason() and shows it in the screen's view
  // in place of the layout group's view, after stopping the slides. `screen` is remembered
  // (not owned) for Try Again.
  void configErrorView(TSRInstallProgressViewController& screen);

  // The Try Again action: puts the screen's group view back and starts a retry. Does nothing
  // once the screen is gone.
  void tryAgainInstallApp(os::ui::Control& sender);

  // A click on the localised "Download_Error_msg_tip" opens "Contact_Us_Url"; every click
  // counts as handled.
  bool textViewClickedOnLink(os::ui::TextView& textView, const std::string& link,
                             size_t characterIndex) override;

  const std::shared_ptr<TSRWhiteView>& errorCustomView() const { return errorCustomView_; }
  const std::shared_ptr<os::ui::ImageView>& errorImageView() const { return errorImageView_; }
  const std::shared_ptr<os::ui::Label>& errorTitleLabel() const { return errorTitleLabel_; }
  const std::shared_ptr<os::ui::Label>& errorPromptLabel() const { return errorPromptLabel_; }
  const std::shared_ptr<os::ui::Label>& errorIconLabel() const { return errorIconLabel_; }
  const std::shared_ptr<os::ui::ScrollView>& textScrollView() const { return textScrollView_; }
  const std::shared_ptr<TSRCanClickText>& errorTextView() const { return errorTextView_; }
  const std::shared_ptr<TSRWhiteView>& errorSubView() const { return errorSubView_; }
  const std::shared_ptr<TSRGridientButton>& errorTryAgainBtn() const { return errorTryAgainBtn_; }

 private:
  void loadView();
  void styleTryAgainButton(int32_t product);

  std::weak_ptr<TSRInstallProgressViewController> screen_;
  std::shared_ptr<TSRWhiteView> errorCustomView_;
  std::shared_ptr<os::ui::ImageView> errorImageView_;
  std::shared_ptr<os::ui::Label> errorTitleLabel_;
  std::shared_ptr<os::ui::Label> errorPromptLabel_;
  std::shared_ptr<os::ui::Label> errorIconLabel_;
  std::shared_ptr<os::ui::ScrollView> textScrollView_;
  std::shared_ptr<TSRCanClickText> errorTextView_;
  std::shared_ptr<TSRWhiteView> errorSubView_;
  std::shared_ptr<TSRGridientButton> errorTryAgainBtn_;
};
