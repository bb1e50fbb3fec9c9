#include "installer/screens/alert_view_controller.h"

#include <gtest/gtest.h>

#include <functional>

#include "installer/app/installer_test_environment.h"
#include "installer/widgets/alert_super_view.h"
#include "installer/widgets/no_title_bar_window.h"
#include "installer/widgets/text_style.h"
#include "os/dispatch/dispatch.h"
#include "os/dispatch/runloop.h"
#include "os/process/clock.h"
#include "os/ui/test_fixture.h"

namespace {

using os::ui::Rect;
using os::ui::testing::rgb;

constexpr double kWindowHeight = 400;
constexpr double kPanelHeight = 150;

// The installer's 600 x 400 window for product 7 with a free alert host over its content, on a
// fake media clock.
class AlertViewControllerTest : public os::ui::testing::HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    window_ = TSRNoTitleBarWindow::create({100, 100, 600, kWindowHeight});
    window_->makeKeyAndOrderFront();
    host_ = std::make_shared<TSRAlertSuperView>(window_->contentView()->bounds());
    alert_ = TSRAlertViewController::create();
  }
  void TearDown() override {
    screen_->mouseExit(*window_);
    HeadlessTest::TearDown();
  }

  // Asks with `during` run from inside the question's nested loop.
  int32_t ask(std::function<void()> during, const std::string& text = "Replace it?",
              const std::string& cancel = "Cancel", const std::string& ok = "Replace") {
    os::DispatchQueue::main()->async(std::move(during));
    return alert_->showAlertText(text, cancel, ok, host_);
  }

  // Moves the media clock and lets the application end what finished, as a loop turn does.
  void advance(double seconds) {
    clock_.advance(seconds);
    os::ui::Application::shared().updateDisplay();
  }

  double panelTranslation() {
    auto value = alert_->promptAlertView2()->layer()->presentationValue("transform.translation.y");
    return value ? std::get<double>(*value) : 0;
  }

  // Clicks the part of the panel with `identifier` as a person would.
  void click(const char* identifier) { ASSERT_TRUE(screen_->clickView(*window_, identifier)); }

  // A text that measures more than `width` points in the panel's font.
  static std::string textWiderThan(double width) {
    std::string text = "Replace";
    auto font = os::ui::Font::named("Helvetica Neue Bold", 13);
    while (TextStyle::calcuTextBounds(text, font).width <= width) text += " Replace";
    return text;
  }

  InstallerTestEnvironment environment_;
  os::clock::ScopedFakeClock clock_{os::clock::kReferenceDate1970, 1000};
  std::shared_ptr<TSRNoTitleBarWindow> window_;
  std::shared_ptr<TSRAlertSuperView> host_;
  std::shared_ptr<TSRAlertViewController> alert_;
};

TEST_F(AlertViewControllerTest, PanelSlidesDownHangsAndSlidesOutAtVirtualTimes) {
  auto panel = alert_->promptAlertView2();
  int checks = 0;
  int32_t answer = ask([&] {
    // Centred just above the top edge, then down by its height less 10 points.
    EXPECT_EQ(panel->frame(), (Rect{90, kWindowHeight, 420, kPanelHeight}));
    EXPECT_DOUBLE_EQ(panelTranslation(), 0);
    advance(0.25);
    EXPECT_NEAR(panelTranslation(), (10 - kPanelHeight) / 2, 1e-9);
    advance(0.25);
    // The completion ran: the panel hangs from the top edge without its animation.
    EXPECT_EQ(panel->frame(), (Rect{90, kWindowHeight - kPanelHeight + 10, 420, kPanelHeight}));
    EXPECT_EQ(panel->layer()->animationForKey("moveY"), nullptr);
    // It ran once: a frame changed afterwards stays.
    panel->setFrameOrigin({90, 0});
    advance(1);
    EXPECT_EQ(panel->frame().y, 0);
    panel->setFrameOrigin({90, kWindowHeight - kPanelHeight + 10});
    // The white card hangs in the window, the OK button drawn on it.
    EXPECT_EQ(probe(*window_, {300, 330}), rgb(255, 255, 255));
    EXPECT_PIXEL_NEAR(probe(*window_, {90 + 322, 260 + 26}), rgb(6, 146, 255), 4);
    ++checks;
    click(TSRAlertViewController::kOKButtonIdentifier);
  });
  EXPECT_EQ(checks, 1);
  EXPECT_EQ(answer, 1);

  // Up by its height, then gone with the controller's view; the host is free again.
  EXPECT_DOUBLE_EQ(panelTranslation(), 0);
  advance(0.25);
  EXPECT_NEAR(panelTranslation(), kPanelHeight / 2, 1e-9);
  EXPECT_EQ(alert_->view()->superview(), host_.get());
  advance(0.25);
  EXPECT_EQ(panel->superview(), nullptr);
  EXPECT_EQ(alert_->view()->superview(), nullptr);
  EXPECT_TRUE(host_->subviews().empty());
  EXPECT_EQ(host_->superview(), window_->contentView().get());
}

