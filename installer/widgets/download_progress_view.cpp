#include "installer/widgets/download_progress_view.h"

#include <cmath>

#include "installer/widgets/widget_color.h"
#include "os/ui/animation.h"
#include "os/ui/drawing.h"

namespace {

constexpr double kCornerRadius = 3.0;
constexpr double kStrokeWidth = 20.0;
constexpr double kStrokeDuration = 3.0;

os::ui::Color trackColor() { return WidgetColor::rgb(230, 230, 230); }
os::ui::Color defaultFillColor() { return WidgetColor::rgb(1, 150, 235); }
os::ui::Color defaultLeftColor() { return WidgetColor::rgb(84, 217, 197); }
os::ui::Color defaultRightColor() { return WidgetColor::rgb(105, 178, 246); }

}  // namespace

TSRDownloadProgressView::TSRDownloadProgressView(const os::ui::Rect& frame) : View(frame) {
  setWantsLayer(true);
  // The stripe's square ends are cut to the track's corners.
  layer()->setCornerRadius(kCornerRadius);
  layer()->setMasksToBounds(true);
}

void TSRDownloadProgressView::setProgress(double percent) {
  const double before = progress_;
  if (percent >= 100) {
    progress_ = 100;
  } else if (percent > progress_) {
    progress_ = percent;
  }
  // Redrawn only when the bar's length changes.
  if (progress_ != before) setNeedsDisplay(true);
}

void TSRDownloadProgressView::reInitProgress() {
  progress_ = 0;
  setNeedsDisplay(true);
  removerAllAnatimation();
}

void TSRDownloadProgressView::progressDrawCount(float length) {
  setWantsLayer(true);
  os::ui::BezierPath path;
  path.moveTo({0, 0});
  path.lineTo({double(length), 0});
  animLayer_ = std::make_shared<os::ui::ShapeLayer>();
  animLayer_->setPath(path);
  animLayer_->setLineWidth(kStrokeWidth);
  animLayer_->setStrokeColor(defaultFillColor());
  animLayer_->setFillColor(std::nullopt);
  layer()->addSublayer(animLayer_);
  animLayer_->setStrokeStart(0);
  animLayer_->setStrokeEnd(0);

  os::ui::BasicAnimation grow("strokeEnd");
  grow.setDuration(kStrokeDuration);
  grow.setFromValue(0.0);
  grow.setToValue(1.0);
  grow.setRemovedOnCompletion(false);
  grow.setFillMode(os::ui::FillMode::Forwards);
  grow.setTimingFunction(os::ui::TimingFunction::named(os::ui::TimingFunction::EaseOut));
  animLayer_->addAnimation(grow, "");
}

void TSRDownloadProgressView::removerAllAnatimation() {
  if (animLayer_) {
    animLayer_->removeAllAnimations();
    animLayer_->removeFromSuperlayer();
    animLayer_.reset();
  }
  layer()->removeAllAnimations();
}

void TSRDownloadProgressView::drawRect(os::ui::GraphicsContext& context,
                                       const os::ui::Rect& dirtyRect) {
  context.save();
  auto track = os::ui::BezierPath::roundedRect(dirtyRect, kCornerRadius, kCornerRadius);
  track.addClip(context);
  context.setFillColor(trackColor());
  track.fill(context);

  const os::ui::Rect b = bounds();
  // Truncated, not rounded: 50 % of 199 points is 99 points.
  double filled = std::trunc(progress_ / 100 * b.width);
  os::ui::Rect stripe{b.x, b.y, filled, b.height};
  if (isGra_) {
    context.save();
    context.clipToRect(stripe);
    os::ui::Gradient gradient({{0.0, leftColor_.value_or(defaultLeftColor())},
                               {0.6, rightColor_.value_or(defaultRightColor())}});
    gradient.drawLinear(context, dirtyRect.origin(), {dirtyRect.x + filled, dirtyRect.y},
                        os::ui::Gradient::kDrawsBeforeStartLocation);
    context.restore();
  } else {
    context.setFillColor(fillColor_.value_or(defaultFillColor()));
    context.fillRect(stripe);
  }
  context.restore();
}
