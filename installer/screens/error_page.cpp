#include "installer/screens/error_page.h"

#include "installer/app/software_info.h"
#include "installer/app/temp_helper.h"
#include "installer/widgets/image_view.h"
#include "installer/widgets/text_style.h"
#include "installer/widgets/widget_color.h"
#include "os/format.h"
#include "os/log.h"
#include "os/url.h"
#include "os/workspace.h"

namespace {

using os::ui::Color;
using os::ui::Rect;
using WidgetColor::hex;
using WidgetColor::rgb;

// Where the page's views sit (the page's interface file); frames in the superview's
// coordinates, y upwards. configErrorView moves the texts to their places per product.
namespace layout {
const Rect kPage{0, 0, 600, 400};
const Rect kPicture{40, 190, 120, 120};
const Rect kTitle{181, 263, 380, 44};
const Rect kIconMark{181, 290, 20, 18};
const Rect kPrompt{181, 214, 390, 40};
const Rect kTextScroll{177, 199, 400, 56};
const Rect kSubView{0, 0, 600, 138};
const Rect kTryAgainButton{210, 42, 180, 50};
}  // namespace layout

// The page's own colour behind the white texts.
const Color kPageColor = rgb(46, 58, 78);

// The picture of the failed product.
const char* failurePicture(int32_t product) {
  switch (product) {
    case 1:
      return "kvi_failed";
    case 2:
      return "kva_failed";
    case 3:
      return "hli_failed";
    case 4:
      return "hla_failed";
    case 5:
      return "kvc_failed";
    case 6:
      return "sn_failed";
    case 8:
    case 10:
      return "tv_install";
    case 9:
      return "rm_Install";
    case 11:
      return "XD_install";
    case 12:
      return "start_background";
    case 13:
      return "backgroudImage";
    case 14:
      return "install_failed";
    case 15:
      return "";
    default:
      return "bv_failed";
  }
}

// The products whose progress view shows advertisement slides again after Try Again.
bool restartsSlides(int32_t product) {
  return product == 1 || product == 2 || product == 4 || product == 14 || product == 15;
}

constexpr const char* kFontName = "Helvetica Neue";
constexpr double kPromptFontSize = 14;
// The smallest size a long failure text shrinks to before its middle is elided.
constexpr double kSmallestPromptFontSize = 10;

// Shows `text` whole where it can: wrapped, in a smaller font when it needs more lines than the
// label has room for. A text too long even so is set on one line with its middle elided, so a
// long path keeps its start and its end instead of being clipped at the bottom.
void fitText(os::ui::Label& label, const std::string& text) {
  label.setStringValue(text);
  label.setLineBreakMode(os::ui::LineBreakMode::WordWrapping);
  for (double size = kPromptFontSize; size >= kSmallestPromptFontSize; --size) {
    label.setFont(os::ui::Font::named(kFontName, size));
    if (label.textLayout().size().height <= label.frame().height) return;
  }
  label.setLineBreakMode(os::ui::LineBreakMode::TruncatingMiddle);
}

std::shared_ptr<os::ui::Label> makeWhiteLabel(const Rect& frame, double fontSize) {
  auto label = std::make_shared<os::ui::Label>(frame);
  label->setTextColor(Color::white());
  label->setFont(os::ui::Font::named(kFontName, fontSize));
  return label;
}

}  // namespace

std::shared_ptr<TSRErrorPage> TSRErrorPage::create() {
  auto page = std::make_shared<TSRErrorPage>(Private{});
  page->loadView();
  return page;
}

TSRErrorPage::TSRErrorPage(Private) {}

void TSRErrorPage::loadView() {
  errorCustomView_ = std::make_shared<TSRWhiteView>(layout::kPage);
  errorCustomView_->setIdentifier(kPageIdentifier);
  errorCustomView_->setBackgroundColor(kPageColor);
  errorImageView_ = std::make_shared<TSRImageView>(layout::kPicture);
  errorTitleLabel_ = makeWhiteLabel(layout::kTitle, 34);
  errorIconLabel_ = makeWhiteLabel(layout::kIconMark, 14);
  errorPromptLabel_ = makeWhiteLabel(layout::kPrompt, kPromptFontSize);
  errorPromptLabel_->setIdentifier(kErrorPromptIdentifier);
  textScrollView_ = std::make_shared<os::ui::ScrollView>(layout::kTextScroll);
  textScrollView_->setHasVerticalScroller(false);
  errorTextView_ = std::make_shared<TSRCanClickText>(Rect{{0, 0}, layout::kTextScroll.size()});
  errorTextView_->setIdentifier(kErrorTextIdentifier);
  textScrollView_->setDocumentView(errorTextView_);
  errorSubView_ = std::make_shared<TSRWhiteView>(layout::kSubView);
  errorTryAgainBtn_ = std::make_shared<TSRGridientButton>(layout::kTryAgainButton);
  errorTryAgainBtn_->setIdentifier(kTryAgainButtonIdentifier);
  errorSubView_->addSubview(errorTryAgainBtn_);
  for (const auto& part : std::initializer_list<std::shared_ptr<os::ui::View>>{
           errorImageView_, errorTitleLabel_, errorIconLabel_, errorPromptLabel_, textScrollView_,
           errorSubView_}) {
    errorCustomView_->addSubview(part);
  }
}

