#include "installer/screens/main_view_controller.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>

#include "installer/app/software_info.h"
#include "installer/app/temp_helper.h"
#include "installer/screens/licence_window.h"
#include "installer/widgets/image_view.h"
#include "installer/widgets/text_style.h"
#include "installer/widgets/widget_color.h"
#include "os/dispatch/dispatch.h"
#include "os/files/paths.h"
#include "os/log/log.h"
#include "os/text/format.h"
#include "os/ui/application.h"
#include "os/ui/window.h"
#include "os/workspace/workspace.h"

namespace {

using os::ui::Color;
using os::ui::Rect;
using WidgetColor::hex;
using WidgetColor::rgb;

// Where the screen's views sit before the product styles them (the screen's interface file).
// Frames are in the superview's coordinates, y upwards.
namespace layout {
const Rect kTopArea{0, 138, 600, 262};
const Rect kBottomArea{0, 0, 600, 138};
// Inside the upper area.
const Rect kPicture{40, 42, 190, 190};
const Rect kTitle{240, 142, 300, 40};
const Rect kIconMark{380, 182, 20, 18};
const Rect kPrompt{240, 110, 340, 24};
const Rect kSuffix{240, 80, 300, 24};
// Inside the lower area.
const Rect kInstallButton{210, 52, 180, 50};
const Rect kAgreementRow{0, 8, 600, 24};
// Inside the agreement row.
const Rect kAgreementCheckBox{0, 3, 18, 18};
const Rect kAgreementText{0, 0, 300, 24};
// The name and slogan of the Brevalo family move by these from their places above; the mark
// follows the name.
constexpr double kTitleShiftX = 10, kShiftY = -12;
// The upper area of products 8 to 13 covers the screen; the clear lower area lies over it.
const Rect kTavinorView{0, 0, 600, 400};
// Inside the tavinor view: the picture above the texts, the logo in the top left corner.
const Rect kTavinorPicture{200, 216, 200, 160};
const Rect kTavinorLogo{20, 350, 36, 36};
const Rect kTavinorTitle{40, 176, 520, 36};
const Rect kTavinorPrompt{40, 140, 520, 28};
// Product 9 centres its title with the origin at this height, and its prompt this far below.
constexpr double kCentredTitleY = 176, kCentredPromptGap = 10;
}  // namespace layout

constexpr double kCheckBoxWidth = 18;
constexpr double kCheckBoxToTextSpace = 10;
constexpr double kAgreementFontSize = 14;

// The Install button's look in its four states (normal, mouse inside, pressed, disabled). A
// bordered button's title has the border's colour; a filled one has a white title.
struct InstallButtonLook {
  Color normalLeft, normalRight, enterLeft, enterRight, downLeft, downRight, forbiddenLeft,
      forbiddenRight;
  std::optional<Color> border;  // with a grey disabled border and title
  float titleSize;
};

InstallButtonLook bordered(Color enter, Color down, Color border) {
  Color white = Color::white();
  return {white, white, enter, enter, down, down, white, white, border, 24};
}

InstallButtonLook filled(Color normal, Color enter, Color down, float titleSize,
                         std::optional<Color> forbidden = std::nullopt) {
  Color disabled = forbidden.value_or(normal);
  return {normal, normal, enter, enter, down, down, disabled, disabled, std::nullopt, titleSize};
}

InstallButtonLook installButtonLook(int32_t product) {
  switch (product) {
    case 1:
      return bordered(rgb(239, 250, 255), rgb(213, 243, 255), rgb(45, 196, 255));
    case 2:
      return bordered(rgb(235, 251, 244), rgb(212, 247, 231), rgb(50, 215, 138));
    case 3:
      return bordered(rgb(230, 249, 247), rgb(209, 244, 241), rgb(25, 198, 183));
    case 4:
      return bordered(rgb(234, 243, 252), rgb(212, 231, 251), rgb(40, 136, 234));
    case 8:
      return filled(rgb(24, 183, 165), rgb(24, 206, 186), rgb(26, 155, 140), 20);
    case 9:
      return filled(rgb(24, 183, 165), rgb(24, 206, 186), rgb(26, 155, 140), 18);
    case 10:
      return filled(rgb(24, 183, 165), rgb(24, 206, 186), rgb(26, 155, 140), 20);
    case 11:
      return filled(rgb(23, 92, 255), rgb(71, 125, 255), rgb(23, 92, 255), 20);
    case 12: {
      // The same blue-to-teal gradient in every state.
      InstallButtonLook look = filled(rgb(23, 92, 255), rgb(23, 92, 255), rgb(23, 92, 255), 20);
      look.normalRight = look.enterRight = look.downRight = look.forbiddenRight = rgb(34, 194, 213);
      return look;
    }
    case 13:
      return filled(hex(0x43a450), hex(0x43bf53), hex(0x43bf53), 20);
    case 14:
    case 15:
      return filled(hex(0x7057ea), hex(0x8b77ee), hex(0x3116b6), 20, hex(0xe5e4fc));
    default:  // the Brevalo family: 5, 6, 7
      return bordered(rgb(234, 243, 252), rgb(212, 231, 251), rgb(17, 127, 228));
  }
}

// The product's texts (localisation keys) and picture on the first screen.
struct FirstScreenTexts {
  const char* titleKey;  // empty: the title is hidden
  const char* promptKey;
  const char* picture;
  const char* suffixKey;  // empty: no suffix
};

FirstScreenTexts firstScreenTexts(int32_t product) {
  switch (product) {
    case 1:
      return {"Product_Name", "Product_Prompt", "kvi_install", "Product_iOS_Suffex_Name"};
    case 2:
      return {"Product_KV_Android_Name", "Product_Prompt", "kva_install", ""};
    case 3:
      return {"Product_HLI_Name", "Product_Prompt", "hli_install", "Product_iOS_Suffex_Name"};
    case 4:
      return {"Product_HLI_Name", "Product_Prompt_HLA", "hla_install", "Product_Suffex_Name"};
    case 5:
      return {"Product_KV_Cloud_Name", "Product_Prompt", "kvc_install", ""};
    case 6:
      return {"Product_SN_Name", "Product_Prompt", "sn_install", ""};
    case 8:
      return {"Product_TV_Name", "Product_TV_Prompt", "tv_install", ""};
    case 9:
      return {"Product_RM_Name", "Product_RM_Prompt", "rm_Install", ""};
    case 10:
      return {"Product_TV_iCloudActive_Name", "Installing_TV_iCloudActive_Prompt", "tv_install",
              ""};
    case 11:
      return {"Product_XD_Name", "Product_XD_Prompt", "XD_install", ""};
    case 12:
      return {"Product_SVO_Name", "Product_SVO_Prompt", "start_background", ""};
    case 13:
      return {"Product_WB_Name", "Product_WB_Prompt", "backgroudImage", ""};
    case 14:
      return {"Product_LX_Name", "LX_Home_Title", "install_home", ""};
    case 15:
      return {"", "Slogan_LXO", "install_home", ""};
    default:
      return {"Product_BV_Name", "Product_Prompt", "bv_install", ""};
  }
}

bool hasAgreementRow(int32_t product) { return product == 1 || product == 14 || product == 15; }

// The agreement text's colours: normal text, link, link under the pointer, link pressed.
struct AgreementColors {
  Color normal, link, enter, down;
};

AgreementColors agreementColors(int32_t product) {
  switch (product) {
    case 14:
      return {hex(0xe0e0e0), hex(0x1983ff), hex(0x50a0ff), hex(0x1983ff)};
    case 15:
      return {hex(0xe0e0e0), hex(0x333333), hex(0x8487f1), hex(0x262ac9)};
    default:
      return {rgb(101, 101, 101), rgb(45, 196, 255), rgb(80, 188, 252), rgb(70, 170, 252)};
  }
}

// Products 1 to 7 show their name and prompt on the plain light upper area; the others lay
// their own view or picture over it.
bool hasLightUpperArea(int32_t product) { return product >= 1 && product <= 7; }

bool hasTavinorUpperArea(int32_t product) { return product >= 8 && product <= 13; }

// The tavinor upper area's fonts: title and prompt.
struct TavinorFonts {
  os::ui::Font title, prompt;
};

TavinorFonts tavinorFonts(int32_t product) {
  using os::ui::Font;
  if (product <= 9) return {Font::named("Helvetica Neue", 22), Font::named("Helvetica Neue", 14)};
  if (product == 10) {
    return {Font::named("Helvetica Neue", 22), Font::named("Helvetica Neue", 13)};
  }
  return {Font::named("Helvetica Neue Bold", 28), Font::named("Helvetica Neue", 16)};
}

// A label's frame that fits its text on one line, centred in `width` with its origin at `y`; no
// wider than `width`, where a longer text shrinks to fit.
Rect centredOneLine(const os::ui::Label& label, double width, double y) {
  const Rect text = TextStyle::calcuTextBounds(label.stringValue(), label.font());
  const double labelWidth = std::min(width, text.width + 2 * os::ui::Label::kHorizontalInset);
  return {(width - labelWidth) / 2, y, labelWidth, text.height};
}

std::shared_ptr<os::ui::Label> makeLabel(const Rect& frame) {
  auto label = std::make_shared<os::ui::Label>(frame);
  label->setTextColor(Color::white());
  TextStyle::fitToFrame(*label);
  return label;
}

}  // namespace

