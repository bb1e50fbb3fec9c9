// The installer's first screen: the product's picture, name and slogan, an Install button and,
// for products 1, 14 and 15, a licence-agreement row (checkbox and a clickable "accept" text).
// The application delegate makes it at launch and shows its view as the window's content:
//
//   auto first = TSRMainViewController::create(appDelegate);   // a TSRMainViewDelegate
//   mainBox->setContentView(first->view());
//
// Pressing Install looks for the product's copy in the system Applications folder; when there
// is one it asks, in the window's question panel, whether to replace it (Cancel keeps
// everything, Replace ends a running copy), and then asks the delegate to switch to the
// progress screen with the button's tag (kInstallButtonTag). Product 14 starts only with the
// agreement ticked; unticked, the licence window opens instead.
//
// Products 8 to 13 lay their own upper area (the tavinor view: picture, dark title, grey prompt
// and, for 11 to 13, a logo) over the screen, with the lower area clear above it. Main thread
// only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "installer/screens/alert_view_controller.h"
#include "installer/widgets/can_click_text.h"
#include "installer/widgets/gridient_button.h"
#include "installer/widgets/white_view.h"
#include "os/ui/attributed_string.h"
#include "os/ui/button.h"
#include "os/ui/image_view.h"
#include "os/ui/label.h"
#include "os/ui/scroll_view.h"
#include "os/ui/view.h"

// What the first screen asks of the application.
class TSRMainViewDelegate {
 public:
  virtual ~TSRMainViewDelegate() = default;
  // Leave the first screen: a non-zero `tag` (the pressed button's) starts an installation on
  // the progress screen.
  virtual void switchView(int32_t tag) = 0;
};

