#include "installer/screens/advertisement_slides.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "installer/app/installer_test_environment.h"
#include "installer/screens/progress_layout.h"
#include "os/dispatch/runloop.h"
#include "os/ui/test_fixture.h"

namespace {

using os::ui::testing::color255;

bool contains(const os::ui::View& parent, const std::shared_ptr<os::ui::View>& child) {
  const auto& views = parent.subviews();
  return std::find(views.begin(), views.end(), child) != views.end();
}

TEST(ProgressLayoutTest, EachProductGetsItsGroupAndBar) {
  InstallerTestEnvironment environment;
  struct Case {
    int32_t product;
    TSRProgressGroup group;
    bool gradient;
    std::optional<os::ui::Color> fill;
  };
  const Case cases[] = {
      {7, TSRProgressGroup::Standard, false, std::nullopt},
      {99, TSRProgressGroup::Standard, false, std::nullopt},
      {8, TSRProgressGroup::Tavinor, true, std::nullopt},
      {11, TSRProgressGroup::TavinorICloud, false, color255(23, 92, 255)},
      {12, TSRProgressGroup::TavinorICloud, true, std::nullopt},
      {14, TSRProgressGroup::Standard, true, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.product);
    auto layout = TSRProgressLayout::build(c.product);
    EXPECT_EQ(layout->group(), c.group);
    ASSERT_TRUE(layout->groupView());
    // Scripts find the live bar and labels of every group by the same names.
    EXPECT_EQ(layout->groupView()->viewWithIdentifier("progressBar"), layout->progressBar());
    EXPECT_EQ(layout->groupView()->viewWithIdentifier("progressPercentLabel"),
              layout->percentLabel());
    EXPECT_EQ(layout->percentLabel()->stringValue(), "");
    EXPECT_EQ(layout->progressBar()->isGra(), c.gradient);
    EXPECT_EQ(layout->progressBar()->fillColor(), c.fill);
  }
  EXPECT_TRUE(TSRProgressLayout::build(99)->contentBox->subviews().empty());
}

TEST(ProgressLayoutTest, BrevaloShowsItsProductAreaWithoutSlides) {
  InstallerTestEnvironment environment;
  auto layout = TSRProgressLayout::build(7);
  ASSERT_EQ(layout->contentBox->subviews().size(), 1u);
  EXPECT_EQ(layout->contentBox->subviews()[0], layout->prCustomView);
  EXPECT_EQ(layout->prTitleLabel->stringValue(), "Product_BV_Name");
  EXPECT_EQ(layout->prTitleLabel->textColor(), os::ui::Color::white());
  EXPECT_EQ(layout->prPromptLabel->stringValue(), "Installing_BV_Prompt");
  EXPECT_EQ(layout->proDownloadLabel->stringValue(), "Install_Download_Prepare");
  // Moved from where the area is drawn for every product.
  EXPECT_EQ(layout->prTitleLabel->frame().origin(), (os::ui::Point{260, 138}));
  EXPECT_TRUE(layout->prSuffexLabel->isHidden());
  EXPECT_FALSE(layout->prIconLabel->isHidden());

  TSRAdvertisementSlides slides(*layout);
  slides.start();
  EXPECT_EQ(slides.timer(), nullptr);
  slides.killTimer();
  slides.setTimerNil();
  EXPECT_EQ(slides.timer(), nullptr);
}

TEST(AdvertisementSlidesTest, TimerIntervalFollowsTheProduct) {
  InstallerTestEnvironment environment;
  const std::pair<int32_t, double> cases[] = {{1, 8.0}, {2, 8.0}, {4, 5.0}, {14, 5.0}, {15, 5.0}};
  for (const auto& [product, interval] : cases) {
    SCOPED_TRACE(product);
    auto layout = TSRProgressLayout::build(product);
    TSRAdvertisementSlides slides(*layout);
    slides.start();
    ASSERT_TRUE(slides.timer());
    EXPECT_EQ(slides.timer()->interval(), interval);
  }
}

TEST(AdvertisementSlidesTest, TimerIsMadeOnceParkedAndForgotten) {
  InstallerTestEnvironment environment;
  auto layout = TSRProgressLayout::build(1);
  TSRAdvertisementSlides slides(*layout);
  slides.start();
  std::shared_ptr<os::Timer> first = slides.timer();
  slides.addTimer();
  EXPECT_EQ(slides.timer(), first);
  slides.killTimer();
  EXPECT_EQ(first->fireDate(), os::Timer::kDistantFuture);
  slides.setTimerNil();
  EXPECT_FALSE(first->isValid());
  slides.addTimer();
  ASSERT_TRUE(slides.timer());
  EXPECT_NE(slides.timer(), first);
  EXPECT_NE(slides.timer()->fireDate(), os::Timer::kDistantFuture);
}

TEST(AdvertisementSlidesTest, FadingShowBringsEachSlideAndTakesThePreviousAwayLater) {
  InstallerTestEnvironment environment;
  auto layout = TSRProgressLayout::build(1);
  TSRAdvertisementSlides slides(*layout);
  slides.start();
  const auto& box = *layout->contentBox;
  const auto& ad = layout->adSlides;
  ASSERT_TRUE(contains(box, ad[0].view));
  EXPECT_EQ(ad[0].titleLabel->stringValue(), "Product_Name");
  EXPECT_EQ(ad[3].subTitleLabel->stringValue(), "Installing_KVI_Ad_Sub4");

  for (int step = 1; step <= 4; ++step) {
    SCOPED_TRACE(step);
    const auto& incoming = ad[size_t(step % 4)].view;
    const auto& outgoing = ad[size_t((step + 3) % 4)].view;
    slides.changeContentView();
    EXPECT_EQ(box.subviews().back(), incoming);
    ASSERT_TRUE(incoming->layer());
    EXPECT_TRUE(incoming->layer()->animationForKey("animation" + std::to_string(step % 4 + 1)));
    // The outgoing slide stays while the new one fades in.
    EXPECT_TRUE(contains(box, outgoing));
    EXPECT_TRUE(os::RunLoop::main().runUntil([&] { return !contains(box, outgoing); }, 10));
    EXPECT_EQ(slides.count(), (step + 1) % 4);
  }
}

TEST(AdvertisementSlidesTest, PictureShowsCycleThroughTheirPictures) {
  InstallerTestEnvironment environment;
  struct Case {
    int32_t product;
    std::vector<int32_t> numbers;
  };
  const Case cases[] = {{14, {2, 3, 4, 5, 1, 2}}, {15, {2, 3, 1, 2}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.product);
    auto layout = TSRProgressLayout::build(c.product);
    TSRAdvertisementSlides slides(*layout);
    slides.start();
    EXPECT_EQ(layout->lxTitle2->stringValue(), c.product == 14 ? "LX_Ad1_Title" : "LXO_Ad1_Title");
    for (int32_t number : c.numbers) {
      slides.changeLXAd();
      EXPECT_EQ(slides.lxADNumber(), number);
      EXPECT_TRUE(layout->lxInstallView->layer()->animationForKey("kTransitionAnimation"));
    }
    EXPECT_EQ(layout->lxTitle3->stringValue(), (c.product == 14 ? "LX_Ad" : "LXO_Ad") +
                                                   std::to_string(c.numbers.back()) + "_SubTitle");
  }
  // Product 15's subtitle runs 270 points short of the picture's trailing edge.
  auto layout = TSRProgressLayout::build(15);
  TSRAdvertisementSlides slides(*layout);
  slides.start();
  EXPECT_EQ(layout->lxTitle3->frame().maxX(), TSRProgressLayout::kScreenWidth - 270);
}

TEST(AdvertisementSlidesTest, ProductFourPicturesFollowTheLanguage) {
  const std::tuple<std::string, int32_t, std::string> cases[] = {
      {"de-DE", 2, "install_ad_de2"},  {"ja", 3, "install_ad_jp3"}, {"en-GB", 0, "install_ad_com1"},
      {"pt-BR", 4, "install_ad_com4"}, {"ar", 1, "install_ad_ar1"},
  };
  for (const auto& [language, number, name] : cases) {
    EXPECT_EQ(TSRAdvertisementSlides::hlaAdImageName(language, number), name);
  }
  InstallerTestEnvironment environment({.installProduct = os::Value(4), .languages = {"de-DE"}});
  auto layout = TSRProgressLayout::build(4);
  TSRAdvertisementSlides slides(*layout);
  slides.start();
  for (int32_t expected : {2, 3, 4, 1}) {
    slides.changeHlaAd();
    EXPECT_EQ(slides.hlaADNumber(), expected);
  }
  EXPECT_TRUE(layout->hlaInstallView->layer()->animationForKey("kTransitionAnimation"));
  EXPECT_TRUE(layout->hlaInstallImageView->action());
}

TEST(AdvertisementSlidesTest, SpareSetsShowTheirPictureAndTextsByNumber) {
  InstallerTestEnvironment environment({.installProduct = os::Value(15)});
  // Each picture gets a width of its own, so that the test can tell which one came back.
  const std::vector<std::string> qm = {"install_mac_screencamera", "install_mac_cameraonly",
                                       "install_mac_screenonly", "install_mac_audioonly"};
  const std::vector<std::string> qs = {"install_mac_beautify", "install_mac_feedback",
                                       "install_mac_ocr", "install_mac_pin"};
  int width = 1;
  for (const auto* names : {&qm, &qs}) {
    for (const std::string& name : *names) {
      cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width++, 1);
      const std::string path =
          (environment.bundlePath() / "Contents/Resources" / (name + ".png")).string();
      ASSERT_EQ(cairo_surface_write_to_png(surface, path.c_str()), CAIRO_STATUS_SUCCESS);
      cairo_surface_destroy(surface);
    }
  }
  auto layout = TSRProgressLayout::build(15);
  TSRAdvertisementSlides slides(*layout);
  slides.start();
  EXPECT_EQ(slides.qmADNumber(), 1);
  struct Case {
    const char* set;
    int32_t number;
    const char* title;
    const char* subtitle;
    int pictureWidth;
  };
  const Case cases[] = {
      {"QM", 1, "QM_Ad1_Title", "QM_Ad1_SubTitle", 1},
      {"QM", 4, "QM_Ad4_Title", "QM_Ad4_SubTitle", 4},
      {"QM", 5, "", "", 1},
      {"QS", 2, "QS_Ad2_Title", "QS_Ad2_SubTitle", 6},
      {"QS", 0, "", "", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.set) + std::to_string(c.number));
    slides.setQmADNumber(c.number);
    auto picture = std::string(c.set) == "QM" ? slides.qmAdImage() : slides.qsAdImage();
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->pixelWidth(), c.pictureWidth);
    EXPECT_EQ(layout->lxTitle2->stringValue(), c.title);
    EXPECT_EQ(layout->lxTitle3->stringValue(), c.subtitle);
  }
}

}  // namespace
