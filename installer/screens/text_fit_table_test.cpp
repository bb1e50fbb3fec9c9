// The installer as a user of each shipped language sees it: for a table of products, every label
// and button of the first screen, the progress screen, the error page and the questions is
// measured against its frame with the bundle's own texts. A text must not be cut at the bottom,
// run out at the side, break inside a word, or end in an ellipsis where a smaller font would fit.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "installer/app/installer_test_environment.h"
#include "installer/app/temp_helper.h"
#include "installer/screens/alert_view_controller.h"
#include "installer/screens/error_page.h"
#include "installer/screens/install_progress_view_controller.h"
#include "installer/screens/main_view_controller.h"
#include "installer/screens/silent_delegates_test_support.h"
#include "installer/widgets/alert_super_view.h"
#include "installer/widgets/gridient_button.h"
#include "installer/widgets/no_title_bar_window.h"
#include "installer/widgets/text_style.h"
#include "os/dispatch/dispatch.h"
#include "os/dispatch/runloop.h"
#include "os/log/log.h"
#include "os/text/format.h"
#include "os/ui/label.h"
#include "os/ui/test_fixture.h"
#include "os/ui/text_fitting.h"

namespace {

namespace fs = std::filesystem;
using os::ui::Rect;
using os::ui::Size;

constexpr int32_t kProducts[] = {2, 7, 9, 11, 14};
constexpr const char* kLanguages[] = {"en", "ja", "de", "fr", "es", "ar"};
// Layouts measure in pango units.
constexpr double kTolerance = 0.01;

std::string describe(const Rect& frame) {
  std::ostringstream out;
  out << "{" << frame.x << ", " << frame.y << ", " << frame.width << ", " << frame.height << "}";
  return out.str();
}

// What is wrong with `layout`, the text a view shows in `box`; empty when nothing is.
std::string problemsOf(const os::ui::TextLayout& layout, Size box) {
  std::string problems;
  const Size size = layout.size();
  if (size.width > box.width + kTolerance) {
    problems += "runs out at the side (" + std::to_string(size.width) + " wide); ";
  }
  if (size.height > box.height + kTolerance) {
    problems += "is cut at the bottom (" + std::to_string(size.height) + " high); ";
  }
  if (layout.isTruncated()) {
    const os::ui::TextLayout smallest(
        os::ui::scaleFonts(layout.text(), TextStyle::kMinimumFontScale), box.width);
    if (os::ui::fitsBox(smallest, box))
      problems += "ends in an ellipsis where a smaller font fits; ";
  } else if (layout.breaksInsideWords()) {
    problems += "breaks inside a word; ";
  }
  return problems;
}

// Measures every visible label and gradient button below `view`, adding a line per fault.
void measure(const os::ui::View& view, std::string& faults) {
  if (view.isHidden()) return;
  if (const auto* label = dynamic_cast<const os::ui::Label*>(&view);
      label && !label->stringValue().empty()) {
    const Size box{label->frame().width - 2 * os::ui::Label::kHorizontalInset,
                   label->frame().height};
    if (std::string problems = problemsOf(label->textLayout(), box); !problems.empty()) {
      faults += "  label \"" + label->stringValue() + "\" in " + describe(label->frame()) + ": " +
                problems + "\n";
    }
  }
  if (const auto* button = dynamic_cast<const TSRGridientButton*>(&view);
      button && !button->buttonTitle().empty()) {
    const os::ui::TextFit fit = button->fittedTitle();
    const Size box{fit.layout.width(), button->bounds().height};
    if (std::string problems = problemsOf(fit.layout, box); !problems.empty()) {
      faults += "  button \"" + button->buttonTitle() + "\" in " + describe(button->frame()) +
                ": " + problems + "\n";
    }
  }
  for (const auto& subview : view.subviews()) measure(*subview, faults);
}

struct Case {
  int32_t product;
  const char* language;
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << "product " << c.product << " in " << c.language;
}

std::vector<Case> allCases() {
  std::vector<Case> cases;
  for (int32_t product : kProducts) {
    for (const char* language : kLanguages) cases.push_back({product, language});
  }
  return cases;
}

class TextFitTableTest : public os::ui::testing::HeadlessTest,
                         public ::testing::WithParamInterface<Case> {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    environment_ = std::make_unique<InstallerTestEnvironment>(InstallerTestOptions{
        .installProduct = os::Value(GetParam().product), .languages = {GetParam().language}});
    // The texts this build ships.
    for (const char* language : kLanguages) {
      const std::string folder = std::string(language) + ".lproj";
      fs::copy(fs::path(PROJECT_SOURCE_DIR) / "resources" / folder,
               environment_->bundlePath() / "Contents/Resources" / folder);
    }
    window_ = TSRNoTitleBarWindow::create({100, 100, 600, 400});
    window_->makeKeyAndOrderFront();
  }
  void TearDown() override {
    window_.reset();
    HeadlessTest::TearDown();
    environment_.reset();
  }

