#include "installer/screens/error_page.h"

#include <array>
#include <functional>
#include <optional>

#include "installer/app/software_info.h"
#include "installer/app/temp_helper.h"
#include "installer/widgets/image_view.h"
#include "installer/widgets/text_style.h"
#include "installer/widgets/widget_color.h"
#include "os/dispatch/dispatch.h"
#include "os/log/log.h"
#include "os/net/url.h"
#include "os/text/format.h"
#include "os/workspace/workspace.h"

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
// The tavinor form: configErrorView moves its texts and note per product.
const Rect kTavinorPicture{210, 214, 180, 150};
const Rect kTavinorLogo{20, 350, 36, 36};
const Rect kTavinorNote{328, 240, 40, 40};
const Rect kTavinorTitle{49, 172, 502, 36};
const Rect kTavinorPrompt{114, 130, 372, 34};
const Rect kTavinorText{109, 116, 382, 40};
const Rect kTavinorTryAgainButton{210, 30, 180, 44};
// The lxo form covers the progress view's lower part, below the slides.
const Rect kLxoPage{0, 0, 600, 138};
const Rect kLxoTip{40, 76, 520, 44};
const Rect kLxoTryAgainButton{210, 20, 180, 44};
}  // namespace layout

// The page's own colour behind the white texts.
const Color kPageColor = rgb(46, 58, 78);
// Product 15's deep purple behind its white tip, from the product's own palette.
const Color kLxoPageColor = hex(0x3116b6);
const Color kGrey = rgb(101, 101, 101);

// Where the tavinor form puts its views, and its sizes, for one product.
struct TavinorErrorRow {
  int32_t product;
  os::ui::Point note, title, prompt, text;
  double promptFontSize;
  float buttonTitleSize;
};
constexpr TavinorErrorRow kTavinorErrorRows[] = {
    {8, {328, 240}, {49, 148}, {114, 110}, {109, 94}, 14, 20},
    {9, {328, 256}, {49, 168}, {114, 130}, {109, 114}, 14, 18},
    {10, {328, 252}, {49, 172}, {114, 136}, {109, 116}, 14, 16},
    {11, {328, 226}, {49, 172}, {114, 130}, {109, 116}, 16, 16},
    {12, {346, 230}, {49, 172}, {114, 130}, {109, 116}, 16, 16},
    {13, {346, 230}, {49, 172}, {114, 130}, {109, 116}, 16, 16},
};

const TavinorErrorRow& tavinorErrorRow(int32_t product) {
  for (const TavinorErrorRow& row : kTavinorErrorRows) {
    if (row.product == product) return row;
  }
  return kTavinorErrorRows[0];
}

// The tavinor form's Try Again background, left and right per state: normal, enter, down,
// forbidden.
std::array<Color, 8> tavinorTryAgainColors(int32_t product) {
  switch (product) {
    case 11: {
      const Color blue = rgb(23, 92, 255), light = rgb(71, 125, 255);
      return {blue, blue, light, light, blue, blue, blue, blue};
    }
    case 12: {
      const Color blue = rgb(23, 92, 255), teal = rgb(34, 194, 213);
      return {blue, teal, blue, teal, blue, teal, blue, teal};
    }
    case 13: {
      const Color green = hex(0x43a450), light = hex(0x43bf53), grey = hex(0xe0e0e0);
      return {green, green, light, light, light, light, grey, grey};
    }
    default: {
      const Color green = rgb(24, 183, 165), light = rgb(24, 206, 186), dark = rgb(26, 155, 140);
      return {green, green, light, light, dark, dark, green, green};
    }
  }
}

void setGradient(TSRGridientButton& button, const std::array<Color, 8>& colors) {
  button.setIsLeftRightGridient(true, colors[0], colors[1], colors[2], colors[3], colors[4],
                                colors[5], colors[6], colors[7]);
}

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

// The largest font size from `largest` down to kSmallestPromptFontSize at which the failure
// text fits its area, trying each with `fitsAt` (which sets the size and measures); nullopt
// when none does.
std::optional<double> largestFittingSize(double largest,
                                         const std::function<bool(double size)>& fitsAt) {
  for (double size = largest; size >= kSmallestPromptFontSize; --size) {
    if (fitsAt(size)) return size;
  }
  return std::nullopt;
}

