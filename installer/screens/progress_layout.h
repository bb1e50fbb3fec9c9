// The views of the progress screen, built in code for the installed product. Products fall into
// three layout groups, each with its own view that the screen shows while downloading:
//
//   standard        products 1 to 7, 14, 15 and any other number: a content box on top (the
//                   product's picture and texts, or the advertisement slides) over a white
//                   area with the download label, the percent label and the bar
//   tavinor         products 8 and 9
//   tavinor iCloud  products 10 to 13
//
//   auto layout = TSRProgressLayout::build(7);
//   screenView->addSubview(layout->groupView());        // what the screen shows first
//   layout->percentLabel()->setStringValue("37.50%");
//   layout->progressBar()->setProgress(37.5);
//
// The views of the other groups stay null. The slides' first pictures and their timer are not
// set here (see installer/screens/advertisement_slides.h). Main thread only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "installer/widgets/download_progress_view.h"
#include "installer/widgets/image_view.h"
#include "installer/widgets/white_view.h"
#include "os/ui/image_view.h"
#include "os/ui/label.h"
#include "os/ui/view.h"

enum class TSRProgressGroup { Standard, Tavinor, TavinorICloud };

// The layout group of product `product`.
TSRProgressGroup progressGroupForProduct(int32_t product);

// An image that runs its action when clicked (the pictures of product 4's show).
class TSRClickableImageView : public TSRImageView {
 public:
  using TSRImageView::TSRImageView;
  bool mouseDownCanMoveWindow() const override { return false; }
  void mouseDown(const os::ui::Event& event) override;
};

// One slide of the fading show of products 1 and 2.
struct TSRAdSlide {
  std::shared_ptr<os::ui::View> view;
  std::shared_ptr<TSRImageView> imageView;
  std::shared_ptr<os::ui::Label> titleLabel;
  std::shared_ptr<os::ui::Label> subTitleLabel;
  std::shared_ptr<os::ui::Label> promptLabel;
  std::shared_ptr<os::ui::Label> iconLabel;
  std::shared_ptr<os::ui::Label> suffexLabel;
};

class TSRProgressLayout {
 public:
  // The screen's size: the installer window's content.
  static constexpr double kScreenWidth = 600;
  static constexpr double kScreenHeight = 400;
  // The trailing margin of the slides' subtitle of products 14 and 15 until a picture changes it.
  static constexpr double kDefaultLxTitle3Trail = 300;

  // Builds and fills the views of `product`'s group.
  static std::unique_ptr<TSRProgressLayout> build(int32_t product);

  int32_t product() const { return product_; }
  TSRProgressGroup group() const { return group_; }
  // The group's view, which the screen shows while a try runs.
  std::shared_ptr<os::ui::View> groupView() const;
  // The group's bar, percent label and (standard: download label; tavinor: prompt label; iCloud:
  // null) the label that tells what is going on.
  std::shared_ptr<TSRDownloadProgressView> progressBar() const;
  std::shared_ptr<os::ui::Label> percentLabel() const;
  std::shared_ptr<os::ui::Label> downloadLabel() const;

  // The trailing margin of lxTitle3 inside lxInstallView; setting it resizes the label.
  double lxTitle3Trail() const { return lxTitle3Trail_; }
  void setLxTitle3Trail(double trail);

  // Products 4, 14 and 15 show the screen with rounded corners that cut what it holds.
  bool roundsScreenCorners = false;

  // Standard group.
  std::shared_ptr<TSRWhiteView> progressCustomView;
  std::shared_ptr<os::ui::View> contentBox;
  std::shared_ptr<TSRWhiteView> proSubView;
  std::shared_ptr<os::ui::Label> proDownloadLabel;
  std::shared_ptr<os::ui::Label> proValueLabel;
  std::shared_ptr<TSRDownloadProgressView> progressView;
  std::shared_ptr<os::ui::Label> proIconLabel;
  std::shared_ptr<os::ui::View> prCustomView;
  std::shared_ptr<TSRImageView> prImageView;
  std::shared_ptr<os::ui::Label> prTitleLabel;
  std::shared_ptr<os::ui::Label> prPromptLabel;
  std::shared_ptr<os::ui::Label> prIconLabel;
  std::shared_ptr<os::ui::Label> prSuffexLabel;
  std::array<TSRAdSlide, 4> adSlides;
  std::shared_ptr<os::ui::View> hlaInstallView;
  std::shared_ptr<TSRClickableImageView> hlaInstallImageView;
  std::shared_ptr<os::ui::View> lxInstallView;
  std::shared_ptr<TSRImageView> lxImageView;
  std::shared_ptr<os::ui::Label> lxTitle1;
  std::shared_ptr<os::ui::Label> lxTitle2;
  std::shared_ptr<os::ui::Label> lxTitle3;

  // Tavinor group.
  std::shared_ptr<TSRWhiteView> tavinorInstallView;
  std::shared_ptr<TSRImageView> tavinorInstallImageView;
  std::shared_ptr<os::ui::Label> tavinorInstallTitleLabel;
  std::shared_ptr<os::ui::Label> tavinorInstallPromptLabel;
  std::shared_ptr<os::ui::Label> tavinorInstallProgressLabel;
  std::shared_ptr<TSRDownloadProgressView> tavinorInstallprogressView;

  // Tavinor iCloud group.
  std::shared_ptr<TSRWhiteView> tavinoriCloudInstallView;
  std::shared_ptr<TSRImageView> tavinoriCloudInstallImageView;
  std::shared_ptr<TSRImageView> tavinoriCloudInstallImage1;
  std::shared_ptr<os::ui::Label> tavinoriCloudInstallTitleLabel;
  std::shared_ptr<os::ui::Label> tavinorICloudInstallSubTitleLabel;
  std::shared_ptr<TSRDownloadProgressView> tavinorICloudInstallPregressView;
  std::shared_ptr<os::ui::Label> tavinorICloudInstallProgressLabel;
  std::shared_ptr<os::ui::Label> tavinorICloudInstallTipLabel;

 private:
  explicit TSRProgressLayout(int32_t product);
  void buildStandard();
  void fillStandardProductArea();
  void buildTavinor();
  void buildTavinorICloud();

  int32_t product_;
  TSRProgressGroup group_;
  double lxTitle3Trail_ = kDefaultLxTitle3Trail;
};
