#include "installer/screens/progress_layout.h"

#include <optional>
#include <string>

#include "installer/app/temp_helper.h"
#include "installer/widgets/text_style.h"
#include "installer/widgets/widget_color.h"
#include "os/ui/font.h"
#include "os/ui/image.h"

namespace {

using os::ui::Color;
using os::ui::Label;
using os::ui::Rect;
using os::ui::View;

os::ui::Font helvetica(double size) { return os::ui::Font::named("Helvetica Neue", size); }
os::ui::Font helveticaBold(double size) { return os::ui::Font::named("Helvetica Neue Bold", size); }

const Color kGrey = WidgetColor::rgb(101, 101, 101);
// Behind the product area's white texts, where a product gives no colour of its own.
const Color kContentBoxBlue = WidgetColor::rgb(17, 127, 228);

std::shared_ptr<Label> makeLabel(View& parent, const Rect& frame,
                                 os::ui::TextAlignment alignment = os::ui::TextAlignment::Left) {
  auto label = std::make_shared<Label>(frame);
  label->setAlignment(alignment);
  TextStyle::fitToFrame(*label);
  parent.addSubview(label);
  return label;
}

template <typename ImageKind = TSRImageView>
std::shared_ptr<ImageKind> makeImage(View& parent, const Rect& frame) {
  auto image = std::make_shared<ImageKind>(frame);
  parent.addSubview(image);
  return image;
}

std::shared_ptr<View> makeBoxPage() {
  return std::make_shared<View>(Rect{0, 0, TSRProgressLayout::kScreenWidth, 262});
}

void moveBy(View& view, double dx, double dy) {
  view.setFrameOrigin({view.frame().x + dx, view.frame().y + dy});
}

void style(Label& label, Color color, std::optional<std::string> text = std::nullopt) {
  label.setTextColor(color);
  if (text) label.setStringValue(*text);
}

std::shared_ptr<os::ui::Image> image(const char* name) { return os::ui::Image::named(name); }

// The standard group's product area: a picture and texts for the products without slides.
struct ProductAreaRow {
  int32_t product;
  const char* image;
  const char* titleKey;
  const char* promptKey;
  double titleDx, titleDy;
  // The mark follows the title wherever the title goes.
  bool iconHidden;
  double suffixDx, suffixDy;
  bool suffixHidden;
  // nullptr keeps the suffix label's text.
  const char* suffixKey;
};
constexpr ProductAreaRow kProductAreas[] = {
    {3, "hli_install", "Product_HLI_Name", "Installing_HLI_Prompt", 0, 0, false, 0, 0, false,
     "Product_iOS_Suffex_Name"},
    {5, "kvc_install", "Product_KV_Cloud_Name", "Installing_KVC_Prompt", 20, -12, true, -42, -12,
     true, nullptr},
    {6, "sn_install", "Product_SN_Name", "Installing_SN_Prompt", 10, -12, true, 0, 0, true,
     nullptr},
    {7, "bv_install", "Product_BV_Name", "Installing_BV_Prompt", 10, -12, false, 0, 0, true,
     nullptr},
};

// The fading show of products 1 and 2: slide n shows "<imagePrefix>n", "<subPrefix>n" and
// "<promptPrefix>n".
struct SlideShowRow {
  int32_t product;
  const char* imagePrefix;
  const char* titleKey;
  const char* subPrefix;
  const char* promptPrefix;
  bool iconHidden;
  bool suffixHidden;
  // nullptr: an empty suffix.
  const char* suffixKey;
};
constexpr SlideShowRow kSlideShows[] = {
    {1, "kvi_ad", "Product_Name", "Installing_KVI_Ad_Sub", "Installing_KVI_Ad_Prompt", false, true,
     "Product_iOS_Suffex_Name"},
    {2, "kva_ad", "Product_KV_Android_Name", "Installing_KVA_Ad_Sub", "Installing_KVA_Ad_Prompt",
     true, false, nullptr},
};

// The picture show of products 14 and 15.
struct LxRow {
  int32_t product;
  uint32_t subViewColor;
  const char* titleKey;
  Color contentBoxColor;
  uint32_t progressTextColor;
  uint32_t barLeft, barRight;
};
const LxRow kLxShows[] = {
    {14, 0x29264b, "Product_LX_Name", WidgetColor::rgb(66, 0, 116), 0xe0e0e0, 0xce68ff, 0x2f87ff},
    {15, 0xffffff, "Product_LXO_Name", WidgetColor::hex(0x7057ea), 0x333333, 0x7057ea, 0x7057ea},
};

// The tavinor group (products 8 and 9).
struct TavinorRow {
  int32_t product;
  const char* image;
  const char* titleKey;
  const char* promptKey;
};
constexpr TavinorRow kTavinorRows[] = {
    {8, "tv_install", "Product_TV_Name", "Installing_TV_Prompt"},
    {9, "rm_Install", "Product_RM_Name", "Installing_RM_Prompt"},
};

// The tavinor iCloud group (products 10 to 13).
struct TavinorICloudRow {
  int32_t product;
  const char* image;
  double imageCornerRadius;
  // nullptr: no second image.
  const char* secondImage;
  const char* titleKey;
  const char* subtitleKey;
  bool boldTitle;
  bool gradientBar;
  // Unset: the bar's own colours.
  std::optional<Color> barFill, barLeft, barRight;
};
const TavinorICloudRow kTavinorICloudRows[] = {
    {10, "tv_install", 0, nullptr, "Product_TV_iCloudActive_Name",
     "Product_TV_iCloudActive_Install_subtitle", false, true, std::nullopt, std::nullopt,
     std::nullopt},
    {11, "XD_install", 0, "logo", "Product_XD_Name", "Product_XD_Prompt", true, false,
     WidgetColor::rgb(23, 92, 255), std::nullopt, std::nullopt},
    {12, "start_background", 0, "logo", "Product_SVO_Name", "Product_SVO_Prompt", true, true,
     std::nullopt, WidgetColor::rgb(23, 92, 255), WidgetColor::rgb(34, 194, 213)},
    {13, "backgroudImage", 8.0, "logo", "Product_WB_Name", "Product_WB_Prompt", true, true,
     std::nullopt, WidgetColor::hex(0x1bac2c), WidgetColor::hex(0x38d952)},
};

template <typename Row, size_t N>
const Row* rowFor(const Row (&rows)[N], int32_t product) {
  for (const Row& row : rows) {
    if (row.product == product) return &row;
  }
  return nullptr;
}

}  // namespace