std::shared_ptr<TSRMainViewController> TSRMainViewController::create(
    std::weak_ptr<TSRMainViewDelegate> delegate) {
  auto controller = std::make_shared<TSRMainViewController>(Private{}, std::move(delegate));
  controller->loadView();
  controller->awakeFromNib();
  return controller;
}

TSRMainViewController::TSRMainViewController(Private, std::weak_ptr<TSRMainViewDelegate> delegate)
    : delegate_(std::move(delegate)) {}

void TSRMainViewController::loadView() {
  OS_CHECK_ON_MAIN();
  view_ = std::make_shared<os::ui::View>(Rect{0, 0, kViewWidth, kViewHeight});
  topCustomView_ = std::make_shared<TSRWhiteView>(layout::kTopArea);
  bottomCustomView_ = std::make_shared<TSRWhiteView>(layout::kBottomArea);

  topIconImageView_ = std::make_shared<TSRImageView>(layout::kPicture);
  topTitleLabel_ = makeLabel(layout::kTitle);
  topIconLabel_ = makeLabel(layout::kIconMark);
  topPromptLabel_ = makeLabel(layout::kPrompt);
  topSuffexLabel_ = makeLabel(layout::kSuffix);
  for (const auto& part : std::initializer_list<std::shared_ptr<os::ui::View>>{
           topIconImageView_, topTitleLabel_, topIconLabel_, topPromptLabel_, topSuffexLabel_}) {
    topCustomView_->addSubview(part);
  }

  installBtn_ = std::make_shared<TSRGridientButton>(layout::kInstallButton);
  installBtn_->setIdentifier(kInstallButtonIdentifier);
  bottomCustomView_->addSubview(installBtn_);

  agreementLabelView_ = std::make_shared<os::ui::View>(layout::kAgreementRow);
  agreementCheckBtn_ = std::make_shared<os::ui::Button>(layout::kAgreementCheckBox);
  agreementCheckBtn_->setButtonType(os::ui::Button::Type::Switch);
  agreementCheckBtn_->setIdentifier(kAgreementCheckBoxIdentifier);
  agreementScrollView_ = std::make_shared<os::ui::ScrollView>(layout::kAgreementText);
  agreementScrollView_->setHasVerticalScroller(false);
  agreementClickText_ = std::make_shared<TSRCanClickText>(layout::kAgreementText);
  agreementClickText_->setIdentifier(kAgreementTextIdentifier);
  agreementScrollView_->setDocumentView(agreementClickText_);
  agreementLabelView_->addSubview(agreementCheckBtn_);
  agreementLabelView_->addSubview(agreementScrollView_);
  bottomCustomView_->addSubview(agreementLabelView_);
}

