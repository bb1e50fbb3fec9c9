#include "installer/screens/advertisement_slides.h"

#include <string_view>

#include "installer/app/software_info.h"
#include "installer/app/temp_helper.h"
#include "installer/widgets/animation_factory.h"
#include "os/dispatch/dispatch.h"
#include "os/log/log.h"
#include "os/net/url.h"
#include "os/value/error.h"
#include "os/workspace/workspace.h"

struct TSRAdvertisementSlides::PictureRow {
  const char* titleKey;
  const char* subtitleKey;
  const char* image;
};

namespace {

constexpr TSRAdvertisementSlides::PictureRow kLxPictures[] = {
    {"LX_Ad1_Title", "LX_Ad1_SubTitle", "install_screen_mirroring"},
    {"LX_Ad2_Title", "LX_Ad2_SubTitle", "install_camera_mirroring"},
    {"LX_Ad3_Title", "LX_Ad3_SubTitle", "install_microphone_mirroring"},
    {"LX_Ad4_Title", "LX_Ad4_SubTitle", "install_online_video_casting"},
    {"LX_Ad5_Title", "LX_Ad5_SubTitle", "install_local_file_casting"},
};
constexpr TSRAdvertisementSlides::PictureRow kLxoPictures[] = {
    {"LXO_Ad1_Title", "LXO_Ad1_SubTitle", "ad1"},
    {"LXO_Ad2_Title", "LXO_Ad2_SubTitle", "ad2"},
    {"LXO_Ad3_Title", "LXO_Ad3_SubTitle", "ad3"},
};
constexpr TSRAdvertisementSlides::PictureRow kQmPictures[] = {
    {"QM_Ad1_Title", "QM_Ad1_SubTitle", "install_mac_screencamera"},
    {"QM_Ad2_Title", "QM_Ad2_SubTitle", "install_mac_cameraonly"},
    {"QM_Ad3_Title", "QM_Ad3_SubTitle", "install_mac_screenonly"},
    {"QM_Ad4_Title", "QM_Ad4_SubTitle", "install_mac_audioonly"},
};
constexpr TSRAdvertisementSlides::PictureRow kQsPictures[] = {
    {"QS_Ad1_Title", "QS_Ad1_SubTitle", "install_mac_beautify"},
    {"QS_Ad2_Title", "QS_Ad2_SubTitle", "install_mac_feedback"},
    {"QS_Ad3_Title", "QS_Ad3_SubTitle", "install_mac_ocr"},
    {"QS_Ad4_Title", "QS_Ad4_SubTitle", "install_mac_pin"},
};
// The subtitle's trailing margin while product 15's pictures show.
constexpr double kLxoTitle3Trail = 270.0;
// Pictures of product 4's show.
constexpr int32_t kHlaPictureCount = 4;

}  // namespace

TSRAdvertisementSlides::TSRAdvertisementSlides(TSRProgressLayout& layout) : layout_(layout) {}

TSRAdvertisementSlides::~TSRAdvertisementSlides() {
  *alive_ = false;
  setTimerNil();
}

bool TSRAdvertisementSlides::hasShow(int32_t product) {
  return product == 1 || product == 2 || product == 4 || product == 14 || product == 15;
}

void TSRAdvertisementSlides::start() {
  count_ = 1;
  hlaADNumber_ = 1;
  lxADNumber_ = 1;
  qmADNumber_ = 1;
  const int32_t product = layout_.product();
  if (product == 4) {
    layout_.hlaInstallImageView->setImage(hlaAdImage());
    layout_.hlaInstallImageView->setAction([this](os::ui::Control&) { hlaAdClick(); });
  } else if (product == 14) {
    layout_.lxImageView->setImage(lxAdImage());
  } else if (product == 15) {
    layout_.lxImageView->setImage(lxoAdImage());
  }
  if (hasShow(product)) addTimer();
}

void TSRAdvertisementSlides::addTimer() {
  if (timer_) return;
  const int32_t product = layout_.product();
  double interval = kFadingInterval;
  void (TSRAdvertisementSlides::*step)() = &TSRAdvertisementSlides::changeContentView;
  if (product == 4) {
    interval = kPictureInterval;
    step = &TSRAdvertisementSlides::changeHlaAd;
  } else if (product == 14 || product == 15) {
    interval = kPictureInterval;
    step = &TSRAdvertisementSlides::changeLXAd;
  }
  // The timer dies with the slides (setTimerNil in the destructor), so it may hold `this`.
  timer_ = os::Timer::schedule(interval, true, [this, step](os::Timer&) { (this->*step)(); });
}

void TSRAdvertisementSlides::killTimer() {
  if (timer_) timer_->setFireDate(os::Timer::kDistantFuture);
}

void TSRAdvertisementSlides::setTimerNil() {
  // A parked timer would stay in the run loop for good; nothing can reach it once forgotten.
  if (timer_) timer_->invalidate();
  timer_.reset();
}