TSRProgressGroup progressGroupForProduct(int32_t product) {
  if (product == 8 || product == 9) return TSRProgressGroup::Tavinor;
  if (product >= 10 && product <= 13) return TSRProgressGroup::TavinorICloud;
  return TSRProgressGroup::Standard;
}

void TSRClickableImageView::mouseDown(const os::ui::Event&) { sendAction(); }

TSRProgressLayout::TSRProgressLayout(int32_t product)
    : product_(product), group_(progressGroupForProduct(product)) {}

std::unique_ptr<TSRProgressLayout> TSRProgressLayout::build(int32_t product) {
  std::unique_ptr<TSRProgressLayout> layout(new TSRProgressLayout(product));
  switch (layout->group_) {
    case TSRProgressGroup::Standard:
      layout->buildStandard();
      break;
    case TSRProgressGroup::Tavinor:
      layout->buildTavinor();
      break;
    case TSRProgressGroup::TavinorICloud:
      layout->buildTavinorICloud();
      break;
  }
  return layout;
}

std::shared_ptr<os::ui::View> TSRProgressLayout::groupView() const {
  switch (group_) {
    case TSRProgressGroup::Tavinor:
      return tavinorInstallView;
    case TSRProgressGroup::TavinorICloud:
      return tavinoriCloudInstallView;
    case TSRProgressGroup::Standard:
      break;
  }
  return progressCustomView;
}

std::shared_ptr<TSRDownloadProgressView> TSRProgressLayout::progressBar() const {
  switch (group_) {
    case TSRProgressGroup::Tavinor:
      return tavinorInstallprogressView;
    case TSRProgressGroup::TavinorICloud:
      return tavinorICloudInstallPregressView;
    case TSRProgressGroup::Standard:
      break;
  }
  return progressView;
}

std::shared_ptr<os::ui::Label> TSRProgressLayout::percentLabel() const {
  switch (group_) {
    case TSRProgressGroup::Tavinor:
      return tavinorInstallProgressLabel;
    case TSRProgressGroup::TavinorICloud:
      return tavinorICloudInstallProgressLabel;
    case TSRProgressGroup::Standard:
      break;
  }
  return proValueLabel;
}

std::shared_ptr<os::ui::Label> TSRProgressLayout::downloadLabel() const {
  switch (group_) {
    case TSRProgressGroup::Tavinor:
      return tavinorInstallPromptLabel;
    case TSRProgressGroup::TavinorICloud:
      return nullptr;
    case TSRProgressGroup::Standard:
      break;
  }
  return proDownloadLabel;
}