TEST_F(AlertViewControllerTest, TextAndButtonTitlesSizeThePanel) {
  struct Case {
    const char* name;
    std::string text, cancel, ok;
    Rect image, textField;
    double buttonWidth;  // 0: measured from the wider title
    bool cancelHidden;
  };
  const std::string wideTitle = "Replace the copy already installed";
  const Case cases[] = {
      {"one line", "Replace?", "No", "OK", {20, 60, 64, 64}, {100, 60, 284, 38}, 80, false},
      {"300 points",
       textWiderThan(299),
       "No",
       "Yes",
       {20, 60, 64, 64},
       {100, 60, 284, 49},
       80,
       false},
      {"two lines",
       textWiderThan(561),
       "No",
       "Yes",
       {20, 70, 64, 64},
       {100, 60, 284, 60},
       80,
       false},
      {"longer", textWiderThan(840), "No", "Yes", {20, 70, 64, 64}, {100, 45, 284, 80}, 80, false},
      {"wide title",
       "Replace?",
       "Cancel",
       wideTitle,
       {20, 60, 64, 64},
       {100, 60, 284, 38},
       0,
       false},
      {"no cancel", "Replace?", "", "OK", {20, 60, 64, 64}, {100, 60, 284, 38}, 80, true},
      {"cancel again", "Replace?", "Cancel", "OK", {20, 60, 64, 64}, {100, 60, 284, 38}, 80, false},
  };
  auto width = [](const std::string& text) {
    return TextStyle::calcuTextBounds(text, os::ui::Font::named("Helvetica Neue", 12)).width;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    double b = c.buttonWidth != 0 ? c.buttonWidth : width(wideTitle) + 40;
    if (c.buttonWidth == 80) {
      ASSERT_LT(std::max(width(c.ok), width(c.cancel)), 40);
    }
    ask(
        [&] {
          EXPECT_EQ(alert_->promptAlertImage2()->frame(), c.image);
          EXPECT_EQ(alert_->promptAlertTitle2()->frame(), c.textField);
          EXPECT_EQ(alert_->promptAlertTitle2()->stringValue(), c.text);
          double okX = std::ceil(420 - b - 20);
          EXPECT_EQ(alert_->promptAlertOKBtn()->frame(), (Rect{okX, 15, std::ceil(b), 22}));
          EXPECT_EQ(alert_->promptAlertCancelBtn()->frame(),
                    (Rect{std::ceil(okX - 15 - b), 15, std::ceil(b), 22}));
          EXPECT_EQ(alert_->promptAlertCancelBtn()->isHidden(), c.cancelHidden);
          alert_->promptAlertViewCancelButtonClick();
        },
        c.text, c.cancel, c.ok);
    advance(1);  // the panel has slid out before the next question
  }
}