void TSRAdvertisementSlides::changeContentView() {
  if (count_ < 0 || count_ > 3) {
    count_ = 0;
    return;
  }
  auto& slides = layout_.adSlides;
  const std::shared_ptr<os::ui::View>& incoming = slides[size_t(count_)].view;
  std::shared_ptr<os::ui::View> outgoing = slides[size_t((count_ + 3) % 4)].view;
  incoming->setWantsLayer(true);
  incoming->layer()->addAnimation(
      TSRAnimation::opacityChangeAnimation(1.0f, 0.0, 1.0, float(kFadeDuration)),
      "animation" + std::to_string(count_ + 1));
  layout_.contentBox->addSubview(incoming);
  os::Timer::schedule(kFadeDuration, false, [alive = alive_, outgoing](os::Timer&) {
    if (*alive) outgoing->removeFromSuperview();
  });
  count_ = (count_ + 1) % 4;
}

std::string TSRAdvertisementSlides::hlaAdImageName(const std::string& language, int32_t number) {
  static constexpr std::pair<std::string_view, const char*> kPrefixes[] = {
      {"en", "install_ad_com"}, {"ja", "install_ad_jp"}, {"fr", "install_ad_fr"},
      {"de", "install_ad_de"},  {"es", "install_ad_es"}, {"ar", "install_ad_ar"},
  };
  std::string prefix = "install_ad_com";
  for (const auto& [start, name] : kPrefixes) {
    if (language.rfind(start, 0) == 0) {
      prefix = name;
      break;
    }
  }
  return prefix + std::to_string(number == 0 ? 1 : number);
}

std::shared_ptr<os::ui::Image> TSRAdvertisementSlides::hlaAdImage() {
  return os::ui::Image::named(
      hlaAdImageName(TSRSoftWareInfo::singleton().defaultLanguage(), hlaADNumber_));
}

void TSRAdvertisementSlides::hlaAdClick() {
  int32_t number = hlaADNumber_ >= 1 && hlaADNumber_ <= kHlaPictureCount ? hlaADNumber_ : 1;
  std::string address =
      TempHelper::getDefaultsLocalizableLanguages("Product_Prompt_HLA_AD" + std::to_string(number));
  std::optional<os::URL> url = os::URL::parse(address);
  os::Error error;
  if (!url || !os::workspace::openURL(*url, &error)) {
    os::log::console("could not open the advertisement " + address);
  }
}

void TSRAdvertisementSlides::pushTransition(os::ui::View& view) {
  view.setWantsLayer(true);
  os::ui::Transition push;
  push.setType(os::ui::Transition::Type::Push);
  push.setSubtype(os::ui::Transition::Subtype::FromRight);
  push.setDuration(kFadeDuration);
  view.layer()->addAnimation(push, "kTransitionAnimation");
}

void TSRAdvertisementSlides::changeHlaAd() {
  hlaADNumber_ = hlaADNumber_ >= kHlaPictureCount ? 1 : hlaADNumber_ + 1;
  layout_.hlaInstallImageView->setImage(hlaAdImage());
  pushTransition(*layout_.hlaInstallView);
}

void TSRAdvertisementSlides::changeLXAd() {
  const bool isLx = layout_.product() == 14;
  const int32_t pictures =
      isLx ? int32_t(std::size(kLxPictures)) : int32_t(std::size(kLxoPictures));
  lxADNumber_ = lxADNumber_ >= pictures ? 1 : lxADNumber_ + 1;
  layout_.lxImageView->setImage(isLx ? lxAdImage() : lxoAdImage());
  pushTransition(*layout_.lxInstallView);
}

std::shared_ptr<os::ui::Image> TSRAdvertisementSlides::showPicture(const PictureRow* rows,
                                                                   size_t count, int32_t n,
                                                                   const char* fallbackImage) {
  const bool known = n >= 1 && size_t(n) <= count;
  auto text = [](const char* key) { return TempHelper::getDefaultsLocalizableLanguages(key); };
  layout_.lxTitle2->setStringValue(known ? text(rows[n - 1].titleKey) : "");
  layout_.lxTitle3->setStringValue(known ? text(rows[n - 1].subtitleKey) : "");
  return os::ui::Image::named(known ? rows[n - 1].image : fallbackImage);
}

std::shared_ptr<os::ui::Image> TSRAdvertisementSlides::lxAdImage() {
  return showPicture(kLxPictures, std::size(kLxPictures), lxADNumber_, kLxPictures[0].image);
}

std::shared_ptr<os::ui::Image> TSRAdvertisementSlides::lxoAdImage() {
  layout_.setLxTitle3Trail(kLxoTitle3Trail);
  // Out of range, product 15's set falls back to product 14's first picture.
  return showPicture(kLxoPictures, std::size(kLxoPictures), lxADNumber_, kLxPictures[0].image);
}

std::shared_ptr<os::ui::Image> TSRAdvertisementSlides::qmAdImage() {
  return showPicture(kQmPictures, std::size(kQmPictures), qmADNumber_, kQmPictures[0].image);
}

std::shared_ptr<os::ui::Image> TSRAdvertisementSlides::qsAdImage() {
  return showPicture(kQsPictures, std::size(kQsPictures), qmADNumber_, kQsPictures[0].image);
}
