#include "installer/screens/error_page.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "installer/app/installer_test_environment.h"
#include "installer/widgets/no_title_bar_window.h"
#include "installer/widgets/widget_test_util.h"
#include "os/runloop.h"
#include "os/ui/test_fixture.h"

namespace {

namespace fs = std::filesystem;
using os::ui::testing::rgb;

class NoDelegate : public TSRInstallProgressDelegate {
 public:
  void setIsInstall(bool) override {}
  void closeWindow() override {}
};

// Brevalo's progress screen in the installer's window with the error page attached; the
// maker's hosts lead to a closed port on loopback, so every try fails quickly.
class ErrorPageTest : public os::ui::testing::HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    environment_.addStrings("en", {{"Product_BV_Name", "Brevalo"},
                                   {"Install_Failed_Name", "Installation failed"},
                                   {"Install_TryAgain_Btn_Name", "Try Again"},
                                   {"Install_Download_Prepare", "Preparing"},
                                   {"Download_Error_msg", "%@ could not be installed. %d%%"},
                                   {"Download_Error_msg_tip", "Contact us"},
                                   {"Contact_Us_Url", "https://www.tessaro.example/contact"}});
    auto& sandbox = environment_.sandbox();
    sandbox.setEnv("TESSARO_CONNECT_TO",
                   "resources.tessaro.example:443:127.0.0.1:1,download.tessaro.example:80:127.0."
                   "0.1:1");
    opened_ = sandbox.root() / "opened";
    fs::path opener = sandbox.root() / "opener";
    std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"" << opened_.string() << "\"\n";
    fs::permissions(opener, fs::perms(0755));
    sandbox.setEnv("TESSARO_OPEN_COMMAND", opener.string());

    window_ = TSRNoTitleBarWindow::create({100, 100, 600, 400});
    screen_controller_ = TSRInstallProgressViewController::create(delegate_, 2);
    screen_controller_->setErrorPage(
        [page = page_](TSRInstallProgressViewController& s) { page->configErrorView(s); });
    window_->contentView()->addSubview(screen_controller_->view());
    window_->makeKeyAndOrderFront();
  }
  void TearDown() override {
    screen_->mouseExit(*window_);
    screen_controller_.reset();
    window_.reset();
    HeadlessTest::TearDown();
  }

  bool pageShown() { return page_->errorCustomView()->superview() != nullptr; }

  // Sends the engine's report and lets the main queue show the page.
  void failWith(const std::string& display, DownloadErrorEnum number) {
    screen_controller_->downErrorWithFileName("Brevalo.zip", display, "", number);
    ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return pageShown(); }, 10));
  }

  std::string openedText() {
    std::ifstream in(opened_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  InstallerTestEnvironment environment_;
  fs::path opened_;
  std::shared_ptr<NoDelegate> delegate_ = std::make_shared<NoDelegate>();
  std::shared_ptr<TSRErrorPage> page_ = TSRErrorPage::create();
  std::shared_ptr<TSRNoTitleBarWindow> window_;
  std::shared_ptr<TSRInstallProgressViewController> screen_controller_;
};

TEST_F(ErrorPageTest, NetworkFailureShowsItsTextInPlaceOfTheProgressView) {
  auto group = screen_controller_->layout().groupView();
  failWith("The network connection was lost.", kDownloadErrorDownloadFailed);
  EXPECT_EQ(page_->errorCustomView()->superview(), screen_controller_->view().get());
  EXPECT_EQ(group->superview(), nullptr);
  EXPECT_EQ(page_->errorTitleLabel()->stringValue(), "Installation failed");
  EXPECT_FALSE(page_->errorPromptLabel()->isHidden());
  EXPECT_EQ(page_->errorPromptLabel()->stringValue(), "The network connection was lost.");
  EXPECT_TRUE(page_->textScrollView()->isHidden());
  EXPECT_EQ(page_->errorTitleLabel()->frame().origin(), (os::ui::Point{181, 263}));

  const auto& tryAgain = *page_->errorTryAgainBtn();
  EXPECT_EQ(tryAgain.tag(), TSRErrorPage::kTryAgainButtonTag);
  EXPECT_EQ(tryAgain.buttonTitle(), "Try Again");
  // An orange border and title on white.
  auto image = window_->renderImage(1);
  const double height = window_->frame().height;
  const os::ui::Rect button = tryAgain.frame();
  EXPECT_PIXEL_NEAR(pixelAt(*image, {button.x, button.midY()}, height), rgb(255, 174, 30), 12);
  EXPECT_PIXEL_NEAR(widget_testing::mostDistinctPixel(
                        *image, {button.x + 20, button.y + 10, button.width - 40, 28}, height,
                        rgb(255, 255, 255)),
                    rgb(255, 174, 30), 12);
}

// A failure text longer than the prompt's area is fitted into it, never clipped at the bottom.
TEST_F(ErrorPageTest, ALongFailureTextFitsItsArea) {
  std::string path = "/home/someone";
  for (int folder = 0; folder < 30; ++folder)
    path += "/a-rather-long-folder-" + std::to_string(folder);
  std::string sentence;
  for (int word = 0; word < 12; ++word) sentence += "The product could not be installed. ";
  const std::string texts[] = {
      "The network connection was lost.",
      "Brevalo could not be installed into /Applications, please try again later.",
      sentence,
      "Brevalo could not be installed into " + path + "/Brevalo.app",
  };
  const auto& label = page_->errorPromptLabel();
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    failWith(text, kDownloadErrorDownloadFailed);
    // The page is already up from the case before: wait for the new text itself.
    ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return label->stringValue() == text; }, 10));
    EXPECT_EQ(label->frame().size(), (os::ui::Size{390, 40}));
    EXPECT_LE(label->textLayout().size().height, label->frame().height);
    EXPECT_LE(label->textLayout().size().width, label->frame().width);
  }
  // A short text keeps the page's own size, whatever came before.
  failWith(texts[0], kDownloadErrorDownloadFailed);
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return label->stringValue() == texts[0]; }, 10));
  EXPECT_EQ(label->font().pointSize(), 14);
  EXPECT_FALSE(label->textLayout().isTruncated());
}