TEST_F(AlertViewControllerTest, RepeatingTimerKeepsFiringWhileTheQuestionWaits) {
  int fires = 0;
  auto timer = os::Timer::schedule(0.01, true, [&](os::Timer&) {
    ++fires;
    if (fires == 1) advance(0.5);  // the panel has come down
    if (fires == 5) click(TSRAlertViewController::kCancelButtonIdentifier);
  });
  int32_t answer = alert_->showAlertText("Quit the installation?", "Cancel", "Yes", host_);
  timer->invalidate();
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(fires, 5);
}

TEST_F(AlertViewControllerTest, CancellingTwiceEndsTheQuestionOnceWithZero) {
  int32_t answer = ask([&] {
    advance(0.5);
    alert_->promptAlertViewCancelButtonClick();
    advance(0.3);
    alert_->promptAlertViewCancelButtonClick();
  });
  EXPECT_EQ(answer, 0);
  // The first slide-out ends 0.5 s after the first cancel, not after the second.
  advance(0.25);
  EXPECT_EQ(alert_->promptAlertView2()->superview(), nullptr);

  // An answer of 1 after a cancelled question.
  answer = ask([&] { alert_->promptAlertViewOkButtonClick(); });
  EXPECT_EQ(answer, 1);
}

}  // namespace

TEST_F(AlertViewControllerTest, NoticeReturnsAtOnceAndItsButtonSlidesItOut) {
  alert_->showAlertText("The installation has finished.", "OK", host_);

  // Nothing waits for the answer: the call is back while the notice is still sliding in.
  auto notice = alert_->promptAlertView();
  EXPECT_EQ(notice->superview(), alert_->view().get());
  EXPECT_EQ(alert_->promptAlertTitle()->stringValue(), "The installation has finished.");
  EXPECT_EQ(alert_->promptAlertButton()->frame(), (Rect{320, 15, 80, 22}));
  EXPECT_EQ(alert_->promptAlertView2()->superview(), nullptr);
  advance(0.6);
  EXPECT_EQ(notice->frame().y, kWindowHeight - kPanelHeight + 10);

  click(TSRAlertViewController::kNoticeButtonIdentifier);
  advance(0.6);
  EXPECT_EQ(notice->superview(), nullptr);
  EXPECT_EQ(alert_->view()->superview(), nullptr);
  EXPECT_TRUE(host_->isHidden());

  // The host is free again for a question.
  int32_t answer =
      ask([&] { alert_->promptAlertViewOkButtonClick(); }, "Open it now?", "Later", "Open");
  EXPECT_EQ(answer, 1);
}

namespace {

TEST_F(AlertViewControllerTest, SubtitledPanelsCarryTheirPartsAndTheirButtonsEndAQuestion) {
  for (const auto& panel : {alert_->promptAlertView3(), alert_->promptAlertView4()}) {
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->superview(), nullptr);
  }
  EXPECT_EQ(alert_->promptAlertSubTitle3()->superview(), alert_->promptAlertView3().get());
  EXPECT_EQ(alert_->promptAlertButton3()->superview(), alert_->promptAlertView3().get());
  EXPECT_EQ(alert_->promptAlertSubTitle4()->superview(), alert_->promptAlertView4().get());
  EXPECT_EQ(alert_->promptAlertCancelBtn4()->superview(), alert_->promptAlertView4().get());

  // The buttons' actions: Cancel ends once with 0, OK with 1.
  EXPECT_FALSE(alert_->endRunloop());
  alert_->promptAlertCancelBtn4()->sendAction();
  EXPECT_TRUE(alert_->endRunloop());
  EXPECT_EQ(alert_->result(), 0);
  alert_->promptAlertOKBtn4()->sendAction();
  EXPECT_EQ(alert_->result(), 1);
  alert_->titlePromptAlertViewCancelButtonClick();
  EXPECT_EQ(alert_->result(), 1);
  alert_->promptAlertButton3()->sendAction();
  advance(0.6);
  EXPECT_EQ(alert_->promptAlertView3()->superview(), nullptr);

  alert_->setIsBackMainView(true);
  EXPECT_TRUE(alert_->isBackMainView());
  auto owner = std::make_shared<int>(0);
  alert_->setDelegate(owner);
  EXPECT_EQ(alert_->delegate().lock(), owner);
}

}  // namespace
