#include "installer/screens/main_view_controller.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "installer/app/installer_test_environment.h"
#include "installer/screens/licence_window.h"
#include "installer/widgets/alert_super_view.h"
#include "installer/widgets/no_title_bar_window.h"
#include "installer/widgets/text_style.h"
#include "installer/widgets/widget_test_util.h"
#include "os/dispatch/dispatch.h"
#include "os/dispatch/runloop.h"
#include "os/files/paths.h"
#include "os/ui/test_fixture.h"
#include "os/workspace/workspace.h"
#include "testsupport/child_process.h"

namespace {

namespace fs = std::filesystem;
using os::ui::Rect;
using os::ui::testing::rgb;

class RecordingDelegate : public TSRMainViewDelegate {
 public:
  void switchView(int32_t tag) override { tags.push_back(tag); }
  std::vector<int32_t> tags;
};

// The first screen of a product in the installer's window, over a free question-panel host,
// as the application shows it.
class MainViewControllerTest : public os::ui::testing::HeadlessTest {
 protected:
  void show(int32_t product) {
    environment_ = std::make_unique<InstallerTestEnvironment>(
        InstallerTestOptions{.installProduct = os::Value(product)});
    environment_->addStrings("en", {{"Product_BV_Name", "Brevalo"},
                                    {"Product_Prompt", "Back up what matters"},
                                    {"Install_Btn_Name", "Install"},
                                    {"Install_App_Prompt_Msg", "%@ is already installed. Replace?"},
                                    {"Button_Cancel", "Cancel"},
                                    {"Button_Replace", "Replace"},
                                    {"License_Agreement_Accept", "I accept the licence"}});
    window_ = TSRNoTitleBarWindow::create({100, 100, 600, 400});
    screen = TSRMainViewController::create(delegate_);
    window_->contentView()->addSubview(screen->view());
    // The question panel's host lies hidden over the content until a question needs it.
    auto host = std::make_shared<TSRAlertSuperView>(window_->contentView()->bounds());
    host->setHidden(true);
    window_->contentView()->addSubview(host);
    window_->makeKeyAndOrderFront();
  }
  void TearDown() override {
    if (window_) screen_->mouseExit(*window_);
    screen.reset();
    window_.reset();
    HeadlessTest::TearDown();
    environment_.reset();
  }

  // Clicks Install; `duringQuestion` runs inside the question's nested loop, if one opens.
  void clickInstall(std::function<void()> duringQuestion = [] {}) {
    os::DispatchQueue::main()->async(std::move(duringQuestion));
    ASSERT_TRUE(screen_->clickView(*window_, TSRMainViewController::kInstallButtonIdentifier));
  }

  void clickInQuestion(const char* identifier) {
    // The question's panel slides down on the run loop's clock before it takes clicks.
    EXPECT_TRUE(runUntilAtRest(*window_, identifier));
    EXPECT_TRUE(screen_->clickView(*window_, identifier));
  }

  // Brevalo.app in the sandbox's Applications folder, whose executable is a copy of sleep.
  fs::path installBrevalo() {
    fs::path bundle = os::paths::systemApplications() / "Brevalo.app";
    fs::create_directories(bundle / "Contents/MacOS");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleExecutable</key><string>Brevalo</string></dict></plist>\n";
    fs::copy_file("/bin/sleep", bundle / "Contents/MacOS/Brevalo");
    return bundle;
  }

  pid_t run(const fs::path& bundle) {
    children_.push_back(std::make_unique<testsupport::Child>(
        std::vector<std::string>{(bundle / "Contents/MacOS/Brevalo").string(), "60"}));
    const pid_t pid = children_.back()->pid();
    EXPECT_TRUE(children_.back()->started());
    os::RunLoop::main().runUntil([&] { return !os::workspace::processesOfBundle(bundle).empty(); },
                                 10);
    return pid;
  }

  // Ends and collects what run() started.
  void reapChildren() { children_.clear(); }

