// Every product's form of the first screen, the progress screen and the error page, rendered
// headless from an installer bundle made for that product number.
#include <cairo.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "installer/app/installer_test_environment.h"
#include "installer/engine/xml_manager.h"
#include "installer/screens/error_page.h"
#include "installer/screens/install_progress_view_controller.h"
#include "installer/screens/main_view_controller.h"
#include "installer/screens/silent_delegates_test_support.h"
#include "installer/widgets/no_title_bar_window.h"
#include "installer/widgets/widget_color.h"
#include "installer/widgets/widget_test_util.h"
#include "os/dispatch/runloop.h"
#include "os/ui/image_view.h"
#include "os/ui/test_fixture.h"

namespace {

namespace fs = std::filesystem;
using os::ui::Image;
using os::ui::Rect;
using os::ui::testing::rgb;

// Every picture a product's screens may ask for; the test's artwork paints them all one colour.
constexpr const char* kPictureNames[] = {"kvi_install",
                                         "kva_install",
                                         "hli_install",
                                         "hla_install",
                                         "kvc_install",
                                         "sn_install",
                                         "bv_install",
                                         "tv_install",
                                         "rm_Install",
                                         "XD_install",
                                         "start_background",
                                         "backgroudImage",
                                         "install_home",
                                         "logo",
                                         "install_note",
                                         "kvi_failed",
                                         "kva_failed",
                                         "hli_failed",
                                         "hla_failed",
                                         "kvc_failed",
                                         "sn_failed",
                                         "bv_failed",
                                         "install_failed",
                                         "kvi_ad1",
                                         "kva_ad1",
                                         "install_ad_com1",
                                         "install_screen_mirroring",
                                         "install_camera_mirroring",
                                         "ad1",
                                         "ad2",
                                         "ad3"};
const Image::Pixel kPictureColor = rgb(150, 30, 90);

enum class Group { Standard, Tavinor, TavinorICloud };
enum class ErrorForm { Standard, Tavinor, Lxo };

struct ProductForm {
  int32_t product;
  // First screen: its name and slogan (the keys stand for missing texts); an empty name is
  // hidden. `tavinorUpperArea`: products 8 to 13 show their own upper area.
  const char* title;
  const char* prompt;
  bool tavinorUpperArea;
  os::ui::Color titleColor, promptColor;
  Group group;
  ErrorForm errorForm;
};

const os::ui::Color kBlack = os::ui::Color::black(), kWhite = os::ui::Color::white(),
                    kGrey = os::ui::testing::color255(101, 101, 101);

const ProductForm kForms[] = {
    {1, "Product_Name", "Product_Prompt", false, kBlack, kGrey, Group::Standard,
     ErrorForm::Standard},
    {2, "Product_KV_Android_Name", "Product_Prompt", false, kBlack, kGrey, Group::Standard,
     ErrorForm::Standard},
    {3, "Product_HLI_Name", "Product_Prompt", false, kBlack, kGrey, Group::Standard,
     ErrorForm::Standard},
    {4, "Product_HLI_Name", "Product_Prompt_HLA", false, kBlack, kGrey, Group::Standard,
     ErrorForm::Standard},
    {5, "Product_KV_Cloud_Name", "Product_Prompt", false, kBlack, kGrey, Group::Standard,
     ErrorForm::Standard},
    {6, "Product_SN_Name", "Product_Prompt", false, kBlack, kGrey, Group::Standard,
     ErrorForm::Standard},
    {7, "Product_BV_Name", "Product_Prompt", false, kBlack, kGrey, Group::Standard,
     ErrorForm::Standard},
    {8, "Product_TV_Name", "Product_TV_Prompt", true, kBlack, kGrey, Group::Tavinor,
     ErrorForm::Tavinor},
    {9, "Product_RM_Name", "Product_RM_Prompt", true, kBlack, kGrey, Group::Tavinor,
     ErrorForm::Tavinor},
    {10, "Product_TV_iCloudActive_Name", "Installing_TV_iCloudActive_Prompt", true, kBlack, kGrey,
     Group::TavinorICloud, ErrorForm::Tavinor},
    {11, "Product_XD_Name", "Product_XD_Prompt", true, kBlack, kGrey, Group::TavinorICloud,
     ErrorForm::Tavinor},
    {12, "Product_SVO_Name", "Product_SVO_Prompt", true, kBlack, kGrey, Group::TavinorICloud,
     ErrorForm::Tavinor},
    {13, "Product_WB_Name", "Product_WB_Prompt", true, kBlack, kGrey, Group::TavinorICloud,
     ErrorForm::Tavinor},
    {14, "Product_LX_Name", "LX_Home_Title", false, kWhite, kWhite, Group::Standard,
     ErrorForm::Standard},
    {15, "", "Slogan_LXO", false, kWhite, kWhite, Group::Standard, ErrorForm::Lxo},
};

Image::Pixel pixelOf(os::ui::Color color) {
  return rgb(int(color.red * 255 + 0.5), int(color.green * 255 + 0.5), int(color.blue * 255 + 0.5));
}

void writePicture(const fs::path& path) {
  // As large as the window, so that every picture fills its view.
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 600, 400);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, kPictureColor.red / 255.0, kPictureColor.green / 255.0,
                       kPictureColor.blue / 255.0);
  cairo_paint(cr);
  cairo_destroy(cr);
  ASSERT_EQ(cairo_surface_write_to_png(surface, path.c_str()), CAIRO_STATUS_SUCCESS);
  cairo_surface_destroy(surface);
}

