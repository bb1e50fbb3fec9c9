#include "installer/screens/alert_view_controller.h"

#include <algorithm>
#include <cmath>
#include <typeinfo>

#include "installer/app/software_info.h"
#include "installer/widgets/alert_super_view.h"
#include "installer/widgets/animation_factory.h"
#include "installer/widgets/text_style.h"
#include "installer/widgets/widget_color.h"
#include "os/dispatch/runloop.h"
#include "os/log/log.h"
#include "os/ui/animation.h"
#include "os/ui/application.h"

using os::ui::Color;
using os::ui::Rect;
using WidgetColor::rgb;

namespace {

// The question panel as its interface file lays it out: points from the bottom-left corner of
// the panel, whose card is inset 5 points; its top 10 points stay above the view.
const struct {
  Rect panel{0, 0, 420, 150};
  Rect image{20, 60, 64, 64};
  Rect text{100, 60, 284, 38};
  Rect subtitle{100, 40, 284, 18};
  Rect cancel{225, 15, 80, 22};
  Rect ok{320, 15, 80, 22};
} kPromptLayout;

// How far the hanging panel reaches above the view's top edge.
constexpr double kHangAbove = 10;
constexpr double kSlideDuration = 0.5;
constexpr double kButtonHeight = 22;
constexpr double kButtonMinimumWidth = 80;
constexpr double kButtonTitlePadding = 40;
constexpr double kButtonGap = 15;
constexpr double kButtonRightMargin = 20;
constexpr float kButtonTitleSize = 12;

// Picture and text placement by the width of the text in one line: up to three lines in the
// text field, else four with the field lowered. Texts that fit keep the laid-out y, also after a
// long text lowered the field.
struct TextFit {
  double maximumWidth;
  double imageY;
  double textY;
  double textHeight;
};
const TextFit kTextFits[] = {
    {279, 60, kPromptLayout.text.y, 38},
    {561, 60, kPromptLayout.text.y, 49},
    {840, 70, kPromptLayout.text.y, 60},
    {INFINITY, 70, 45, 80},
};

struct GradientPair {
  Color left, right;
};

// The OK button's gradients by look; Cancel shares the enter and down ones.
struct AlertPalette {
  GradientPair normal, enter, down;
};

// The palette of each product group (Brevalo is products 1, 4, 5, 6 and 7).
AlertPalette paletteFor(int32_t product) {
  switch (product) {
    case 2:
      return {{rgb(38, 186, 110), rgb(62, 196, 128)},
              {rgb(46, 194, 118), rgb(70, 204, 136)},
              {rgb(30, 160, 94), rgb(32, 168, 100)}};
    case 3:
      return {{rgb(0, 170, 170), rgb(32, 182, 182)},
              {rgb(10, 180, 180), rgb(40, 190, 190)},
              {rgb(0, 146, 146), rgb(0, 154, 154)}};
    case 8:
    case 9:
    case 10:
      return {{rgb(17, 127, 228), rgb(45, 145, 235)},
              {rgb(27, 137, 238), rgb(55, 155, 240)},
              {rgb(12, 110, 200), rgb(14, 116, 210)}};
    case 11:
      return {{rgb(45, 196, 255), rgb(80, 208, 255)},
              {rgb(55, 202, 255), rgb(90, 212, 255)},
              {rgb(30, 170, 225), rgb(32, 178, 235)}};
    case 12:
      return {{rgb(0, 184, 148), rgb(40, 196, 166)},
              {rgb(10, 192, 156), rgb(50, 202, 172)},
              {rgb(0, 158, 128), rgb(0, 166, 134)}};
    case 13:
      return {{rgb(52, 120, 246), rgb(84, 144, 250)},
              {rgb(62, 130, 250), rgb(94, 152, 252)},
              {rgb(40, 100, 214), rgb(42, 106, 224)}};
    case 14:
      return {{WidgetColor::hex(0xce68ff), WidgetColor::hex(0x2f87ff)},
              {WidgetColor::hex(0xd47cff), WidgetColor::hex(0x4595ff)},
              {WidgetColor::hex(0xb04ee0), WidgetColor::hex(0x2070e0)}};
    case 15:
      return {{WidgetColor::hex(0x7057ea), WidgetColor::hex(0x7057ea)},
              {WidgetColor::hex(0x8b77ee), WidgetColor::hex(0x8b77ee)},
              {WidgetColor::hex(0x3116b6), WidgetColor::hex(0x3116b6)}};
    default:
      return {{rgb(6, 146, 255), rgb(47, 160, 248)},
              {rgb(15, 150, 255), rgb(55, 163, 248)},
              {rgb(5, 131, 230), rgb(5, 138, 242)}};
  }
}

const char* alertImageName(int32_t product) {
  switch (product) {
    case 1:
      return "other_alert_kvi";
    case 2:
      return "other_alert_kva";
    case 3:
      return "other_alert_hli";
    case 4:
      return "other_alert_hla";
    case 5:
      return "other_alert_kvc";
    case 6:
      return "other_alert_sn";
    case 7:
      return "other_alert_bv";
    case 8:
    case 10:
      return "other_alert_tv";
    case 9:
      return "other_alert_rm";
    default:
      return "other_alert";
  }
}

}  // namespace