  // Adds the faults of `root` under the heading `what`.
  void measureView(const std::string& what, const os::ui::View& root) {
    std::string faults;
    measure(root, faults);
    if (!faults.empty()) faults_ += what + ":\n" + faults;
  }

  // Asks `question` in the panel and measures the panel while it is open.
  void measureQuestion(const std::string& what, const std::string& question,
                       const std::string& okKey) {
    auto alert = TSRAlertViewController::create();
    auto host = std::make_shared<TSRAlertSuperView>(window_->contentView()->bounds());
    os::DispatchQueue::main()->async([&] {
      EXPECT_TRUE(runUntilAtRest(*window_, TSRAlertViewController::kOKButtonIdentifier));
      measureView(what, *alert->promptAlertView2());
      alert->promptAlertViewCancelButtonClick();
    });
    alert->showAlertText(question, localized("Button_Cancel"), localized(okKey), host);
  }

  // The usage events stay out of the test's output.
  os::log::Capture quiet_;
  std::unique_ptr<InstallerTestEnvironment> environment_;
  std::shared_ptr<TSRNoTitleBarWindow> window_;
  std::string faults_;
};

TEST_P(TextFitTableTest, EveryTextFitsItsFrame) {
  const int32_t product = GetParam().product;
  const std::string productName = localized(productForNumber(product).nameKey);

  auto first = TSRMainViewController::create(std::make_shared<NoMainDelegate>());
  window_->contentView()->addSubview(first->view());
  measureView("first screen", *first->view());
  first->view()->removeFromSuperview();

  auto delegate = std::make_shared<NoProgressDelegate>();
  auto screen = TSRInstallProgressViewController::create(delegate, 2);
  auto page = TSRErrorPage::create();
  screen->setErrorPage([page](TSRInstallProgressViewController& s) { page->configErrorView(s); });
  window_->contentView()->addSubview(screen->view());
  measureView("progress screen", *screen->view());
  // Every slide, also those the show has not reached yet.
  for (const TSRAdSlide& slide : screen->layout().adSlides) {
    if (slide.view) measureView("progress screen's slides", *slide.view);
  }
  screen->downProgressWithFileName("product.zip", 100);
  screen->downComplete("product.zip");
  ASSERT_TRUE(os::RunLoop::main().runUntil(
      [&] { return screen->layout().percentLabel()->stringValue() == "100.00%"; }, 10));
  measureView("progress screen, installing", *screen->view());

  // The page with the network failure's own text, then with the generic message.
  screen->downErrorWithFileName("product.zip", localized("internet_Exception"), "",
                                kDownloadErrorDownloadFailed);
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return screen->errorReason().has_value(); }, 10));
  measureView("error page", *screen->view());
  screen->installError("product.zip", "", kDownloadErrorFileNotFound);
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return !screen->errorReason().has_value(); }, 10));
  measureView("error page, generic message", *screen->view());

  measureQuestion("close question",
                  os::formatObjects(localized("Install_App_Prompt_Msg1"), {productName}),
                  "Button_Yes");
  measureQuestion("replace question",
                  os::formatObjects(localized("Install_App_Prompt_Msg"), {productName}),
                  "Button_Replace");

  if (!faults_.empty()) {
    ADD_FAILURE() << "product " << product << " in " << GetParam().language << ":\n" << faults_;
  }
}

INSTANTIATE_TEST_SUITE_P(Products, TextFitTableTest, ::testing::ValuesIn(allCases()),
                         [](const auto& info) {
                           return std::to_string(info.param.product) + "_" + info.param.language;
                         });

}  // namespace