// Shows `text` whole where it can: wrapped, in a smaller font when it needs more lines than the
// label has room for. A text too long even so is set on one line with its middle elided, so a
// long path keeps its start and its end instead of losing its end.
void fitText(os::ui::Label& label, const std::string& text, double fontSize) {
  label.setStringValue(text);
  label.setFont(os::ui::Font::named(kFontName, fontSize));
  label.setLineBreakMode(os::ui::LineBreakMode::WordWrapping);
  label.setMinimumScaleFactor(kSmallestPromptFontSize / fontSize);
  if (!label.textLayout().isTruncated()) return;
  label.setMinimumScaleFactor(0);
  label.setFont(os::ui::Font::named(kFontName, kSmallestPromptFontSize));
  label.setLineBreakMode(os::ui::LineBreakMode::TruncatingMiddle);
}

// The same for a text view without links: wrapped and shrunk, else one line elided in the middle.
void fitText(TSRCanClickText& view, const std::string& text, os::ui::Color color) {
  view.setIsSingleLine(false);
  auto fits = [&](double size) {
    view.setNormalString(text, "", "", "", color, color, color, color,
                         os::ui::Font::named(kFontName, size));
    return view.textLayout().size().height + 2 * view.textContainerInset().height <=
           view.frame().height;
  };
  if (!largestFittingSize(kPromptFontSize, fits)) {
    view.setIsSingleLine(true, os::ui::LineBreakMode::TruncatingMiddle);
    view.setTitleStyle();
  }
}

std::shared_ptr<os::ui::Label> makeLabel(os::ui::View& parent, const Rect& frame) {
  auto label = std::make_shared<os::ui::Label>(frame);
  TextStyle::fitToFrame(*label);
  parent.addSubview(label);
  return label;
}

std::shared_ptr<os::ui::Label> makeWhiteLabel(const Rect& frame, double fontSize) {
  auto label = std::make_shared<os::ui::Label>(frame);
  label->setTextColor(Color::white());
  label->setFont(os::ui::Font::named(kFontName, fontSize));
  TextStyle::fitToFrame(*label);
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
  OS_CHECK_ON_MAIN();
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
  loadTavinorView();
  loadLxoView();
}

void TSRErrorPage::loadTavinorView() {
  tavinorErrorCustomView_ = std::make_shared<TSRWhiteView>(layout::kPage);
  tavinorErrorCustomView_->setIdentifier(kPageIdentifier);
  auto& page = *tavinorErrorCustomView_;
  tavinorErrorImageView_ = std::make_shared<TSRImageView>(layout::kTavinorPicture);
  page.addSubview(tavinorErrorImageView_);
  tavinorErrorImageView1_ = std::make_shared<TSRImageView>(layout::kTavinorLogo);
  page.addSubview(tavinorErrorImageView1_);
  tavinorErrorProImageView_ = std::make_shared<TSRImageView>(layout::kTavinorNote);
  page.addSubview(tavinorErrorProImageView_);
  tavinorErrorTitleLabel_ = makeLabel(page, layout::kTavinorTitle);
  tavinorErrorTitleLabel_->setAlignment(os::ui::TextAlignment::Center);
  tavinorErrorPromptLabel_ = makeLabel(page, layout::kTavinorPrompt);
  tavinorErrorPromptLabel_->setAlignment(os::ui::TextAlignment::Center);
  tavinorErrorPromptLabel_->setIdentifier(kErrorPromptIdentifier);
  tavinorErrortextScrollView_ = std::make_shared<os::ui::ScrollView>(layout::kTavinorText);
  tavinorErrortextScrollView_->setHasVerticalScroller(false);
  tavinorErrorTextView_ =
      std::make_shared<TSRCanClickText>(Rect{{0, 0}, layout::kTavinorText.size()});
  tavinorErrorTextView_->setIdentifier(kErrorTextIdentifier);
  tavinorErrortextScrollView_->setDocumentView(tavinorErrorTextView_);
  page.addSubview(tavinorErrortextScrollView_);
  tavinorErrorTryAgainBtn_ = std::make_shared<TSRGridientButton>(layout::kTavinorTryAgainButton);
  tavinorErrorTryAgainBtn_->setIdentifier(kTryAgainButtonIdentifier);
  page.addSubview(tavinorErrorTryAgainBtn_);
}