  std::unique_ptr<InstallerTestEnvironment> environment_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::shared_ptr<TSRNoTitleBarWindow> window_;
  std::shared_ptr<TSRMainViewController> screen;
  std::vector<std::unique_ptr<testsupport::Child>> children_;
};

TEST_F(MainViewControllerTest, BrevaloScreenShowsItsTextsAndABlueBorderedInstallButtonOnWhite) {
  show(7);
  EXPECT_EQ(screen->topTitleLabel()->stringValue(), "Brevalo");
  EXPECT_EQ(screen->topPromptLabel()->stringValue(), "Back up what matters");
  EXPECT_EQ(screen->topIconLabel()->stringValue(), "®");
  EXPECT_TRUE(screen->topSuffexLabel()->isHidden());
  EXPECT_TRUE(screen->agreementLabelView()->isHidden());
  EXPECT_EQ(screen->topCustomView()->frame(), (Rect{0, 138, 600, 262}));
  // The texts moved by (+10, −12) from their places in the layout table; the mark right after
  // the name, its top at the name's top.
  EXPECT_EQ(screen->topTitleLabel()->frame().origin(), (os::ui::Point{250, 130}));
  const double nameWidth = os::ui::measureText("Brevalo", screen->topTitleLabel()->font()).width;
  EXPECT_NEAR(screen->topIconLabel()->frame().x, 250 + 2 + nameWidth, 0.01);
  EXPECT_EQ(screen->topIconLabel()->frame().maxY(), screen->topTitleLabel()->frame().maxY());

  const auto& install = *screen->installBtn();
  EXPECT_EQ(install.frame(), (Rect{210, 42, 180, 50}));
  EXPECT_EQ(install.tag(), TSRMainViewController::kInstallButtonTag);
  EXPECT_EQ(install.buttonTitle(), "Install");

  auto image = window_->renderImage(1);
  const double height = window_->frame().height;
  // Border on the left edge, white inside and beside the button.
  EXPECT_PIXEL_NEAR(pixelAt(*image, {210, 67}, height), rgb(17, 127, 228), 12);
  EXPECT_PIXEL_NEAR(pixelAt(*image, {225, 50}, height), rgb(255, 255, 255), 2);
  EXPECT_PIXEL_NEAR(pixelAt(*image, {200, 67}, height), rgb(255, 255, 255), 2);
  // The title's strokes in the same blue.
  EXPECT_PIXEL_NEAR(
      widget_testing::mostDistinctPixel(*image, {250, 55, 100, 24}, height, rgb(255, 255, 255)),
      rgb(17, 127, 228), 12);
  // The upper area's light grey, and the product's name dark on it so that it can be read.
  EXPECT_PIXEL_NEAR(pixelAt(*image, {580, 380}, height), rgb(247, 247, 247), 2);
  Rect name =
      screen->topTitleLabel()->convertRectToView(screen->topTitleLabel()->bounds(), nullptr);
  EXPECT_PIXEL_NEAR(widget_testing::mostDistinctPixel(*image, name, height, rgb(247, 247, 247)),
                    rgb(0, 0, 0), 40);
}

TEST_F(MainViewControllerTest, InstallWithoutAnInstalledCopySwitchesAtOnce) {
  show(7);
  clickInstall();
  EXPECT_EQ(delegate_->tags, (std::vector<int32_t>{2}));
  EXPECT_EQ(screen->tag(), 2);
  EXPECT_EQ(window_->findViewByIdentifier(TSRAlertViewController::kPanelIdentifier), nullptr);
}

TEST_F(MainViewControllerTest, CancelKeepsTheRunningCopyAndReplaceEndsIt) {
  show(7);
  fs::path bundle = installBrevalo();
  pid_t pid = run(bundle);
  ASSERT_FALSE(os::workspace::processesOfBundle(bundle).empty());

  std::string asked;
  clickInstall([&] {
    asked = screen->alertViewController()->promptAlertTitle2()->stringValue();
    EXPECT_EQ(screen->alertViewController()->promptAlertOKBtn()->buttonTitle(), "Replace");
    EXPECT_EQ(screen->alertViewController()->promptAlertCancelBtn()->buttonTitle(), "Cancel");
    clickInQuestion(TSRAlertViewController::kCancelButtonIdentifier);
  });
  EXPECT_EQ(asked, "Brevalo is already installed. Replace?");
  EXPECT_TRUE(delegate_->tags.empty());
  EXPECT_TRUE(os::workspace::isRunning(pid));
  EXPECT_TRUE(fs::exists(bundle / "Contents/MacOS/Brevalo"));

  // The panel slides away and its emptied host no longer covers the screen: the Install
  // button takes a real click again.
  ASSERT_TRUE(os::RunLoop::main().runUntil(
      [&] { return !window_->findViewByIdentifier(TSRAlertViewController::kPanelIdentifier); },
      10));
  clickInstall([&] { clickInQuestion(TSRAlertViewController::kOKButtonIdentifier); });
  EXPECT_FALSE(os::workspace::isRunning(pid));
  EXPECT_EQ(delegate_->tags, (std::vector<int32_t>{2}));
  // Replacing the files is the progress screen's work.
  EXPECT_TRUE(fs::exists(bundle));
  reapChildren();
}

TEST_F(MainViewControllerTest, ReplaceEndsOnlyTheFirstRunningCopy) {
  show(7);
  fs::path bundle = installBrevalo();
  const pid_t one = run(bundle), two = run(bundle);
  ASSERT_TRUE(os::RunLoop::main().runUntil(
      [&] { return os::workspace::processesOfBundle(bundle).size() == 2; }, 10));
  clickInstall([&] { clickInQuestion(TSRAlertViewController::kOKButtonIdentifier); });
  EXPECT_EQ(delegate_->tags, (std::vector<int32_t>{2}));
  // The process list runs in the order of process numbers.
  EXPECT_FALSE(os::workspace::isRunning(std::min(one, two)));
  EXPECT_TRUE(os::workspace::isRunning(std::max(one, two)));
  reapChildren();
}

TEST_F(MainViewControllerTest, TavinorUpperAreaTakesEachProductsFontsAndProduct9Centres) {
  struct Case {
    int32_t product;
    const char* titleFont;
    double titleSize, promptSize;
  };
  const Case cases[] = {{8, "Helvetica Neue", 22, 14},
                        {9, "Helvetica Neue", 22, 14},
                        {10, "Helvetica Neue", 22, 13},
                        {11, "Helvetica Neue Bold", 28, 16},
                        {13, "Helvetica Neue Bold", 28, 16}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.product);
    show(c.product);
    const auto& title = *screen->tavinorTitleLabel();
    const auto& prompt = *screen->tavinorPromptLabel();
    EXPECT_EQ(title.font(), os::ui::Font::named(c.titleFont, c.titleSize));
    EXPECT_EQ(prompt.font(), os::ui::Font::named("Helvetica Neue", c.promptSize));
    EXPECT_EQ(screen->bottomCustomView()->backgroundColor(), os::ui::Color::clear());
    if (c.product == 13) {
      EXPECT_EQ(screen->tavinorImageView()->layer()->cornerRadius(), 8.0);
    }
    if (c.product == 9) {
      const double width = screen->tavinorView()->frame().width;
      EXPECT_DOUBLE_EQ(title.frame().midX(), width / 2);
      EXPECT_EQ(title.frame().y, 176);
      EXPECT_DOUBLE_EQ(prompt.frame().midX(), width / 2);
      EXPECT_DOUBLE_EQ(prompt.frame().y, 176 - title.frame().height - 10);
    }
    screen_->mouseExit(*window_);
    screen.reset();
    window_.reset();
  }
}