void TSRMainViewController::awakeFromNib() {
  alertViewController_ = TSRAlertViewController::create();
  const int32_t product = TSRSoftWareInfo::singleton().installProduct();

  topTitleLabel_->setFont(os::ui::Font::named("Helvetica Neue", 30));
  topIconLabel_->setFont(os::ui::Font::named("Helvetica Neue", 12));
  topIconLabel_->setStringValue("®");
  topPromptLabel_->setFont(os::ui::Font::named("Helvetica Neue", 14));
  if (hasLightUpperArea(product)) {
    // White would vanish into the light grey upper area: the texts read dark there, as they do
    // on the other products' light upper areas.
    topTitleLabel_->setTextColor(Color::black());
    topIconLabel_->setTextColor(Color::black());
    topPromptLabel_->setTextColor(rgb(101, 101, 101));
    topSuffexLabel_->setTextColor(rgb(101, 101, 101));
  }
  installBtn_->setFrameOrigin({installBtn_->frame().x, product == 1 ? 52.0 : 42.0});
  agreementLabelView_->setHidden(!hasAgreementRow(product));

  const FirstScreenTexts texts = firstScreenTexts(product);
  if (hasTavinorUpperArea(product)) {
    configTavinorView(product);
  } else {
    // The other products keep the standard upper area; the Brevalo family's placement serves
    // them all.
    topCustomView_->setBackgroundColor(rgb(247, 247, 247));
    topCustomView_->setFrameOrigin({0, 138});
    view_->addSubview(topCustomView_);
    view_->addSubview(bottomCustomView_);
    auto shift = [](os::ui::View& part, double dx) {
      part.setFrameOrigin({part.frame().x + dx, part.frame().y + layout::kShiftY});
    };
    shift(*topTitleLabel_, layout::kTitleShiftX);
    shift(*topPromptLabel_, layout::kTitleShiftX);

    if (*texts.titleKey) {
      topTitleLabel_->setStringValue(localized(texts.titleKey));
    } else {
      topTitleLabel_->setHidden(true);
      topIconLabel_->setHidden(true);
    }
    topPromptLabel_->setStringValue(localized(texts.promptKey));
    topIconImageView_->setImage(os::ui::Image::named(texts.picture));
    if (*texts.suffixKey) {
      topSuffexLabel_->setStringValue(localized(texts.suffixKey));
    } else {
      topSuffexLabel_->setHidden(true);
    }
  }
  if (product == 14 || product == 15) {
    // Their home picture is the upper area's backdrop, under the white name and slogan.
    topIconImageView_->setFrame(topCustomView_->bounds());
    topIconImageView_->setImageScaling(os::ui::ImageView::Scaling::AxesIndependently);
  }
  if (product == 15) topPromptLabel_->setFont(os::ui::Font::named("Helvetica Neue", 16));
  if (product == 14) {
    topTitleLabel_->setFont(os::ui::Font::named("Helvetica Neue Bold", 30));
    bottomCustomView_->setBackgroundColor(hex(0x29264b));
  }
  // The mark follows the name as it is finally laid out.
  TextStyle::placeMark(*topIconLabel_, *topTitleLabel_);
  if (hasAgreementRow(product)) configAgreementLabel();

  const InstallButtonLook look = installButtonLook(product);
  installBtn_->setIsLeftRightGridient(true, look.normalLeft, look.normalRight, look.enterLeft,
                                      look.enterRight, look.downLeft, look.downRight,
                                      look.forbiddenLeft, look.forbiddenRight);
  const Color grey = rgb(179, 179, 179);
  if (look.border) {
    installBtn_->setButtonBorder(true, look.border, look.border, look.border, grey, 2.0);
    installBtn_->setButtonTitle(localized("Install_Btn_Name"), look.border, look.border,
                                look.border, grey, look.titleSize, false);
  } else {
    installBtn_->setButtonTitle(localized("Install_Btn_Name"), Color::white(), Color::white(),
                                Color::white(), Color::white(), look.titleSize, false);
  }
  installBtn_->setTag(kInstallButtonTag);
  installBtn_->setAction([weak = weak_from_this()](os::ui::Control& sender) {
    if (auto screen = weak.lock()) screen->installApp(sender);
  });
  installBtn_->setNeedsDisplay();
}