void TSRErrorPage::loadLxoView() {
  lxoErrorView_ = std::make_shared<TSRWhiteView>(layout::kLxoPage);
  lxoErrorView_->setIdentifier(kPageIdentifier);
  lxoErrorView_->setBackgroundColor(kLxoPageColor);
  lxoErrorTip_ = std::make_shared<TSRCanClickText>(layout::kLxoTip);
  lxoErrorView_->addSubview(lxoErrorTip_);
  lxoTryBtn_ = std::make_shared<TSRGridientButton>(layout::kLxoTryAgainButton);
  lxoTryBtn_->setIdentifier(kTryAgainButtonIdentifier);
  lxoErrorView_->addSubview(lxoTryBtn_);
}

std::shared_ptr<os::ui::View> TSRErrorPage::errorViewForProduct(int32_t product) const {
  if (progressGroupForProduct(product) != TSRProgressGroup::Standard) {
    return tavinorErrorCustomView_;
  }
  return product == 15 ? lxoErrorView_ : errorCustomView_;
}

void TSRErrorPage::configErrorView(TSRInstallProgressViewController& screen) {
  OS_CHECK_ON_MAIN();
  screen_ = screen.weak_from_this();
  const int32_t product = screen.layout().product();
  tavinorErrorTitleLabel_->setFont(os::ui::Font::named("Helvetica Neue", 22));
  if (progressGroupForProduct(product) != TSRProgressGroup::Standard) {
    configTavinorErrorView(screen, product);
    return;
  }
  if (product == 15) {
    configLxoErrorView(screen);
    return;
  }
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
  TextStyle::placeMark(*errorIconLabel_, *errorTitleLabel_);

  const std::optional<std::string>& reason = screen.errorReason();
  if (reason) {
    textScrollView_->setHidden(true);
    errorPromptLabel_->setHidden(false);
    fitText(*errorPromptLabel_, *reason, kPromptFontSize);
  } else {
    errorPromptLabel_->setHidden(true);
    textScrollView_->setHidden(false);
    showGenericMessage(*errorTextView_, productName, Color::white(), os::ui::TextAlignment::Left);
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
  connectTryAgain(button);
}

void TSRErrorPage::connectTryAgain(TSRGridientButton& button) {
  button.setTag(kTryAgainButtonTag);
  button.setAction([weak = weak_from_this()](os::ui::Control& sender) {
    if (auto page = weak.lock()) page->tryAgainInstallApp(sender);
  });
  button.setNeedsDisplay();
}

void TSRErrorPage::showGenericMessage(TSRCanClickText& text, const std::string& productName,
                                      Color color, os::ui::TextAlignment alignment) {
  text.setHasUnderLine(true);
  text.setNormalString(os::formatObjects(localized("Download_Error_msg"), {productName}),
                       localized("Download_Error_msg_tip"), "", "", color, color, color, color,
                       os::ui::Font::named("Helvetica Neue", 14));
  text.setAlignment(alignment);
  text.setTitleStyle();
  text.setDelegate(std::static_pointer_cast<os::ui::TextViewDelegate>(shared_from_this()));
  text.setSelectable(true);
}

void TSRErrorPage::configTavinorErrorView(TSRInstallProgressViewController& screen,
                                          int32_t product) {
  const TavinorErrorRow& row = tavinorErrorRow(product);
  auto picture = os::ui::Image::named(failurePicture(product));
  tavinorErrorImageView_->setImage(picture);
  if (product <= 9) errorImageView_->setImage(picture);
  if (product == 13) {
    tavinorErrorImageView_->setWantsLayer(true);
    tavinorErrorImageView_->layer()->setCornerRadius(8.0);
  }
  tavinorErrorImageView1_->setImage(product >= 11 ? os::ui::Image::named("logo") : nullptr);
  const std::string productName = localized(productForNumber(product).nameKey);

  tavinorErrorProImageView_->setFrameOrigin(row.note);
  tavinorErrorTitleLabel_->setFrameOrigin(row.title);
  tavinorErrorPromptLabel_->setFrameOrigin(row.prompt);
  tavinorErrortextScrollView_->setFrameOrigin(row.text);
  if (product >= 11) {
    tavinorErrorProImageView_->setWantsLayer(true);
    tavinorErrorProImageView_->layer()->setAnchorPointZ(-10.0);
    tavinorErrorTitleLabel_->setFont(os::ui::Font::named("Helvetica Neue Bold", 28));
  }
  tavinorErrorProImageView_->setImage(os::ui::Image::named("install_note"));
  tavinorErrorTitleLabel_->setTextColor(Color::black());
  tavinorErrorTitleLabel_->setStringValue(localized("Install_Failed_Name"));

  const std::optional<std::string>& reason = screen.errorReason();
  if (reason) {
    tavinorErrortextScrollView_->setHidden(true);
    tavinorErrorPromptLabel_->setHidden(false);
    tavinorErrorPromptLabel_->setTextColor(kGrey);
    fitText(*tavinorErrorPromptLabel_, *reason, row.promptFontSize);
  } else {
    tavinorErrorPromptLabel_->setHidden(true);
    tavinorErrortextScrollView_->setHidden(false);
    showGenericMessage(*tavinorErrorTextView_, productName, kGrey, os::ui::TextAlignment::Center);
  }

  TSRGridientButton& button = *tavinorErrorTryAgainBtn_;
  setGradient(button, tavinorTryAgainColors(product));
  const Color white = Color::white();
  button.setButtonTitle(localized("Install_TryAgain_Btn_Name"), white, white, white, white,
                        row.buttonTitleSize, false);
  connectTryAgain(button);

  if (auto group = screen.layout().groupView()) group->removeFromSuperview();
  screen.view()->addSubview(tavinorErrorCustomView_);
}

void TSRErrorPage::configLxoErrorView(TSRInstallProgressViewController& screen) {
  TSRCanClickText& tip = *lxoErrorTip_;
  const Color white = Color::white();
  tip.setTextColor(white);
  tip.setAlignment(os::ui::TextAlignment::Center);
  const std::optional<std::string>& reason = screen.errorReason();
  if (reason && !reason->empty()) {
    tip.setIdentifier(kErrorPromptIdentifier);
    fitText(tip, *reason, white);
  } else {
    tip.setIdentifier(kErrorTextIdentifier);
    tip.setIsSingleLine(false);
    showGenericMessage(tip, localized("Product_LXO_Name"), white, os::ui::TextAlignment::Center);
  }
  tip.setDelegate(std::static_pointer_cast<os::ui::TextViewDelegate>(shared_from_this()));
  tip.setSelectable(true);

  TSRGridientButton& button = *lxoTryBtn_;
  const Color normal = hex(0x7057ea), enter = hex(0x8b77ee), down = hex(0x3116b6),
              forbidden = hex(0xe5e4fc);
  setGradient(button, {normal, normal, enter, enter, down, down, forbidden, forbidden});
  button.setButtonTitle(localized("Install_TryAgain_Btn_Name"), white, white, white, white, 20,
                        false);
  connectTryAgain(button);

  // In front of the progress view; the slides above go on.
  screen.view()->addSubview(lxoErrorView_);
}

void TSRErrorPage::tryAgainInstallApp(os::ui::Control&) {
  OS_CHECK_ON_MAIN();
  auto screen = screen_.lock();
  if (!screen) return;
  screen->setFalseProgressComplete(false);
  TSRProgressLayout& group = screen->layout();
  if (auto label = group.downloadLabel())
    label->setStringValue(localized("Install_Download_Prepare"));
  if (auto label = group.percentLabel()) label->setStringValue("");
  if (auto bar = group.progressBar()) bar->reInitProgress();
  // Product 15's page stays behind the progress view that comes back over it.
  if (group.product() != 15) errorViewForProduct(group.product())->removeFromSuperview();
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