class TSRMainViewController : public os::ui::TextViewDelegate,
                              public std::enable_shared_from_this<TSRMainViewController> {
  struct Private {};

 public:
  // Identifiers of what a user can act on, for scripts and tests.
  static constexpr const char* kInstallButtonIdentifier = "install";
  static constexpr const char* kAgreementCheckBoxIdentifier = "agreement";
  static constexpr const char* kAgreementTextIdentifier = "agreementText";
  // The tag the Install button hands to TSRMainViewDelegate::switchView.
  static constexpr int32_t kInstallButtonTag = 2;
  // The screen fills the installer's 600 x 400 window.
  static constexpr double kViewWidth = 600;
  static constexpr double kViewHeight = 400;

  // The screen laid out for the installed product, with its own question-panel controller.
  // `delegate` is not owned.
  static std::shared_ptr<TSRMainViewController> create(std::weak_ptr<TSRMainViewDelegate> delegate);
  TSRMainViewController(Private, std::weak_ptr<TSRMainViewDelegate> delegate);

  const std::shared_ptr<os::ui::View>& view() const { return view_; }

  // The Install button's action: see the header comment. Blocks in the question panel's or the
  // licence window's modal run while either is open.
  void installApp(os::ui::Control& sender);

  // Asks `text` with the two buttons in the first free TSRAlertSuperView (one without subviews)
  // among the subviews of the window's content view, brought to the front: 1 for OK, 0 for
  // Cancel, and 0 without asking when the screen is in no window or no host is free.
  int32_t showAlertText(const std::string& text, const std::string& cancelTitle,
                        const std::string& okTitle);

  // A click on the agreement link opens the licence window; every click counts as handled.
  bool textViewClickedOnLink(os::ui::TextView& textView, const std::string& link,
                             size_t characterIndex) override;

  // `text` with, over its whole length, a clear background, `color` and `font`.
  static os::ui::AttributedString setSingleTextAttributedString(const std::string& text,
                                                                const os::ui::Font& font,
                                                                os::ui::Color color);

  // The tag of the last pressed button (0 before any).
  int32_t tag() const { return tag_; }

  const std::shared_ptr<TSRWhiteView>& topCustomView() const { return topCustomView_; }
  const std::shared_ptr<TSRWhiteView>& bottomCustomView() const { return bottomCustomView_; }
  const std::shared_ptr<os::ui::ImageView>& topIconImageView() const { return topIconImageView_; }
  const std::shared_ptr<os::ui::Label>& topTitleLabel() const { return topTitleLabel_; }
  const std::shared_ptr<os::ui::Label>& topPromptLabel() const { return topPromptLabel_; }
  const std::shared_ptr<os::ui::Label>& topIconLabel() const { return topIconLabel_; }
  const std::shared_ptr<os::ui::Label>& topSuffexLabel() const { return topSuffexLabel_; }
  const std::shared_ptr<TSRGridientButton>& installBtn() const { return installBtn_; }
  // The upper area of products 8 to 13; null for the others.
  const std::shared_ptr<TSRWhiteView>& tavinorView() const { return tavinorView_; }
  const std::shared_ptr<os::ui::ImageView>& tavinorImageView() const { return tavinorImageView_; }
  const std::shared_ptr<os::ui::ImageView>& tavinorImage1() const { return tavinorImage1_; }
  const std::shared_ptr<os::ui::Label>& tavinorTitleLabel() const { return tavinorTitleLabel_; }
  const std::shared_ptr<os::ui::Label>& tavinorPromptLabel() const { return tavinorPromptLabel_; }
  const std::shared_ptr<TSRAlertViewController>& alertViewController() const {
    return alertViewController_;
  }
  // The agreement row: its view, checkbox (state 1 = ticked), clickable text and the clip that
  // holds the text.
  const std::shared_ptr<os::ui::View>& agreementLabelView() const { return agreementLabelView_; }
  const std::shared_ptr<os::ui::Button>& agreementCheckBtn() const { return agreementCheckBtn_; }
  const std::shared_ptr<TSRCanClickText>& agreementClickText() const { return agreementClickText_; }
  const std::shared_ptr<os::ui::ScrollView>& agreementScrollView() const {
    return agreementScrollView_;
  }

 private:
  // Builds the views from the layout table, then styles them for the product.
  void loadView();
  void awakeFromNib();
  void configAgreementLabel();
  // Builds and fills the upper area of products 8 to 13 and puts it under the lower area.
  void configTavinorView(int32_t product);
  // Opens the licence window as a child of the screen's (main) window, centred over it, and
  // waits until it closes.
  void showAgreementView();

  std::weak_ptr<TSRMainViewDelegate> delegate_;
  int32_t tag_ = 0;
  std::shared_ptr<TSRAlertViewController> alertViewController_;
  std::shared_ptr<os::ui::View> view_;
  std::shared_ptr<TSRWhiteView> topCustomView_;
  std::shared_ptr<TSRWhiteView> bottomCustomView_;
  std::shared_ptr<os::ui::ImageView> topIconImageView_;
  std::shared_ptr<os::ui::Label> topTitleLabel_;
  std::shared_ptr<os::ui::Label> topPromptLabel_;
  std::shared_ptr<os::ui::Label> topIconLabel_;
  std::shared_ptr<os::ui::Label> topSuffexLabel_;
  std::shared_ptr<TSRGridientButton> installBtn_;
  std::shared_ptr<TSRWhiteView> tavinorView_;
  std::shared_ptr<os::ui::ImageView> tavinorImageView_;
  std::shared_ptr<os::ui::ImageView> tavinorImage1_;
  std::shared_ptr<os::ui::Label> tavinorTitleLabel_;
  std::shared_ptr<os::ui::Label> tavinorPromptLabel_;
  std::shared_ptr<os::ui::View> agreementLabelView_;
  std::shared_ptr<os::ui::Button> agreementCheckBtn_;
  std::shared_ptr<TSRCanClickText> agreementClickText_;
  std::shared_ptr<os::ui::ScrollView> agreementScrollView_;
};