std::shared_ptr<TSRAlertViewController> TSRAlertViewController::create() {
  auto controller = std::make_shared<TSRAlertViewController>(Private{});
  controller->layOutView();
  return controller;
}

TSRAlertViewController::TSRAlertViewController(Private) : view_(std::make_shared<os::ui::View>()) {}

TSRAlertViewController::Panel TSRAlertViewController::makePanel(
    std::initializer_list<const char*> identifiers, bool subtitled) {
  auto name = identifiers.begin();
  Panel made{std::make_shared<TSRBorderRectAndColorView>(kPromptLayout.panel),
             std::make_shared<os::ui::ImageView>(kPromptLayout.image),
             std::make_shared<os::ui::Label>(kPromptLayout.text),
             std::make_shared<TSRGridientButton>(kPromptLayout.ok),
             nullptr,
             nullptr};
  if (identifiers.size() == 5)
    made.cancel = std::make_shared<TSRGridientButton>(kPromptLayout.cancel);
  made.panel->setIdentifier(*name++);
  made.image->setIdentifier(*name++);
  made.title->setIdentifier(*name++);
  made.ok->setIdentifier(*name++);
  if (made.cancel) made.cancel->setIdentifier(*name++);
  made.title->setFont(os::ui::Font::named("Helvetica Neue Bold", 13));
  TextStyle::fitToFrame(*made.title);
  if (subtitled) {
    made.subtitle = std::make_shared<os::ui::Label>(kPromptLayout.subtitle);
    made.subtitle->setFont(os::ui::Font::named("Helvetica Neue", 12));
    TextStyle::fitToFrame(*made.subtitle);
  }
  for (const auto& part : std::initializer_list<std::shared_ptr<os::ui::View>>{
           made.image, made.title, made.subtitle, made.cancel, made.ok}) {
    if (part) made.panel->addSubview(part);
  }
  return made;
}

void TSRAlertViewController::layOutView() {
  question_ = makePanel({kPanelIdentifier, kImageIdentifier, kTextIdentifier, kOKButtonIdentifier,
                         kCancelButtonIdentifier});
  notice_ = makePanel({kNoticePanelIdentifier, kNoticeImageIdentifier, kNoticeTextIdentifier,
                       kNoticeButtonIdentifier});
  subtitledNotice_ = makePanel({kSubtitledNoticePanelIdentifier, "", "", ""}, true);
  titlePrompt_ = makePanel({kTitlePromptPanelIdentifier, "", "", "", ""}, true);
  std::weak_ptr<TSRAlertViewController> weak = weak_from_this();
  subtitledNotice_.ok->setAction([weak](os::ui::Control&) {
    if (auto controller = weak.lock()) controller->closePromptAlertView3();
  });
  titlePrompt_.ok->setAction([weak](os::ui::Control&) {
    if (auto controller = weak.lock()) controller->titlePromptAlertViewOkButtonClick();
  });
  titlePrompt_.cancel->setAction([weak](os::ui::Control&) {
    if (auto controller = weak.lock()) controller->titlePromptAlertViewCancelButtonClick();
  });
  question_.ok->setAction([weak](os::ui::Control&) {
    if (auto controller = weak.lock()) controller->promptAlertViewOkButtonClick();
  });
  question_.cancel->setAction([weak](os::ui::Control&) {
    if (auto controller = weak.lock()) controller->promptAlertViewCancelButtonClick();
  });
  notice_.ok->setAction([weak](os::ui::Control&) {
    if (auto controller = weak.lock()) controller->closePromptAlertView();
  });
}

