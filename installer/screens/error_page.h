// The error page of the progress screen: the product's picture and name, "installation failed",
// either the specific failure text the screen kept (errorReason) or a generic message with a
// clickable contact link, and a Try Again button that starts a new try. The application hands
// the page to the progress screen, which shows it from its error callbacks:
//
//   auto page = TSRErrorPage::create();
//   screen->setErrorPage(
//       [page](TSRInstallProgressViewController& s) { page->configErrorView(s); });
//
// The page takes the place of the screen's layout-group view and stops the slides; Try Again
// puts the group's view back with an empty bar and "Install_Download_Prepare", restarts the
// slides of the products that show them, and sends startDownloadInstall(true). A click on the
// contact link opens the localised "Contact_Us_Url".
//
// The page has three forms, one per layout group of the screen:
//   standard  products 1 to 7, 14 and any other number: white texts on the page's colour, a
//             white Try Again button; the slides stop
//   tavinor   products 8 to 13: the product's picture on white, a dark title, grey texts and a
//             filled Try Again button in the product's colours
//   lxo       product 15: a purple strip over the progress view's lower part, with a white tip
//             and Try Again; the slides above it keep running
// Main thread only.
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
  // The view that configErrorView shows for `product`.
  std::shared_ptr<os::ui::View> errorViewForProduct(int32_t product) const;

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

  // The tavinor form.
  const std::shared_ptr<TSRWhiteView>& tavinorErrorCustomView() const {
    return tavinorErrorCustomView_;
  }
  const std::shared_ptr<os::ui::ImageView>& tavinorErrorImageView() const {
    return tavinorErrorImageView_;
  }
  const std::shared_ptr<os::ui::ImageView>& tavinorErrorImageView1() const {
    return tavinorErrorImageView1_;
  }
  const std::shared_ptr<os::ui::Label>& tavinorErrorTitleLabel() const {
    return tavinorErrorTitleLabel_;
  }
  const std::shared_ptr<os::ui::Label>& tavinorErrorPromptLabel() const {
    return tavinorErrorPromptLabel_;
  }
  const std::shared_ptr<TSRGridientButton>& tavinorErrorTryAgainBtn() const {
    return tavinorErrorTryAgainBtn_;
  }
  const std::shared_ptr<os::ui::ImageView>& tavinorErrorProImageView() const {
    return tavinorErrorProImageView_;
  }
  const std::shared_ptr<os::ui::ScrollView>& tavinorErrortextScrollView() const {
    return tavinorErrortextScrollView_;
  }
  const std::shared_ptr<TSRCanClickText>& tavinorErrorTextView() const {
    return tavinorErrorTextView_;
  }

  // The lxo form.
  const std::shared_ptr<TSRWhiteView>& lxoErrorView() const { return lxoErrorView_; }
  const std::shared_ptr<TSRCanClickText>& lxoErrorTip() const { return lxoErrorTip_; }
  const std::shared_ptr<TSRGridientButton>& lxoTryBtn() const { return lxoTryBtn_; }

 private:
  void loadView();
  void loadTavinorView();
  void loadLxoView();
  void configTavinorErrorView(TSRInstallProgressViewController& screen, int32_t product);
  void configLxoErrorView(TSRInstallProgressViewController& screen);
  void styleTryAgainButton(int32_t product);
  // Tag, action and redisplay that every form's Try Again shares.
  void connectTryAgain(TSRGridientButton& button);
  // Fills `text` with the generic message naming `productName` and the contact link in `color`
  // and `alignment`, with this page as its delegate.
  void showGenericMessage(TSRCanClickText& text, const std::string& productName,
                          os::ui::Color color, os::ui::TextAlignment alignment);

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

  std::shared_ptr<TSRWhiteView> tavinorErrorCustomView_;
  std::shared_ptr<os::ui::ImageView> tavinorErrorImageView_;
  std::shared_ptr<os::ui::ImageView> tavinorErrorImageView1_;
  std::shared_ptr<os::ui::Label> tavinorErrorTitleLabel_;
  std::shared_ptr<os::ui::Label> tavinorErrorPromptLabel_;
  std::shared_ptr<TSRGridientButton> tavinorErrorTryAgainBtn_;
  std::shared_ptr<os::ui::ImageView> tavinorErrorProImageView_;
  std::shared_ptr<os::ui::ScrollView> tavinorErrortextScrollView_;
  std::shared_ptr<TSRCanClickText> tavinorErrorTextView_;

  std::shared_ptr<TSRWhiteView> lxoErrorView_;
  std::shared_ptr<TSRCanClickText> lxoErrorTip_;
  std::shared_ptr<TSRGridientButton> lxoTryBtn_;
};