// The visible image views below `view` that show a picture.
void collectPictures(const os::ui::View& view, std::vector<const os::ui::ImageView*>& out) {
  if (view.isHidden()) return;
  if (auto* image = dynamic_cast<const os::ui::ImageView*>(&view); image && image->image()) {
    out.push_back(image);
  }
  for (const auto& sub : view.subviews()) collectPictures(*sub, out);
}

void PrintTo(const ProductForm& form, std::ostream* out) { *out << "product " << form.product; }

class ProductFormsTest : public os::ui::testing::HeadlessTest,
                         public ::testing::WithParamInterface<ProductForm> {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    XMLManager::resetForTesting();
    environment_ = std::make_unique<InstallerTestEnvironment>(
        InstallerTestOptions{.installProduct = os::Value(GetParam().product)});
    for (const char* name : kPictureNames) {
      writePicture(environment_->bundlePath() / "Contents/Resources" /
                   (std::string(name) + ".png"));
    }
    // A retry's download reaches a closed port on loopback and fails there.
    environment_->sandbox().setEnv(
        "TESSARO_CONNECT_TO",
        "resources.tessaro.example:443:127.0.0.1:1,download.tessaro.example:443:127.0.0.1:1");
    window_ = TSRNoTitleBarWindow::create({100, 100, 600, 400});
    window_->makeKeyAndOrderFront();
  }
  void TearDown() override {
    screen_->mouseExit(*window_);
    window_.reset();
    XMLManager::resetForTesting();
    HeadlessTest::TearDown();
    environment_.reset();
  }

  // The frame of `view` in the window's coordinates.
  Rect inWindow(const os::ui::View& view) {
    return view.convertRectToView(view.bounds(), window_->contentView().get());
  }

  // Expects every picture shown in `root` in place, and at least one.
  void expectPicturesShown(const os::ui::View& root, const Image& image) {
    std::vector<const os::ui::ImageView*> pictures;
    collectPictures(root, pictures);
    ASSERT_FALSE(pictures.empty());
    for (const os::ui::ImageView* picture : pictures) {
      const Rect frame = inWindow(*picture);
      EXPECT_PIXEL_NEAR(pixelAt(image, {frame.midX(), frame.midY()}, 400), kPictureColor, 3);
    }
  }

  // Expects `label` visible with `text`, its glyphs drawn in `color`.
  void expectText(const os::ui::View& label, const std::string& shown, const std::string& text,
                  os::ui::Color color, const Image& image, const Image::Pixel& background) {
    EXPECT_FALSE(label.isHiddenOrHasHiddenAncestor());
    EXPECT_EQ(label.window(), window_.get());
    EXPECT_EQ(shown, text);
    EXPECT_PIXEL_NEAR(widget_testing::mostDistinctPixel(image, inWindow(label), 400, background),
                      pixelOf(color), 40);
  }

  std::unique_ptr<InstallerTestEnvironment> environment_;
  std::shared_ptr<TSRNoTitleBarWindow> window_;
};

