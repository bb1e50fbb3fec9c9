// The rounded panel the installer's screens are built from (upper and lower areas, progress,
// error and advertisement panels): a body in a background colour (white when none) with
// optional rules along its top and bottom edges, a rectangular frame and a rounded border.
//
//   auto bottom = std::make_shared<TSRWhiteView>(os::ui::Rect{0, 0, 600, 138});
//   bottom->setBackgroundColor(WidgetColor::rgb(247, 247, 247));
//   bottom->setIsUpline(true);        // a 2-point rule along the top, 1 point of it inside
//
// Everything is clipped to the rounded body, so rules and borders on the edges show their inner
// half. The view can keep the window from being dragged through it (isNOCanDraw) and keep the
// mouse presses, entries and exits from its superviews (isMove). Main thread only.
#pragma once

#include <optional>

#include "os/ui/view.h"

class TSRWhiteView : public os::ui::View {
 public:
  // With a corner radius of 5.
  explicit TSRWhiteView(const os::ui::Rect& frame = {});

  // Body colour; none means white. Redraws.
  const std::optional<os::ui::Color>& backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::optional<os::ui::Color> color);
  // Colour of the frame and the rounded border; none means (229, 229, 229). Does not redraw.
  void setBorderColor(std::optional<os::ui::Color> color) { borderColor_ = color; }
  // A rectangular 2-point frame; redraws only when the value changes.
  bool isDrawFrame() const { return isDrawFrame_; }
  void setIsDrawFrame(bool value);

  // Plain properties; none of them redraws by itself.
  // A thin rule along the bottom edge.
  bool isHaveLine() const { return isHaveLine_; }
  void setIsHaveLine(bool value) { isHaveLine_ = value; }
  // The window cannot be dragged by this view.
  bool isNOCanDraw() const { return isNOCanDraw_; }
  void setIsNOCanDraw(bool value) { isNOCanDraw_ = value; }
  // A 2-point rule along the bottom edge.
  bool isBommt() const { return isBommt_; }
  void setIsBommt(bool value) { isBommt_ = value; }
  // A 2-point rule along the top edge.
  bool isUpline() const { return isUpline_; }
  void setIsUpline(bool value) { isUpline_ = value; }
  // A 2-point rounded border.
  bool hasCorner() const { return hasCorner_; }
  void setHasCorner(bool value) { hasCorner_ = value; }
  // Presses, entries and exits stop here instead of going on to the superviews.
  bool isMove() const { return isMove_; }
  void setIsMove(bool value) { isMove_ = value; }
  float cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(float radius) { cornerRadius_ = radius; }
  bool isRegistedTextView() const { return isRegistedTextView_; }
  void setIsRegistedTextView(bool value) { isRegistedTextView_ = value; }

  bool mouseDownCanMoveWindow() const override { return !isNOCanDraw_; }
  void mouseDown(const os::ui::Event& event) override;
  void mouseEntered(const os::ui::Event& event) override;
  void mouseExited(const os::ui::Event& event) override;
  void drawRect(os::ui::GraphicsContext& context, const os::ui::Rect& dirtyRect) override;

 private:
  std::optional<os::ui::Color> backgroundColor_;
  std::optional<os::ui::Color> borderColor_;
  bool isHaveLine_ = false;
  bool isNOCanDraw_ = false;
  bool isBommt_ = false;
  bool isUpline_ = false;
  bool isDrawFrame_ = false;
  bool hasCorner_ = false;
  bool isMove_ = false;
  float cornerRadius_ = 5.0f;
  bool isRegistedTextView_ = false;
};