void TSRErrorPage::configErrorView(TSRInstallProgressViewController& screen) {
  screen_ = screen.weak_from_this();
  const int32_t product = screen.layout().product();
  screen.slides().killTimer();
  screen.slides().setTimerNil();

  if (product == 14) {
    errorTitleLabel_->setFrameOrigin({28, 266});
    errorPromptLabel_->setFrameOrigin({28, 216});
    textScrollView_->setFrameOrigin({28, 203});
    errorSubView_->setWantsLayer(true);
    errorSubView_->layer()->setBackgroundColor(hex(0x261000));
  } else {
    errorTitleLabel_->setFrameOrigin(layout::kTitle.origin());
    errorPromptLabel_->setFrameOrigin(layout::kPrompt.origin());
    textScrollView_->setFrameOrigin(layout::kTextScroll.origin());
  }
  errorImageView_->setImage(os::ui::Image::named(failurePicture(product)));
  const std::string productName = localized(productForNumber(product).nameKey);

  const std::string title = localized("Install_Failed_Name");
  errorTitleLabel_->setStringValue(title);
  errorIconLabel_->setStringValue("®");
  // The mark follows the title's last letter.
  const Rect titleFrame = errorTitleLabel_->frame();
  errorIconLabel_->setFrameOrigin(
      {titleFrame.x + TextStyle::calcuTextBounds(title, errorTitleLabel_->font()).width +
           2 * os::ui::Label::kHorizontalInset,
       titleFrame.maxY() - errorIconLabel_->frame().height});

  const std::optional<std::string>& reason = screen.errorReason();
  if (reason) {
    textScrollView_->setHidden(true);
    errorPromptLabel_->setHidden(false);
    fitText(*errorPromptLabel_, *reason);
  } else {
    errorPromptLabel_->setHidden(true);
    textScrollView_->setHidden(false);
    const Color white = Color::white();
    errorTextView_->setHasUnderLine(true);
    errorTextView_->setNormalString(
        os::formatObjects(localized("Download_Error_msg"), {productName}),
        localized("Download_Error_msg_tip"), "", "", white, white, white, white,
        os::ui::Font::named("Helvetica Neue", 14));
    errorTextView_->setAlignment(os::ui::TextAlignment::Left);
    errorTextView_->setTitleStyle();
    errorTextView_->setDelegate(
        std::static_pointer_cast<os::ui::TextViewDelegate>(shared_from_this()));
    errorTextView_->setSelectable(true);
  }
  styleTryAgainButton(product);

  if (auto group = screen.layout().groupView()) group->removeFromSuperview();
  screen.view()->addSubview(errorCustomView_);
}

void TSRErrorPage::styleTryAgainButton(int32_t product) {
  auto& button = *errorTryAgainBtn_;
  const std::string title = localized("Install_TryAgain_Btn_Name");
  if (product == 14) {
    const Color dark = hex(0x261000), grey = hex(0x8a8a8a), white = Color::white();
    button.setIsLeftRightGridient(true, dark, dark, hex(0xd680ff), hex(0x2f87ff), hex(0xb036e3),
                                  hex(0x1273e4), dark, dark);
    button.setButtonBorder(true, grey, Color::clear(), Color::clear(), grey, 4.0);
    button.setButtonTitle(title, white, white, white, white, 20, false);
  } else {
    const Color white = Color::white(), orange = rgb(255, 174, 30);
    const Color enter = rgb(255, 247, 232), down = rgb(255, 238, 209);
    button.setIsLeftRightGridient(true, white, white, enter, enter, down, down, white, white);
    button.setButtonBorder(true, orange, orange, orange, orange, 2.0);
    button.setButtonTitle(title, orange, orange, orange, orange, 24, false);
  }
  button.setTag(kTryAgainButtonTag);
  button.setAction([weak = weak_from_this()](os::ui::Control& sender) {
    if (auto page = weak.lock()) page->tryAgainInstallApp(sender);
  });
  button.setNeedsDisplay();
}

void TSRErrorPage::tryAgainInstallApp(os::ui::Control&) {
  auto screen = screen_.lock();
  if (!screen) return;
  TSRProgressLayout& group = screen->layout();
  if (auto label = group.downloadLabel())
    label->setStringValue(localized("Install_Download_Prepare"));
  if (auto label = group.percentLabel()) label->setStringValue("");
  if (auto bar = group.progressBar()) bar->reInitProgress();
  errorCustomView_->removeFromSuperview();
  if (auto view = group.groupView()) screen->view()->addSubview(view);
  if (restartsSlides(group.product())) screen->slides().addTimer();
  screen->startDownloadInstall(true);
}

bool TSRErrorPage::textViewClickedOnLink(os::ui::TextView&, const std::string& link, size_t) {
  if (link != localized("Download_Error_msg_tip")) return true;
  std::optional<os::URL> contact = os::URL::parse(localized("Contact_Us_Url"));
  os::Error error;
  if (!contact || !os::workspace::openURL(*contact, &error)) {
    os::log::console("could not open the contact address: " + error.description);
  }
  return true;
}