void TSRMainViewController::configTavinorView(int32_t product) {
  tavinorView_ = std::make_shared<TSRWhiteView>(layout::kTavinorView);
  tavinorImageView_ = std::make_shared<TSRImageView>(layout::kTavinorPicture);
  tavinorImage1_ = std::make_shared<TSRImageView>(layout::kTavinorLogo);
  tavinorTitleLabel_ = std::make_shared<os::ui::Label>(layout::kTavinorTitle);
  tavinorPromptLabel_ = std::make_shared<os::ui::Label>(layout::kTavinorPrompt);
  TextStyle::fitToFrame(*tavinorTitleLabel_);
  TextStyle::fitToFrame(*tavinorPromptLabel_);
  for (const auto& part : std::initializer_list<std::shared_ptr<os::ui::View>>{
           tavinorImageView_, tavinorImage1_, tavinorTitleLabel_, tavinorPromptLabel_}) {
    tavinorView_->addSubview(part);
  }

  const FirstScreenTexts texts = firstScreenTexts(product);
  const TavinorFonts fonts = tavinorFonts(product);
  tavinorTitleLabel_->setTextColor(Color::black());
  tavinorTitleLabel_->setFont(fonts.title);
  tavinorTitleLabel_->setAlignment(os::ui::TextAlignment::Center);
  tavinorTitleLabel_->setStringValue(localized(texts.titleKey));
  tavinorPromptLabel_->setTextColor(rgb(101, 101, 101));
  tavinorPromptLabel_->setFont(fonts.prompt);
  tavinorPromptLabel_->setAlignment(os::ui::TextAlignment::Center);
  tavinorPromptLabel_->setStringValue(localized(texts.promptKey));
  tavinorImageView_->setImage(os::ui::Image::named(texts.picture));
  if (product == 13) {
    tavinorImageView_->setWantsLayer(true);
    tavinorImageView_->layer()->setCornerRadius(8.0);
  }
  if (product >= 11) tavinorImage1_->setImage(os::ui::Image::named("logo"));
  if (product == 9) {
    const double width = tavinorView_->frame().width;
    const Rect title = centredOneLine(*tavinorTitleLabel_, width, layout::kCentredTitleY);
    tavinorTitleLabel_->setFrame(title);
    tavinorPromptLabel_->setFrame(centredOneLine(
        *tavinorPromptLabel_, width, title.y - title.height - layout::kCentredPromptGap));
  }

  view_->addSubview(tavinorView_);
  view_->addSubview(bottomCustomView_);
  bottomCustomView_->setBackgroundColor(Color::clear());
}