bool TSRAlertViewController::present(const Panel& panel, const std::string& text,
                                     const std::string& cancelTitle, const std::string& okTitle,
                                     const std::shared_ptr<os::ui::View>& superView) {
  os::ui::Window* window = os::ui::Application::shared().mainWindow();
  if (!window || !superView) {
    os::log::write(os::log::Level::Error, "alert: no main window to ask in");
    return false;
  }
  window->contentView()->addSubview(superView);
  superView->setHidden(false);
  mainView_ = superView;
  superView->setWantsLayer(true);
  view_->setFrame({{0, 0}, superView->frame().size()});
  superView->addSubview(view_);

  loadAlertView(panel.panel);

  panel.title->setStringValue(text);
  panel.title->setTextColor(Color::black());
  int32_t product = TSRSoftWareInfo::singleton().installProduct();
  panel.image->setImage(os::ui::Image::named(alertImageName(product)));
  const AlertPalette palette = paletteFor(product);
  const Color white = Color::white();
  const Color disabled = rgb(219, 219, 219);
  panel.ok->setIsLeftRightGridient(true, palette.normal.left, palette.normal.right,
                                   palette.enter.left, palette.enter.right, palette.down.left,
                                   palette.down.right, disabled, disabled);
  panel.ok->setButtonTitle(okTitle, white, white, white, white, kButtonTitleSize, false);
  if (panel.cancel) {
    panel.cancel->setIsLeftRightGridient(true, white, white, palette.enter.left,
                                         palette.enter.right, palette.down.left, palette.down.right,
                                         white, white);
    panel.cancel->setButtonBorder(true, rgb(204, 204, 204), Color::clear(), Color::clear(),
                                  rgb(229, 229, 229), 1);
    panel.cancel->setButtonTitle(cancelTitle, Color::black(), white, white, white, kButtonTitleSize,
                                 false);
  }
  fitToTexts(panel, text, cancelTitle, okTitle);
  return true;
}

int32_t TSRAlertViewController::showAlertText(const std::string& text,
                                              const std::string& cancelTitle,
                                              const std::string& okTitle,
                                              const std::shared_ptr<os::ui::View>& superView) {
  auto keep = shared_from_this();  // the nested run may drop the caller's reference
  if (!present(question_, text, cancelTitle, okTitle, superView)) return 0;
  endRunloop_ = false;

  // Clicks go to this window only until a button (or a cancel from outside) ends the question;
  // the nested run keeps timers, animations and main-queue work going.
  auto& application = os::ui::Application::shared();
  os::ui::Window* window = application.mainWindow();
  auto session = application.beginModalSession(*window);
  os::RunLoop::main().runUntil(
      [&] { return endRunloop_ || session->response() != os::ui::kModalResponseContinue; },
      os::kWaitForever);
  application.endModalSession(*session);
  return result_;
}

void TSRAlertViewController::showAlertText(const std::string& text, const std::string& buttonTitle,
                                           const std::shared_ptr<os::ui::View>& superView) {
  present(notice_, text, "", buttonTitle, superView);
}

int32_t TSRAlertViewController::showAlertTextInFreeHost(os::ui::Window* window,
                                                        const std::string& text,
                                                        const std::string& cancelTitle,
                                                        const std::string& okTitle) {
  if (!window) return 0;
  const auto& content = window->contentView();
  // A copy: bringing the host to the front reorders the subviews.
  const auto subviews = content->subviews();
  for (const auto& candidate : subviews) {
    const os::ui::View& view = *candidate;
    if (typeid(view) != typeid(TSRAlertSuperView) || !candidate->subviews().empty()) {
      continue;
    }
    candidate->removeFromSuperview();
    content->addSubview(candidate);
    candidate->setHidden(false);
    return showAlertText(text, cancelTitle, okTitle, candidate);
  }
  return 0;
}

