// The advertisement slides shown in the progress screen's content box while some products
// download: four still slides fading in one after the other (products 1 and 2), or one picture
// pushed in from the right with changing texts (product 4; products 14 and 15). A repeating
// timer on the main run loop drives the show; the other products have none.
//
//   auto layout = TSRProgressLayout::build(product);
//   TSRAdvertisementSlides slides(*layout);
//   slides.start();                    // first picture, and the timer where the product has one
//   ...
//   slides.killTimer();                // the error page and the end of the installation
//   slides.setTimerNil();
//
// The views belong to the layout, which must outlive the slides. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "installer/screens/progress_layout.h"
#include "os/dispatch/runloop.h"
#include "os/ui/image.h"

class TSRAdvertisementSlides {
 public:
  // Seconds between two slides of the fading show, and between two pictures of the others.
  static constexpr double kFadingInterval = 8.0;
  static constexpr double kPictureInterval = 5.0;
  // How long a slide fades in; the outgoing one goes when it is done.
  static constexpr double kFadeDuration = 0.5;

  explicit TSRAdvertisementSlides(TSRProgressLayout& layout);
  ~TSRAdvertisementSlides();
  TSRAdvertisementSlides(const TSRAdvertisementSlides&) = delete;
  TSRAdvertisementSlides& operator=(const TSRAdvertisementSlides&) = delete;

  // What the layout does for the show once: the counters start at 1, product 4 and products 14
  // and 15 show their first picture (product 4's clickable), and the products with a show
  // (1, 2, 4, 14, 15) start the timer.
  void start();
  // Whether product `product` has a show.
  static bool hasShow(int32_t product);

  // Creates the repeating timer unless one exists: 5 s and changeHlaAd for product 4, 5 s and
  // changeLXAd for 14 and 15, 8 s and changeContentView for every other product.
  void addTimer();
  // Parks the timer (its next fire never comes); nothing without a timer.
  void killTimer();
  // Forgets the timer (a parked one is invalidated); a later addTimer makes a new one.
  void setTimerNil();
  // The timer, or null.
  const std::shared_ptr<os::Timer>& timer() const { return timer_; }

  // One step of the fading show: slide count+1 fades into the content box in 0.5 s (animation
  // key "animation1" to "animation4"), the one before it leaves 0.5 s later.
  void changeContentView();
  // Product 4: the next of four pictures, pushed in from the right.
  void changeHlaAd();
  // Product 4's picture `hlaADNumber` for the user's language ("install_ad_de2").
  std::shared_ptr<os::ui::Image> hlaAdImage();
  static std::string hlaAdImageName(const std::string& language, int32_t number);
  // Product 4: opens the address behind the current picture (localised
  // "Product_Prompt_HLA_AD<n>").
  void hlaAdClick();
  // Products 14 (five pictures) and 15 (three): the next picture, pushed in from the right.
  void changeLXAd();
  // The picture `lxADNumber` of product 14 or 15; sets the two slide texts.
  std::shared_ptr<os::ui::Image> lxAdImage();
  std::shared_ptr<os::ui::Image> lxoAdImage();
  // Two further sets of four pictures in the same manner, by qmADNumber; no product's show
  // uses them.
  std::shared_ptr<os::ui::Image> qmAdImage();
  std::shared_ptr<os::ui::Image> qsAdImage();

  // One picture of products 14 and 15: the localisation keys of its two texts and its image.
  struct PictureRow;

  int32_t count() const { return count_; }
  int32_t hlaADNumber() const { return hlaADNumber_; }
  int32_t lxADNumber() const { return lxADNumber_; }
  int32_t qmADNumber() const { return qmADNumber_; }
  void setQmADNumber(int32_t number) { qmADNumber_ = number; }

 private:
  // Sets lxTitle2 and lxTitle3 from the `n`th of `rows` and returns its image; empty texts and
  // the picture `fallbackImage` for any other `n`.
  std::shared_ptr<os::ui::Image> showPicture(const PictureRow* rows, size_t count, int32_t n,
                                             const char* fallbackImage);
  void pushTransition(os::ui::View& view);

  TSRProgressLayout& layout_;
  std::shared_ptr<os::Timer> timer_;
  int32_t count_ = 0;
  int32_t hlaADNumber_ = 0;
  int32_t lxADNumber_ = 0;
  int32_t qmADNumber_ = 0;
  // Lets the delayed removals of outgoing slides know the slides are gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