os::ui::AttributedString TSRMainViewController::setSingleTextAttributedString(
    const std::string& text, const os::ui::Font& font, os::ui::Color color) {
  os::ui::TextAttributes attributes;
  attributes.backgroundColor = Color::clear();
  attributes.foregroundColor = color;
  attributes.font = font;
  return os::ui::AttributedString(text, attributes);
}

void TSRMainViewController::configAgreementLabel() {
  const int32_t product = TSRSoftWareInfo::singleton().installProduct();
  const std::string accept = localized("License_Agreement_Accept");
  const os::ui::Font font = os::ui::Font::named("Helvetica Neue", kAgreementFontSize);
  const AgreementColors colors = agreementColors(product);
  agreementClickText_->setNormalString(accept, accept, "", "", colors.normal, colors.link,
                                       colors.enter, colors.down, font);
  if (product == 15) {
    agreementCheckBtn_->setImage(os::ui::Image::named("uncheckbox"));
    agreementCheckBtn_->setAlternateImage(os::ui::Image::named("checkbox"));
  }
  agreementClickText_->setAlignment(os::ui::TextAlignment::Left);
  agreementClickText_->setTitleStyle();
  agreementClickText_->setDelegate(
      std::static_pointer_cast<os::ui::TextViewDelegate>(shared_from_this()));
  agreementClickText_->setSelectable(true);

  // Checkbox and text centred together in the row, the text 10 points right of the box.
  const double textWidth = TextStyle::calcuTextBounds(accept, font).width;
  const double rowWidth = agreementLabelView_->frame().width;
  const double checkX =
      std::ceil((rowWidth - kCheckBoxWidth - kCheckBoxToTextSpace - textWidth) / 2);
  agreementCheckBtn_->setFrameOrigin({checkX, agreementCheckBtn_->frame().y});
  const double textX =
      checkX + kCheckBoxWidth + kCheckBoxToTextSpace - agreementClickText_->lineFragmentPadding();
  const Rect scroll = agreementScrollView_->frame();
  agreementScrollView_->setFrame({textX, scroll.y, textWidth + 20, scroll.height});
  agreementClickText_->setFrame({0, 0, textWidth + 20, scroll.height});
}