void TSRAlertViewController::fitToTexts(const Panel& panel, const std::string& text,
                                        const std::string& cancelTitle,
                                        const std::string& okTitle) {
  double width =
      TextStyle::calcuTextBounds(text, os::ui::Font::named("Helvetica Neue Bold", 13)).width;
  const TextFit& fit = *std::find_if(std::begin(kTextFits), std::end(kTextFits),
                                     [&](const TextFit& f) { return width <= f.maximumWidth; });
  panel.image->setFrameOrigin({kPromptLayout.image.x, fit.imageY});
  Rect field = panel.title->frame();
  panel.title->setFrame({field.x, fit.textY, field.width, fit.textHeight});

  os::ui::Font buttonFont = os::ui::Font::named("Helvetica Neue", kButtonTitleSize);
  double titles = std::max(TextStyle::calcuTextBounds(okTitle, buttonFont).width,
                           TextStyle::calcuTextBounds(cancelTitle, buttonFont).width);
  double buttonWidth = std::max(titles + kButtonTitlePadding, kButtonMinimumWidth);
  double panelWidth = panel.panel->frame().width;
  double okX = std::ceil(panelWidth - buttonWidth - kButtonRightMargin);
  double buttonY = panel.ok->frame().y;
  panel.ok->setFrame({okX, buttonY, std::ceil(buttonWidth), kButtonHeight});
  if (!panel.cancel) return;
  panel.cancel->setFrame(
      {std::ceil(okX - kButtonGap - buttonWidth), buttonY, std::ceil(buttonWidth), kButtonHeight});
  panel.cancel->setHidden(cancelTitle.empty());
}

void TSRAlertViewController::endQuestion(int32_t result, const Panel& panel, bool onlyOnce) {
  if (onlyOnce && endRunloop_) return;
  result_ = result;
  endRunloop_ = true;
  unloadAlertView(panel.panel);
}

void TSRAlertViewController::promptAlertViewOkButtonClick() { endQuestion(1, question_, false); }

void TSRAlertViewController::promptAlertViewCancelButtonClick() { endQuestion(0, question_, true); }

void TSRAlertViewController::titlePromptAlertViewOkButtonClick() {
  endQuestion(1, titlePrompt_, false);
}

void TSRAlertViewController::titlePromptAlertViewCancelButtonClick() {
  endQuestion(0, titlePrompt_, true);
}

void TSRAlertViewController::closePromptAlertView() { unloadAlertView(notice_.panel); }

void TSRAlertViewController::closePromptAlertView3() { unloadAlertView(subtitledNotice_.panel); }

void TSRAlertViewController::setupAlertRect(TSRBorderRectAndColorView& panel) {
  panel.setBackground(Color::white());
  panel.setWantsLayer(true);
  Rect host = view_->bounds();
  Rect frame = panel.frame();
  panel.setFrameOrigin({std::ceil((host.x + host.width - frame.width) / 2), host.maxY()});
}

void TSRAlertViewController::loadAlertView(
    const std::shared_ptr<TSRBorderRectAndColorView>& panel) {
  setupAlertRect(*panel);
  if (panel->superview() != view_.get()) view_->addSubview(panel);
  double height = std::trunc(panel->frame().height);
  // The panel's layer holds the completion: weak references keep them from holding each other.
  std::weak_ptr<TSRAlertViewController> weak = weak_from_this();
  std::weak_ptr<TSRBorderRectAndColorView> weakPanel = panel;
  os::ui::AnimationContext::runAnimationGroup(
      [&] {
        panel->layer()->addAnimation(
            TSRAnimation::moveY(kSlideDuration, 0.0, kHangAbove - height, 0), "moveY");
      },
      [weak, weakPanel, height] {
        auto controller = weak.lock();
        auto panel = weakPanel.lock();
        if (!controller || !panel) return;
        panel->layer()->removeAnimation("moveY");
        panel->setFrameOrigin(
            {panel->frame().x, controller->view_->bounds().maxY() - height + kHangAbove});
      });
}

void TSRAlertViewController::unloadAlertView(
    const std::shared_ptr<TSRBorderRectAndColorView>& panel) {
  double height = std::trunc(panel->frame().height);
  std::weak_ptr<TSRAlertViewController> weak = weak_from_this();
  std::weak_ptr<TSRBorderRectAndColorView> weakPanel = panel;
  os::ui::AnimationContext::runAnimationGroup(
      [&] {
        panel->setWantsLayer(true);
        panel->layer()->addAnimation(TSRAnimation::moveY(kSlideDuration, 0.0, height, 1), "moveY");
      },
      [weak, weakPanel] {
        auto controller = weak.lock();
        auto panel = weakPanel.lock();
        if (!controller || !panel) return;
        panel->layer()->removeAnimation("moveY");
        controller->setupAlertRect(*panel);
        panel->removeFromSuperview();
        controller->view_->removeFromSuperview();
        // The emptied host stays in the window so that it can be offered again, but hidden: a
        // host left showing over the whole window would take every click meant for the screen.
        if (controller->mainView_) controller->mainView_->setHidden(true);
      });
}
