#include "installer/screens/licence_window.h"

#include <filesystem>

#include "installer/app/software_info.h"
#include "installer/app/temp_helper.h"
#include "installer/widgets/text_style.h"
#include "installer/widgets/widget_color.h"
#include "os/bundle/bundle.h"
#include "os/files/files.h"
#include "os/ui/application.h"
#include "os/ui/scroll_view.h"
#include "os/ui/window_button.h"

using os::ui::Color;
using os::ui::Rect;

namespace {

// The window as its interface file lays it out: the content area, then the views in it (points
// from its bottom-left corner). The title bar is drawn transparent over the content's top.
const struct {
  Rect content{0, 0, 480, 400};
  Rect title{20, 352, 440, 24};
  Rect border{20, 60, 440, 280};
  Rect button{320, 16, 140, 30};
} kLicenceLayout;

// The product with the dark window.
constexpr int32_t kDarkProduct = 14;

}  // namespace

std::shared_ptr<TSRLicenseAgreementController> TSRLicenseAgreementController::create() {
  auto controller = std::make_shared<TSRLicenseAgreementController>(Private{});
  controller->windowDidLoad();
  return controller;
}

TSRLicenseAgreementController::TSRLicenseAgreementController(Private)
    : window_(std::make_shared<os::ui::Window>(
          kLicenceLayout.content, os::ui::Window::kTitled | os::ui::Window::kClosable)),
      agreementTitle_(std::make_shared<os::ui::Label>(kLicenceLayout.title)),
      agreementTextView_(std::make_shared<os::ui::TextView>()),
      agreementButton_(std::make_shared<os::ui::Button>(kLicenceLayout.button)),
      borderView_(std::make_shared<os::ui::View>(kLicenceLayout.border)) {
  auto content = window_->contentView();
  agreementTitle_->setFont(os::ui::Font::named("Helvetica Neue Bold", 16));
  agreementTitle_->setAlignment(os::ui::TextAlignment::Center);
  TextStyle::fitToFrame(*agreementTitle_);
  content->addSubview(agreementTitle_);
  // The text scrolls inside the frame, 1 point in from its border.
  auto scroll = std::make_shared<os::ui::ScrollView>(borderView_->bounds().insetBy(1, 1));
  agreementTextView_->setFrame({{0, 0}, scroll->contentSize()});
  agreementTextView_->setVerticallyResizable(true);
  agreementTextView_->setMinSize(scroll->contentSize());
  agreementTextView_->setDrawsBackground(false);
  agreementTextView_->setTextContainerInset({5, 5});
  scroll->setDocumentView(agreementTextView_);
  borderView_->addSubview(scroll);
  content->addSubview(borderView_);
  agreementButton_->setIdentifier(kAgreementButtonIdentifier);
  content->addSubview(agreementButton_);
}

void TSRLicenseAgreementController::windowDidLoad() {
  window_->setTitle("");
  window_->setTitlebarAppearsTransparent(true);
  window_->setStyleMask(window_->styleMask() | os::ui::Window::kFullSizeContentView);

  bool dark = TSRSoftWareInfo::singleton().installProduct() == kDarkProduct;
  borderView_->setWantsLayer(true);
  borderView_->layer()->setBorderWidth(1);
  if (dark) {
    auto content = window_->contentView();
    content->setWantsLayer(true);
    content->layer()->setBackgroundColor(WidgetColor::hex(0x29264B));
    borderView_->layer()->setBorderColor(Color::white().withAlpha(0.2));
  } else {
    borderView_->layer()->setBorderColor(WidgetColor::rgb(127.5, 127.5, 127.5));
  }
  const Color textColor = dark ? WidgetColor::hex(0xE0E0E0) : Color::black();
  agreementTitle_->setStringValue("Tessaro EULA");
  agreementTitle_->setTextColor(textColor);
  agreementTextView_->setAttributedString(
      TextStyle::setTextWordStyle(agreementString(), os::ui::Font::named("Helvetica Neue", 12), 0,
                                  os::ui::TextAlignment::Left, textColor));
  agreementButton_->setTitle(TempHelper::getDefaultsLocalizableLanguages("License_Agreement_Yes"));
  std::weak_ptr<TSRLicenseAgreementController> weak = weak_from_this();
  agreementButton_->setAction([weak](os::ui::Control&) {
    if (auto controller = weak.lock()) controller->agreementKnow();
  });
  window_->standardWindowButton(os::ui::Window::ButtonKind::Zoom)->setHidden(true);
  window_->standardWindowButton(os::ui::Window::ButtonKind::Miniaturize)->setHidden(true);
  window_->setDelegate(weak);
}

std::string TSRLicenseAgreementController::agreementString() const {
  return os::files::readFile(resourcePathOfAppDir("EULA", "txt"), nullptr).value_or("");
}

std::string TSRLicenseAgreementController::resourcePathOfAppDir(const std::string& name,
                                                                const std::string& type) const {
  std::filesystem::path path =
      std::filesystem::path(TempHelper::getAppSupportPath()) / (name + "." + type);
  if (!os::files::exists(path)) {
    if (auto resource = os::Bundle::main().pathForResource(name, type)) {
      os::files::copyItem(*resource, path, nullptr);
    }
  }
  return path.string();
}

void TSRLicenseAgreementController::agreementKnow() {
  if (auto checkBox = agreementCheckBtn_.lock()) checkBox->setState(os::ui::Button::kOn);
  closeWindow();
}

void TSRLicenseAgreementController::closeWindow() { window_->close(); }

void TSRLicenseAgreementController::windowWillClose(os::ui::Window&) {
  os::ui::Application::shared().stopModal();
}