void TSRProgressLayout::setLxTitle3Trail(double trail) {
  lxTitle3Trail_ = trail;
  if (!lxTitle3 || !lxInstallView) return;
  Rect frame = lxTitle3->frame();
  frame.width = std::max(0.0, lxInstallView->frame().width - frame.x - trail);
  lxTitle3->setFrame(frame);
}

void TSRProgressLayout::buildStandard() {
  progressCustomView = std::make_shared<TSRWhiteView>(Rect{0, 0, kScreenWidth, kScreenHeight});
  progressCustomView->setIdentifier("progressView");
  contentBox = std::make_shared<View>(Rect{0, 138, kScreenWidth, 262});
  contentBox->setWantsLayer(true);
  contentBox->layer()->setBackgroundColor(kContentBoxBlue);
  progressCustomView->addSubview(contentBox);
  proSubView = std::make_shared<TSRWhiteView>(Rect{0, 0, kScreenWidth, 138});
  progressCustomView->addSubview(proSubView);
  proDownloadLabel = makeLabel(*proSubView, {38, 78, 400, 18});
  proDownloadLabel->setIdentifier("progressDownloadLabel");
  proValueLabel = makeLabel(*proSubView, {440, 78, 122, 18}, os::ui::TextAlignment::Right);
  proValueLabel->setIdentifier("progressPercentLabel");
  progressView = std::make_shared<TSRDownloadProgressView>(Rect{40, 60, 520, 6});
  progressView->setIdentifier("progressBar");
  proSubView->addSubview(progressView);
  proIconLabel = makeLabel(*proSubView, {562, 20, 20, 18});

  prCustomView = makeBoxPage();
  prImageView = makeImage(*prCustomView, {40, 36, 190, 190});
  prSuffexLabel = makeLabel(*prCustomView, {262, 200, 300, 20});
  prTitleLabel = makeLabel(*prCustomView, {250, 150, 300, 44});
  prTitleLabel->setFont(helvetica(30));
  prIconLabel = makeLabel(*prCustomView, {556, 176, 20, 18});
  prPromptLabel = makeLabel(*prCustomView, {250, 60, 320, 84});
  prPromptLabel->setFont(helvetica(14));
  for (TSRAdSlide& slide : adSlides) {
    slide.view = makeBoxPage();
    slide.imageView = makeImage(*slide.view, {30, 30, 240, 200});
    slide.suffexLabel = makeLabel(*slide.view, {302, 206, 260, 20});
    slide.titleLabel = makeLabel(*slide.view, {290, 170, 270, 36});
    slide.titleLabel->setFont(helvetica(26));
    slide.iconLabel = makeLabel(*slide.view, {556, 186, 20, 18});
    slide.subTitleLabel = makeLabel(*slide.view, {290, 138, 290, 26});
    slide.subTitleLabel->setFont(helvetica(18));
    slide.promptLabel = makeLabel(*slide.view, {290, 40, 290, 92});
    slide.promptLabel->setFont(helvetica(13));
  }
  hlaInstallView = makeBoxPage();
  hlaInstallImageView = makeImage<TSRClickableImageView>(*hlaInstallView, hlaInstallView->bounds());
  hlaInstallImageView->setIdentifier("advertisementPicture");
  lxInstallView = makeBoxPage();
  lxImageView = makeImage(*lxInstallView, {300, 20, 280, 222});
  lxTitle1 = makeLabel(*lxInstallView, {30, 200, 270, 30});
  lxTitle1->setFont(helvetica(16));
  lxTitle2 = makeLabel(*lxInstallView, {30, 140, 270, 56});
  lxTitle2->setFont(helveticaBold(24));
  lxTitle3 = makeLabel(*lxInstallView, {30, 40, 270, 96});
  lxTitle3->setFont(helvetica(14));
  setLxTitle3Trail(kDefaultLxTitle3Trail);

  // Step 1: what every product of the group shares.
  style(*proValueLabel, kGrey);
  style(*proDownloadLabel, kGrey);
  for (TSRAdSlide& slide : adSlides) {
    for (auto* label :
         {&slide.titleLabel, &slide.subTitleLabel, &slide.iconLabel, &slide.suffexLabel}) {
      (*label)->setTextColor(Color::white());
    }
    slide.promptLabel->setTextColor(WidgetColor::rgb(255, 255, 255, 0.8));
  }

  fillStandardProductArea();

  proIconLabel->setTextColor(Color::black());
  proIconLabel->setFont(helvetica(14));
  proIconLabel->setStringValue("®");
  // No product name shares the lower area with this mark: alone in its corner it would mark
  // nothing. The product area's own mark follows the name.
  proIconLabel->setHidden(true);
  proDownloadLabel->setFont(helvetica(12));
  proDownloadLabel->setStringValue(localized("Install_Download_Prepare"));
  proValueLabel->setFont(helvetica(12));
  proValueLabel->setStringValue("");
  progressView->reInitProgress();
}