bool TSRMainViewController::textViewClickedOnLink(os::ui::TextView&, const std::string& link,
                                                  size_t) {
  if (link == localized("License_Agreement_Accept")) showAgreementView();
  return true;
}

void TSRMainViewController::showAgreementView() {
  auto licence = TSRLicenseAgreementController::create();
  licence->setAgreementCheckBtn(agreementCheckBtn_);
  auto& licenceWindow = *licence->window();
  // The screen's own window, which stays the main window while the licence shows over it.
  if (os::ui::Window* main = view_->window()) {
    const Rect mainFrame = main->frame();
    const Rect ownFrame = licenceWindow.frame();
    licenceWindow.setFrameOrigin({mainFrame.x + (mainFrame.width - ownFrame.width) / 2,
                                  mainFrame.y + (mainFrame.height - ownFrame.height) / 2});
    main->addChildWindow(licenceWindow);
  }
  os::ui::Application::shared().runModalForWindow(licenceWindow);
}

int32_t TSRMainViewController::showAlertText(const std::string& text,
                                             const std::string& cancelTitle,
                                             const std::string& okTitle) {
  return alertViewController_->showAlertTextInFreeHost(view_->window(), text, cancelTitle, okTitle);
}

void TSRMainViewController::installApp(os::ui::Control& sender) {
  OS_CHECK_ON_MAIN();
  tag_ = sender.tag();
  const int32_t product = TSRSoftWareInfo::singleton().installProduct();
  const TSRProduct& row = productForNumber(product);
  if (product == 14 && agreementCheckBtn_->state() != os::ui::Button::kOn) {
    showAgreementView();
    return;
  }
  // Products without a bundle of their own look at the Applications folder itself.
  const std::string bundleName(row.bundleName);
  const std::string nameKey = bundleName.empty() ? "Product_KV_iOS_Name" : std::string(row.nameKey);
  const std::filesystem::path installed = os::paths::systemApplications() / bundleName;

  std::error_code ignored;
  if (std::filesystem::exists(installed, ignored)) {
    const std::string question =
        os::formatObjects(localized("Install_App_Prompt_Msg"), {localized(nameKey)});
    if (showAlertText(question, localized("Button_Cancel"), localized("Button_Replace")) == 0) {
      return;
    }
    // Only the first running copy of the bundle is ended, and it is not waited for beyond
    // the kill.
    const std::vector<pid_t> running = os::workspace::processesOfBundle(installed);
    os::Error error;
    if (!running.empty() && !os::workspace::terminate(running.front(), 0, &error)) {
      os::log::console("could not end the running copy: " + error.description);
    }
  }
  if (auto delegate = delegate_.lock()) delegate->switchView(tag_);
}