TEST(MainViewControllerTextTest, SingleTextAttributedStringCoversTheWholeText) {
  const os::ui::Font font = os::ui::Font::named("Helvetica Neue", 16);
  const os::ui::Color color = os::ui::testing::color255(112, 87, 234);
  os::ui::AttributedString text =
      TSRMainViewController::setSingleTextAttributedString("Cast your screen", font, color);
  ASSERT_EQ(text.runs().size(), 1u);
  EXPECT_EQ(text.runs()[0].range.length, text.length());
  EXPECT_EQ(text.runs()[0].attributes.font, font);
  EXPECT_EQ(text.runs()[0].attributes.foregroundColor, color);
  EXPECT_EQ(text.runs()[0].attributes.backgroundColor, os::ui::Color::clear());
}

TEST_F(MainViewControllerTest, WithoutAFreeHostTheQuestionAnswersCancel) {
  show(7);
  installBrevalo();
  // The only host already holds a view, so it is not free.
  for (const auto& view : window_->contentView()->subviews()) {
    if (dynamic_cast<TSRAlertSuperView*>(view.get())) {
      view->addSubview(std::make_shared<os::ui::View>());
    }
  }
  clickInstall();
  EXPECT_TRUE(delegate_->tags.empty());
}

TEST_F(MainViewControllerTest, AgreementRowCentresCheckBoxAndTextAndItsLinkOpensTheLicence) {
  show(1);
  ASSERT_FALSE(screen->agreementLabelView()->isHidden());
  EXPECT_EQ(screen->installBtn()->frame().y, 52);
  const auto& check = *screen->agreementCheckBtn();
  const double textWidth =
      TextStyle::calcuTextBounds("I accept the licence", os::ui::Font::named("Helvetica Neue", 14))
          .width;
  EXPECT_EQ(check.frame().x, std::ceil((600 - 18 - 10 - textWidth) / 2));
  EXPECT_DOUBLE_EQ(screen->agreementScrollView()->frame().width, textWidth + 20);

  // A click on the link opens the licence window centred over the installer's window; its
  // agreement button ticks the checkbox.
  bool opened = false;
  os::DispatchQueue::main()->async([&] {
    os::ui::Window* licence = os::ui::Application::shared().modalWindow();
    ASSERT_NE(licence, nullptr);
    opened = true;
    EXPECT_DOUBLE_EQ(licence->frame().midX(), window_->frame().midX());
    EXPECT_DOUBLE_EQ(licence->frame().midY(), window_->frame().midY());
    EXPECT_TRUE(
        screen_->clickView(*licence, TSRLicenseAgreementController::kAgreementButtonIdentifier));
  });
  EXPECT_TRUE(
      screen->textViewClickedOnLink(*screen->agreementClickText(), "I accept the licence", 0));
  EXPECT_TRUE(opened);
  EXPECT_EQ(check.state(), os::ui::Button::kOn);

  // Any other link is handled without opening anything.
  EXPECT_TRUE(screen->textViewClickedOnLink(*screen->agreementClickText(), "elsewhere", 0));
  EXPECT_EQ(os::ui::Application::shared().modalWindow(), nullptr);

  // Product 1 installs with the box ticked or not.
  screen->agreementCheckBtn()->setState(os::ui::Button::kOff);
  clickInstall();
  EXPECT_EQ(delegate_->tags, (std::vector<int32_t>{2}));
}

TEST_F(MainViewControllerTest, Product14InstallsOnlyWithTheAgreementTicked) {
  show(14);
  bool licenceOpened = false;
  os::DispatchQueue::main()->async([&] {
    os::ui::Window* licence = os::ui::Application::shared().modalWindow();
    ASSERT_NE(licence, nullptr);
    licenceOpened = true;
    licence->close();
  });
  ASSERT_TRUE(screen_->clickView(*window_, TSRMainViewController::kInstallButtonIdentifier));
  EXPECT_TRUE(licenceOpened);
  EXPECT_TRUE(delegate_->tags.empty());

  ASSERT_TRUE(screen_->clickView(*window_, TSRMainViewController::kAgreementCheckBoxIdentifier));
  EXPECT_EQ(screen->agreementCheckBtn()->state(), os::ui::Button::kOn);
  clickInstall();
  EXPECT_EQ(delegate_->tags, (std::vector<int32_t>{2}));
}

}  // namespace