void TSRProgressLayout::fillStandardProductArea() {
  if (const ProductAreaRow* row = rowFor(kProductAreas, product_)) {
    prImageView->setImage(image(row->image));
    moveBy(*prSuffexLabel, row->suffixDx, row->suffixDy);
    prSuffexLabel->setTextColor(Color::white());
    prSuffexLabel->setHidden(row->suffixHidden);
    if (row->suffixKey) prSuffexLabel->setStringValue(localized(row->suffixKey));
    moveBy(*prTitleLabel, row->titleDx, row->titleDy);
    style(*prTitleLabel, Color::white(), localized(row->titleKey));
    prIconLabel->setTextColor(Color::white());
    prIconLabel->setHidden(row->iconHidden);
    prIconLabel->setStringValue("®");
    TextStyle::placeMark(*prIconLabel, *prTitleLabel);
    moveBy(*prPromptLabel, row->titleDx, row->titleDy);
    style(*prPromptLabel, Color::white(), localized(row->promptKey));
    contentBox->addSubview(prCustomView);
    return;
  }
  if (const SlideShowRow* row = rowFor(kSlideShows, product_)) {
    for (size_t index = 0; index < adSlides.size(); ++index) {
      const std::string number = std::to_string(index + 1);
      TSRAdSlide& slide = adSlides[index];
      slide.imageView->setImage(os::ui::Image::named(row->imagePrefix + number));
      slide.titleLabel->setStringValue(localized(row->titleKey));
      slide.subTitleLabel->setStringValue(
          TempHelper::getDefaultsLocalizableLanguages(row->subPrefix + number));
      slide.promptLabel->setStringValue(
          TempHelper::getDefaultsLocalizableLanguages(row->promptPrefix + number));
      slide.suffexLabel->setHidden(row->suffixHidden);
      slide.suffexLabel->setStringValue(row->suffixKey ? localized(row->suffixKey) : "");
      slide.iconLabel->setHidden(row->iconHidden);
      slide.iconLabel->setStringValue("®");
      TextStyle::placeMark(*slide.iconLabel, *slide.titleLabel);
    }
    contentBox->addSubview(adSlides[0].view);
    return;
  }
  if (product_ == 4) {
    roundsScreenCorners = true;
    hlaInstallView->setWantsLayer(true);
    contentBox->layer()->setBackgroundColor(WidgetColor::rgb(35, 115, 240));
    contentBox->addSubview(hlaInstallView);
    return;
  }
  if (const LxRow* row = rowFor(kLxShows, product_)) {
    roundsScreenCorners = true;
    proSubView->setWantsLayer(true);
    proSubView->layer()->setBackgroundColor(WidgetColor::hex(row->subViewColor));
    proSubView->setBackgroundColor(WidgetColor::hex(row->subViewColor));
    lxTitle1->setTextColor(Color::white());
    lxTitle2->setTextColor(Color::white());
    lxTitle3->setTextColor(WidgetColor::rgb(255, 255, 255, 0.7));
    lxTitle1->setStringValue(localized(row->titleKey));
    contentBox->layer()->setBackgroundColor(row->contentBoxColor);
    contentBox->addSubview(lxInstallView);
    proDownloadLabel->setTextColor(WidgetColor::hex(row->progressTextColor));
    proValueLabel->setTextColor(WidgetColor::hex(row->progressTextColor));
    progressView->setIsGra(true);
    progressView->setLeftColor(WidgetColor::hex(row->barLeft));
    progressView->setRightColor(WidgetColor::hex(row->barRight));
  }
  // Any other product: the content box stays empty.
}

