// The horizontal progress bar of the installer's progress screen: a percentage from 0 to 100
// shown as a stripe that grows from the left edge over a light grey track with 3-point corners.
// The stripe is one flat colour or a left-to-right gradient. The value only moves forward;
// reInitProgress is the one way back to 0.
//
//   auto bar = std::make_shared<TSRDownloadProgressView>(os::ui::Rect{40, 120, 520, 6});
//   bar->setIsGra(true);                    // default colours (84,217,197) to (105,178,246)
//   bar->reInitProgress();
//   bar->setProgress(37.5);                 // from the download's progress, on the main thread
//
// The bar can also draw a thick stroke growing along its axis over 3 seconds
// (progressDrawCount), which removerAllAnatimation takes away. Main thread only.
#pragma once

#include <memory>
#include <optional>

#include "os/ui/layer.h"
#include "os/ui/view.h"

class TSRDownloadProgressView : public os::ui::View {
 public:
  // At 0 %, layer-backed with the track's rounded corners masking what it draws.
  explicit TSRDownloadProgressView(const os::ui::Rect& frame = {});

  double progress() const { return progress_; }
  // Shows `percent`: 100 or more shows exactly 100; a value above the one shown replaces it;
  // anything else (smaller, equal, NaN) is ignored. Redraws only when the value shown changes.
  void setProgress(double percent);
  // Back to 0 % without the stroke animation.
  void reInitProgress();

  // Starts a 20-point stroke in (1,150,235) that grows from the view's origin along its x axis
  // to `length` points in 3 seconds (easing out) and then stays.
  void progressDrawCount(float length);
  // Removes the stroke and its animation, then every animation of the view's own layer.
  void removerAllAnatimation();

  // Gradient stripe instead of the flat one. The colour setters do not redraw.
  bool isGra() const { return isGra_; }
  void setIsGra(bool isGra) { isGra_ = isGra; }
  // Flat stripe colour; unset means (1, 150, 235).
  const std::optional<os::ui::Color>& fillColor() const { return fillColor_; }
  void setFillColor(std::optional<os::ui::Color> color) { fillColor_ = color; }
  // Gradient ends; unset mean (84, 217, 197) and (105, 178, 246).
  const std::optional<os::ui::Color>& leftColor() const { return leftColor_; }
  void setLeftColor(std::optional<os::ui::Color> color) { leftColor_ = color; }
  const std::optional<os::ui::Color>& rightColor() const { return rightColor_; }
  void setRightColor(std::optional<os::ui::Color> color) { rightColor_ = color; }

  // The stroke layer while progressDrawCount's stroke exists, else null.
  const std::shared_ptr<os::ui::ShapeLayer>& animLayer() const { return animLayer_; }

  void drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& dirtyRect) override;

 private:
  double progress_ = 0;
  std::shared_ptr<os::ui::ShapeLayer> animLayer_;
  bool isGra_ = false;
  std::optional<os::ui::Color> fillColor_;
  std::optional<os::ui::Color> leftColor_;
  std::optional<os::ui::Color> rightColor_;
};