TEST_P(ProductFormsTest, FirstScreenShowsTheProductsPictureNameAndSlogan) {
  const ProductForm& form = GetParam();
  auto delegate = std::make_shared<NoMainDelegate>();
  auto screen = TSRMainViewController::create(delegate);
  window_->contentView()->addSubview(screen->view());
  auto image = window_->renderImage(1);

  expectPicturesShown(*screen->view(), *image);
  EXPECT_EQ(screen->tavinorView() != nullptr, form.tavinorUpperArea);
  const Image::Pixel white = rgb(255, 255, 255);
  if (form.tavinorUpperArea) {
    EXPECT_EQ(screen->topCustomView()->superview(), nullptr);
    expectText(*screen->tavinorTitleLabel(), screen->tavinorTitleLabel()->stringValue(), form.title,
               form.titleColor, *image, white);
    expectText(*screen->tavinorPromptLabel(), screen->tavinorPromptLabel()->stringValue(),
               form.prompt, form.promptColor, *image, white);
  } else {
    // Light texts sit on the product's picture, dark ones on the light upper area.
    const Image::Pixel behind = form.titleColor == kWhite ? kPictureColor : rgb(247, 247, 247);
    if (*form.title) {
      expectText(*screen->topTitleLabel(), screen->topTitleLabel()->stringValue(), form.title,
                 form.titleColor, *image, behind);
    } else {
      EXPECT_TRUE(screen->topTitleLabel()->isHidden());
    }
    expectText(*screen->topPromptLabel(), screen->topPromptLabel()->stringValue(), form.prompt,
               form.promptColor, *image, behind);
  }
  // The Install button lies in front of everything.
  const auto& install = *screen->installBtn();
  EXPECT_FALSE(install.isHiddenOrHasHiddenAncestor());
  EXPECT_EQ(screen->view()->subviews().back(), screen->bottomCustomView());
  EXPECT_EQ(install.superview(), screen->bottomCustomView().get());
}