void TSRProgressLayout::buildTavinor() {
  tavinorInstallView = std::make_shared<TSRWhiteView>(Rect{0, 0, kScreenWidth, kScreenHeight});
  tavinorInstallView->setIdentifier("progressView");
  tavinorInstallImageView = makeImage(*tavinorInstallView, {200, 196, 200, 160});
  tavinorInstallTitleLabel =
      makeLabel(*tavinorInstallView, {40, 150, 520, 32}, os::ui::TextAlignment::Center);
  tavinorInstallPromptLabel =
      makeLabel(*tavinorInstallView, {40, 106, 520, 38}, os::ui::TextAlignment::Center);
  tavinorInstallPromptLabel->setIdentifier("progressDownloadLabel");
  tavinorInstallProgressLabel =
      makeLabel(*tavinorInstallView, {440, 74, 122, 18}, os::ui::TextAlignment::Right);
  tavinorInstallProgressLabel->setIdentifier("progressPercentLabel");
  tavinorInstallprogressView = std::make_shared<TSRDownloadProgressView>(Rect{40, 60, 520, 6});
  tavinorInstallprogressView->setIdentifier("progressBar");
  tavinorInstallView->addSubview(tavinorInstallprogressView);

  const TavinorRow& row = *rowFor(kTavinorRows, product_);
  tavinorInstallImageView->setImage(image(row.image));
  tavinorInstallTitleLabel->setFont(helvetica(22));
  style(*tavinorInstallTitleLabel, Color::black(), localized(row.titleKey));
  style(*tavinorInstallPromptLabel, kGrey, localized(row.promptKey));
  style(*tavinorInstallProgressLabel, kGrey, "");
  tavinorInstallprogressView->setIsGra(true);
  tavinorInstallprogressView->reInitProgress();
}

void TSRProgressLayout::buildTavinorICloud() {
  tavinoriCloudInstallView =
      std::make_shared<TSRWhiteView>(Rect{0, 0, kScreenWidth, kScreenHeight});
  tavinoriCloudInstallView->setIdentifier("progressView");
  tavinoriCloudInstallImageView = makeImage(*tavinoriCloudInstallView, {150, 170, 300, 200});
  tavinoriCloudInstallImage1 = makeImage(*tavinoriCloudInstallView, {20, 350, 36, 36});
  tavinoriCloudInstallTitleLabel =
      makeLabel(*tavinoriCloudInstallView, {40, 122, 520, 36}, os::ui::TextAlignment::Center);
  tavinorICloudInstallSubTitleLabel =
      makeLabel(*tavinoriCloudInstallView, {40, 94, 520, 24}, os::ui::TextAlignment::Center);
  tavinorICloudInstallProgressLabel =
      makeLabel(*tavinoriCloudInstallView, {440, 70, 122, 18}, os::ui::TextAlignment::Right);
  tavinorICloudInstallProgressLabel->setIdentifier("progressPercentLabel");
  tavinorICloudInstallPregressView =
      std::make_shared<TSRDownloadProgressView>(Rect{40, 56, 520, 6});
  tavinorICloudInstallPregressView->setIdentifier("progressBar");
  tavinoriCloudInstallView->addSubview(tavinorICloudInstallPregressView);
  tavinorICloudInstallTipLabel =
      makeLabel(*tavinoriCloudInstallView, {40, 16, 520, 32}, os::ui::TextAlignment::Center);

  const TavinorICloudRow& row = *rowFor(kTavinorICloudRows, product_);
  tavinoriCloudInstallImageView->setImage(image(row.image));
  if (row.imageCornerRadius > 0) {
    tavinoriCloudInstallImageView->setWantsLayer(true);
    tavinoriCloudInstallImageView->layer()->setCornerRadius(row.imageCornerRadius);
  }
  if (row.secondImage) tavinoriCloudInstallImage1->setImage(image(row.secondImage));
  if (row.boldTitle) {
    tavinoriCloudInstallTitleLabel->setFont(helveticaBold(28));
    tavinorICloudInstallSubTitleLabel->setFont(helvetica(16));
  } else {
    tavinoriCloudInstallTitleLabel->setFont(helvetica(22));
  }
  style(*tavinoriCloudInstallTitleLabel, Color::black(), localized(row.titleKey));
  style(*tavinorICloudInstallSubTitleLabel, kGrey, localized(row.subtitleKey));
  style(*tavinorICloudInstallProgressLabel, kGrey, "");
  style(*tavinorICloudInstallTipLabel, kGrey, localized("Product_TV_iCloudActive_Install_Tip"));
  TSRDownloadProgressView& bar = *tavinorICloudInstallPregressView;
  bar.setIsGra(row.gradientBar);
  bar.setFillColor(row.barFill);
  bar.setLeftColor(row.barLeft);
  bar.setRightColor(row.barRight);
  bar.reInitProgress();
}
