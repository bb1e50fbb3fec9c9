#include "installer/screens/licence_window.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "installer/app/installer_test_environment.h"
#include "installer/app/temp_helper.h"
#include "os/dispatch/dispatch.h"
#include "os/ui/test_fixture.h"
#include "os/ui/window_button.h"

namespace {

using os::ui::Button;

class LicenceWindowTest : public os::ui::testing::HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    environment_.addStrings("en", {{"License_Agreement_Yes", "I Agree"}});
    writeBundleAgreement("Licence, first edition.");
    checkBox_ = std::make_shared<Button>(os::ui::Rect{0, 0, 200, 18}, "I accept");
    checkBox_->setButtonType(Button::Type::Switch);
  }

  void writeBundleAgreement(const std::string& text) {
    std::ofstream(environment_.bundlePath() / "Contents/Resources/EULA.txt") << text;
  }

  // Runs the window modally as the first screen does, with `during` run inside the modal run.
  void runModally(TSRLicenseAgreementController& licence, std::function<void()> during) {
    licence.setAgreementCheckBtn(checkBox_);
    os::DispatchQueue::main()->async(std::move(during));
    os::ui::Application::shared().runModalForWindow(*licence.window());
  }

  InstallerTestEnvironment environment_;
  std::shared_ptr<Button> checkBox_;
};

TEST_F(LicenceWindowTest, FirstOpeningCopiesTheAgreementAndLaterOnesReadTheCopy) {
  auto first = TSRLicenseAgreementController::create();
  std::filesystem::path copy = std::filesystem::path(TempHelper::getAppSupportPath()) / "EULA.txt";
  EXPECT_TRUE(std::filesystem::exists(copy));
  EXPECT_EQ(first->agreementTextView()->string(), "Licence, first edition.");
  EXPECT_EQ(first->resourcePathOfAppDir("EULA", "txt"), copy.string());

  writeBundleAgreement("Licence, second edition.");
  auto second = TSRLicenseAgreementController::create();
  EXPECT_EQ(second->agreementString(), "Licence, first edition.");

  // Neither copy nor resource: an empty text, and still the path.
  std::filesystem::remove(copy);
  std::filesystem::remove(environment_.bundlePath() / "Contents/Resources/EULA.txt");
  auto third = TSRLicenseAgreementController::create();
  EXPECT_EQ(third->agreementTextView()->string(), "");
  EXPECT_EQ(third->resourcePathOfAppDir("EULA", "txt"), copy.string());
}

TEST_F(LicenceWindowTest, AgreementButtonTicksTheCheckBoxAndEndsTheModalRun) {
  auto licence = TSRLicenseAgreementController::create();
  EXPECT_EQ(licence->agreementButton()->title(), "I Agree");
  runModally(*licence, [&] {
    EXPECT_TRUE(licence->window()->isVisible());
    EXPECT_TRUE(screen_->clickView(*licence->window(),
                                   TSRLicenseAgreementController::kAgreementButtonIdentifier));
  });
  EXPECT_EQ(checkBox_->state(), Button::kOn);
  EXPECT_FALSE(licence->window()->isVisible());
}

TEST_F(LicenceWindowTest, CloseButtonEndsTheModalRunWithoutTicking) {
  auto licence = TSRLicenseAgreementController::create();
  auto& window = *licence->window();
  using Kind = os::ui::Window::ButtonKind;
  EXPECT_TRUE(window.standardWindowButton(Kind::Zoom)->isHidden());
  EXPECT_TRUE(window.standardWindowButton(Kind::Miniaturize)->isHidden());
  EXPECT_FALSE(window.standardWindowButton(Kind::Close)->isHidden());
  runModally(*licence, [&] {
    auto close = window.standardWindowButton(Kind::Close);
    screen_->click(window, close->convertPointToView(close->bounds().center(), nullptr));
  });
  EXPECT_EQ(checkBox_->state(), Button::kOff);
  EXPECT_FALSE(window.isVisible());
}

TEST_F(LicenceWindowTest, DarkProductColours) {
  struct Case {
    int32_t product;
    os::ui::Color text;
    os::ui::Color border;
    std::optional<os::ui::Color> background;
  };
  const Case cases[] = {
      {7, os::ui::Color::black(), {0.5, 0.5, 0.5}, std::nullopt},
      {14,
       {224 / 255.0, 224 / 255.0, 224 / 255.0},
       os::ui::Color::white().withAlpha(0.2),
       os::ui::Color{0x29 / 255.0, 0x26 / 255.0, 0x4B / 255.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.product);
    TSRSoftWareInfo::singleton().setInstallProduct(c.product);
    auto licence = TSRLicenseAgreementController::create();
    EXPECT_EQ(licence->agreementTitle()->stringValue(), "Tessaro EULA");
    EXPECT_EQ(licence->agreementTitle()->textColor(), c.text);
    EXPECT_EQ(licence->agreementTextView()->textStorage().attributesAt(0).foregroundColor, c.text);
    EXPECT_EQ(licence->borderView()->layer()->borderColor(), c.border);
    EXPECT_EQ(licence->borderView()->layer()->borderWidth(), 1);
    auto* content = licence->window()->contentView()->layer();
    EXPECT_EQ(content ? content->backgroundColor() : std::nullopt, c.background);
  }
}

}  // namespace
