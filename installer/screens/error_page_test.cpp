#include "installer/screens/error_page.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "installer/app/installer_test_environment.h"
#include "installer/widgets/no_title_bar_window.h"
#include "installer/widgets/widget_test_util.h"
#include "os/dispatch/runloop.h"
#include "os/ui/test_fixture.h"
#include "testsupport/files.h"

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
  explicit ErrorPageTest(int32_t product = 7)
      : environment_({.installProduct = os::Value(product)}), product_(product) {}

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
                   "resources.tessaro.example:443:127.0.0.1:1,download.tessaro.example:443:127.0."
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

  bool pageShown() { return page_->errorViewForProduct(product_)->superview() != nullptr; }

  // Sends the engine's report and lets the main queue show the page.
  void failWith(const std::string& display, DownloadErrorEnum number) {
    screen_controller_->downErrorWithFileName("Brevalo.zip", display, "", number);
    ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return pageShown(); }, 10));
  }

  std::string openedText() { return testsupport::readFile(opened_); }

  InstallerTestEnvironment environment_;
  const int32_t product_;
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

// The same page for each form of it: the common one (7), the tavinor one with its 14 and
// 16 point prompts (8 and 11) and product 15's strip.
class ErrorPageFormTest : public ErrorPageTest, public ::testing::WithParamInterface<int32_t> {
 protected:
  ErrorPageFormTest() : ErrorPageTest(GetParam()) {}

  // The failure text as the page's form shows it.
  struct Shown {
    std::string text;
    os::ui::Size used;  // what the laid-out text takes
    os::ui::Size area;
    bool truncated = false;
    bool elidedInTheMiddle = false;
    double fontSize = 0;
  };
  Shown shown() const {
    if (product_ == 15) {
      const TSRCanClickText& tip = *page_->lxoErrorTip();
      const os::ui::TextLayout& layout = tip.textLayout();
      const auto paragraph = tip.textStorage().attributesAt(0).paragraphStyle;
      return {tip.normalString(),
              {layout.size().width, layout.size().height + 2 * tip.textContainerInset().height},
              tip.frame().size(),
              layout.isTruncated(),
              paragraph && paragraph->lineBreakMode == os::ui::LineBreakMode::TruncatingMiddle,
              tip.textStorage()
                  .attributesAt(0)
                  .font.value_or(os::ui::Font::systemFont(12))
                  .pointSize()};
    }
    const os::ui::Label& label =
        product_ == 7 ? *page_->errorPromptLabel() : *page_->tavinorErrorPromptLabel();
    return {label.stringValue(),
            label.textLayout().size(),
            label.frame().size(),
            label.textLayout().isTruncated(),
            label.lineBreakMode() == os::ui::LineBreakMode::TruncatingMiddle,
            label.font().pointSize()};
  }
};

// A failure text longer than the prompt's area is fitted into it, never clipped at the bottom:
// wrapped and shrunk down to 10 points, else one line with the middle of the path elided.
TEST_P(ErrorPageFormTest, ALongFailureTextFitsItsArea) {
  std::string path = "/home/someone";
  for (int folder = 0; folder < 30; ++folder)
    path += "/a-rather-long-folder-" + std::to_string(folder);
  std::string sentence;
  for (int word = 0; word < 12; ++word) sentence += "The product could not be installed. ";
  struct Case {
    std::string text;
    bool elided;
  };
  const Case cases[] = {
      {"The network connection was lost.", false},
      {"Brevalo could not be installed into /Applications, please try again later.", false},
      // Too long even at 10 points for every form.
      {sentence, true},
      {"Brevalo could not be installed into " + path + "/Brevalo.app", true},
  };
  double ownSize = 0;  // the size of the short text the page starts with
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    failWith(c.text, kDownloadErrorDownloadFailed);
    // The page is already up from the case before: wait for the new text itself.
    ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return shown().text == c.text; }, 10));
    const Shown fitted = shown();
    EXPECT_LE(fitted.used.height, fitted.area.height);
    EXPECT_LE(fitted.used.width, fitted.area.width);
    EXPECT_GE(fitted.fontSize, 10);
    EXPECT_EQ(fitted.elidedInTheMiddle, c.elided);
    EXPECT_EQ(fitted.truncated, c.elided);
    if (&c == &cases[0]) ownSize = fitted.fontSize;
  }
  // A short text keeps the page's own size, whatever came before.
  failWith(cases[0].text, kDownloadErrorDownloadFailed);
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return shown().text == cases[0].text; }, 10));
  EXPECT_EQ(shown().fontSize, ownSize);
  EXPECT_FALSE(shown().truncated);
}

INSTANTIATE_TEST_SUITE_P(Forms, ErrorPageFormTest, ::testing::Values(7, 8, 11, 15),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                           return "product" + std::to_string(info.param);
                         });

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