TEST_F(ErrorPageTest, GenericMessageNamesTheProductAndItsLinkOpensTheContactAddress) {
  failWith("", kDownloadErrorDownloadFailed);
  EXPECT_TRUE(page_->errorPromptLabel()->isHidden());
  EXPECT_FALSE(page_->textScrollView()->isHidden());
  // Only %@ is filled: the localised text is never a format of its own.
  EXPECT_EQ(page_->errorTextView()->normalString(), "Brevalo could not be installed. %d%");

  auto& text = *page_->errorTextView();
  EXPECT_TRUE(page_->textViewClickedOnLink(text, "elsewhere", 0));
  EXPECT_FALSE(fs::exists(opened_));
  EXPECT_TRUE(page_->textViewClickedOnLink(text, "Contact us", 0));
  EXPECT_EQ(openedText(), "https://www.tessaro.example/contact\n");
}

TEST_F(ErrorPageTest, TryAgainRestoresTheProgressViewAndStartsANewTry) {
  failWith("offline", kDownloadErrorDownloadFailed);
  auto group = screen_controller_->layout().groupView();
  screen_controller_->layout().percentLabel()->setStringValue("37.00%");
  ASSERT_TRUE(screen_->clickView(*window_, TSRErrorPage::kTryAgainButtonIdentifier));
  EXPECT_FALSE(pageShown());
  EXPECT_EQ(group->superview(), screen_controller_->view().get());
  EXPECT_EQ(screen_controller_->layout().percentLabel()->stringValue(), "");
  EXPECT_EQ(screen_controller_->layout().downloadLabel()->stringValue(), "Preparing");
  EXPECT_EQ(screen_controller_->layout().progressBar()->progress(), 0);
  // The retry reaches the closed port too and ends on the page again.
  EXPECT_TRUE(os::RunLoop::main().runUntil([&] { return pageShown(); }, 30));
}

}  // namespace