TEST_P(ProductFormsTest, ProgressScreenAndErrorPageTakeTheProductsForm) {
  const ProductForm& form = GetParam();
  auto delegate = std::make_shared<NoProgressDelegate>();
  auto page = TSRErrorPage::create();
  auto screen = TSRInstallProgressViewController::create(delegate, 2);
  int pagesShown = 0;
  screen->setErrorPage([page, &pagesShown](TSRInstallProgressViewController& s) {
    ++pagesShown;
    page->configErrorView(s);
  });
  window_->contentView()->addSubview(screen->view());
  TSRProgressLayout& layout = screen->layout();
  EXPECT_EQ(int(layout.group()), int(form.group));

  // Progress: half the bar filled and its percent written.
  screen->downProgressWithFileName("product.zip", 50);
  ASSERT_TRUE(os::RunLoop::main().runUntil(
      [&] { return layout.percentLabel()->stringValue() == "50.00%"; }, 10));
  auto progress = window_->renderImage(1);
  expectPicturesShown(*screen->view(), *progress);
  const Rect bar = inWindow(*layout.progressBar());
  EXPECT_EQ(layout.groupView()->superview(), screen->view().get());
  const Image::Pixel track = rgb(230, 230, 230);
  EXPECT_FALSE(os::ui::testing::near(pixelAt(*progress, {bar.x + bar.width / 4, bar.midY()}, 400),
                                     track, 3));
  EXPECT_PIXEL_NEAR(pixelAt(*progress, {bar.x + bar.width * 3 / 4, bar.midY()}, 400), track, 3);

  // The error page with the failure's own text.
  screen->downErrorWithFileName("product.zip", "Network lost", "", kDownloadErrorDownloadFailed);
  auto errorView = page->errorViewForProduct(form.product);
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return errorView->superview() != nullptr; }, 10));
  EXPECT_EQ(screen->view()->subviews().back(), errorView);
  auto failed = window_->renderImage(1);
  switch (form.errorForm) {
    case ErrorForm::Standard:
      EXPECT_EQ(layout.groupView()->superview(), nullptr);
      expectText(*page->errorPromptLabel(), page->errorPromptLabel()->stringValue(), "Network lost",
                 kWhite, *failed,
                 pixelAt(*failed, inWindow(*page->errorPromptLabel()).origin(), 400));
      break;
    case ErrorForm::Tavinor:
      EXPECT_EQ(layout.groupView()->superview(), nullptr);
      expectPicturesShown(*errorView, *failed);
      expectText(*page->tavinorErrorTitleLabel(), page->tavinorErrorTitleLabel()->stringValue(),
                 "Install_Failed_Name", kBlack, *failed, rgb(255, 255, 255));
      expectText(*page->tavinorErrorPromptLabel(), page->tavinorErrorPromptLabel()->stringValue(),
                 "Network lost", kGrey, *failed, rgb(255, 255, 255));
      break;
    case ErrorForm::Lxo:
      // The strip covers the lower part only: the slides above it stay in sight and go on.
      EXPECT_EQ(layout.groupView()->superview(), screen->view().get());
      expectPicturesShown(*layout.contentBox, *failed);
      expectText(*page->lxoErrorTip(), page->lxoErrorTip()->normalString(), "Network lost", kWhite,
                 *failed, pixelOf(WidgetColor::hex(0x3116b6)));
      break;
  }
  EXPECT_FALSE(errorView->viewWithIdentifier(TSRErrorPage::kTryAgainButtonIdentifier)
                   ->isHiddenOrHasHiddenAncestor());
  const std::shared_ptr<os::Timer>& slideTimer = screen->slides().timer();
  if (form.errorForm == ErrorForm::Lxo) {
    ASSERT_TRUE(slideTimer);
    EXPECT_NE(slideTimer->fireDate(), os::Timer::kDistantFuture);
    slideTimer->setFireDate(os::MonotonicClock::now());
    EXPECT_TRUE(
        os::RunLoop::main().runUntil([&] { return screen->slides().lxADNumber() == 2; }, 10));
  } else {
    EXPECT_EQ(slideTimer, nullptr);
  }

  // The false progress draws four fifths of the bar and marks itself complete when its timer
  // fires; Try Again clears the mark and brings the progress view back in front of the page.
  screen->ninetyPercentFalseProgress();
  const auto& stroke = layout.progressBar()->animLayer();
  ASSERT_TRUE(stroke);
  EXPECT_DOUBLE_EQ(stroke->path().controlPointBounds().width,
                   float(layout.progressBar()->frame().width * 4 / 5));
  ASSERT_TRUE(screen->falseProgressTimer());
  EXPECT_EQ(screen->falseProgressTimer()->interval(),
            TSRInstallProgressViewController::kFalseProgressSeconds);
  screen->falseProgressTimer()->setFireDate(os::MonotonicClock::now());
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return screen->falseProgressComplete(); }, 10));

  ASSERT_TRUE(screen_->clickView(*window_, TSRErrorPage::kTryAgainButtonIdentifier));
  EXPECT_FALSE(screen->falseProgressComplete());
  EXPECT_EQ(layout.percentLabel()->stringValue(), "");
  EXPECT_EQ(layout.progressBar()->progress(), 0);
  if (productForNumber(form.product).engineBundleName.empty()) {
    // Nothing this installer could install: the retry ends on the page at once, saying so.
    EXPECT_EQ(pagesShown, 2);
    EXPECT_EQ(screen->errorReason(), "Install_Product_Unsupported_Msg");
    EXPECT_EQ(screen->view()->subviews().back(), errorView);
    return;
  }
  EXPECT_EQ(screen->view()->subviews().back(), layout.groupView());
  // Product 15's strip waits behind the progress view; the other pages leave.
  EXPECT_EQ(errorView->superview() != nullptr, form.errorForm == ErrorForm::Lxo);
  // The retry meets the closed port and ends on the page again.
  EXPECT_TRUE(os::RunLoop::main().runUntil([&] { return pagesShown == 2; }, 30));
}

INSTANTIATE_TEST_SUITE_P(Products, ProductFormsTest, ::testing::ValuesIn(kForms),
                         [](const auto& info) { return std::to_string(info.param.product); });

}  // namespace
