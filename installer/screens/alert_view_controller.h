// The installer's questions, asked in a panel that slides down from the top edge inside the
// installer's own window rather than in a system alert. The caller hands over a host view
// (a TSRAlertSuperView laid over the window's content); the two-button form blocks in a nested
// run of the main run loop, so timers, animations and main-queue work go on meanwhile, and
// answers 1 for OK and 0 for Cancel.
//
//   auto alert = TSRAlertViewController::create();          // once, for the whole process
//   int answer = alert->showAlertText(
//       TempHelper::getDefaultsLocalizableLanguages("Install_App_Prompt_Msg1"),
//       TempHelper::getDefaultsLocalizableLanguages("Button_Cancel"),
//       TempHelper::getDefaultsLocalizableLanguages("Button_Yes"), host);
//   if (answer == 1) ...
//
// The panel's colours and picture follow the installed product. An empty Cancel title hides the
// Cancel button. promptAlertViewCancelButtonClick ends an open question as cancelled from
// outside. Only one question can be open at a time. A one-button notice
// (showAlertText(text, buttonTitle, host)) slides in the same way but returns at once; its
// button slides it out. Two further panels with a subtitle (promptAlertView3 with one button,
// promptAlertView4 with two) are laid out for callers to come; their buttons slide them out.
// Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "installer/widgets/border_rect_and_color_view.h"
#include "installer/widgets/gridient_button.h"
#include "os/ui/image_view.h"
#include "os/ui/label.h"
#include "os/ui/view.h"

class TSRAlertViewController : public std::enable_shared_from_this<TSRAlertViewController> {
  struct Private {};

 public:
  // Identifiers of the panel's parts, for scripts and tests.
  static constexpr const char* kPanelIdentifier = "alertPanel";
  static constexpr const char* kTextIdentifier = "alertText";
  static constexpr const char* kImageIdentifier = "alertImage";
  static constexpr const char* kOKButtonIdentifier = "alertOKButton";
  static constexpr const char* kCancelButtonIdentifier = "alertCancelButton";
  static constexpr const char* kNoticePanelIdentifier = "noticePanel";
  static constexpr const char* kNoticeImageIdentifier = "noticeImage";
  static constexpr const char* kNoticeTextIdentifier = "noticeText";
  static constexpr const char* kNoticeButtonIdentifier = "noticeButton";
  static constexpr const char* kSubtitledNoticePanelIdentifier = "subtitledNoticePanel";
  static constexpr const char* kTitlePromptPanelIdentifier = "titlePromptPanel";

  // The controller with its panel laid out (the platform's controller made from its interface
  // file).
  static std::shared_ptr<TSRAlertViewController> create();
  explicit TSRAlertViewController(Private);

  // Shows `text` with the buttons `cancelTitle` and `okTitle` over `superView`, which joins the
  // content view of the application's main window, and waits in a nested run of the main run
  // loop until a button (or promptAlertViewCancelButtonClick) ends the question: 1 for OK, 0 for
  // Cancel. Without a main window nothing is shown and the answer is 0.
  int32_t showAlertText(const std::string& text, const std::string& cancelTitle,
                        const std::string& okTitle, const std::shared_ptr<os::ui::View>& superView);

  // Asks in the first free host of `window`: a TSRAlertSuperView without subviews among the
  // subviews of its content view, brought to the front. 0 without asking when `window` is null
  // or no host is free (another question holds it).
  int32_t showAlertTextInFreeHost(os::ui::Window* window, const std::string& text,
                                  const std::string& cancelTitle, const std::string& okTitle);

  // Shows `text` with the one button `buttonTitle` over `superView` and returns at once; the
  // button slides the notice out. Without a main window nothing is shown.
  void showAlertText(const std::string& text, const std::string& buttonTitle,
                     const std::shared_ptr<os::ui::View>& superView);

  // The buttons' actions. Both end the question and slide the panel out; Cancel does nothing
  // once the question has ended, so it may be sent from outside at any time.
  void promptAlertViewOkButtonClick();
  void promptAlertViewCancelButtonClick();
  // The notice's button: slides the notice out.
  void closePromptAlertView();
  // The subtitled notice's button: slides it out.
  void closePromptAlertView3();
  // The subtitled question's buttons: end it with 1 (OK) or 0 (Cancel, nothing once ended) and
  // slide it out, as the question's buttons do.
  void titlePromptAlertViewOkButtonClick();
  void titlePromptAlertViewCancelButtonClick();

  // Kept for the owner; the controller does not read them.
  bool isBackMainView() const { return isBackMainView_; }
  void setIsBackMainView(bool value) { isBackMainView_ = value; }
  // Not owned.
  const std::weak_ptr<void>& delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<void> delegate) { delegate_ = std::move(delegate); }

  // The view laid over the host while a question is open; the panel slides inside it.
  const std::shared_ptr<os::ui::View>& view() const { return view_; }
  // The host of the current or last question.
  const std::shared_ptr<os::ui::View>& mainView() const { return mainView_; }
  // The question's panel and its parts.
  const std::shared_ptr<TSRBorderRectAndColorView>& promptAlertView2() const {
    return question_.panel;
  }
  const std::shared_ptr<os::ui::ImageView>& promptAlertImage2() const { return question_.image; }
  const std::shared_ptr<os::ui::Label>& promptAlertTitle2() const { return question_.title; }
  const std::shared_ptr<TSRGridientButton>& promptAlertCancelBtn() const {
    return question_.cancel;
  }
  const std::shared_ptr<TSRGridientButton>& promptAlertOKBtn() const { return question_.ok; }
  // The notice's panel and its parts.
  const std::shared_ptr<TSRBorderRectAndColorView>& promptAlertView() const {
    return notice_.panel;
  }
  const std::shared_ptr<os::ui::ImageView>& promptAlertImage() const { return notice_.image; }
  const std::shared_ptr<os::ui::Label>& promptAlertTitle() const { return notice_.title; }
  const std::shared_ptr<TSRGridientButton>& promptAlertButton() const { return notice_.ok; }
  // The subtitled notice and question, and their parts.
  const std::shared_ptr<TSRBorderRectAndColorView>& promptAlertView3() const {
    return subtitledNotice_.panel;
  }
  const std::shared_ptr<os::ui::ImageView>& promptAlertImage3() const {
    return subtitledNotice_.image;
  }
  const std::shared_ptr<os::ui::Label>& promptAlertTitle3() const { return subtitledNotice_.title; }
  const std::shared_ptr<os::ui::Label>& promptAlertSubTitle3() const {
    return subtitledNotice_.subtitle;
  }
  const std::shared_ptr<TSRGridientButton>& promptAlertButton3() const {
    return subtitledNotice_.ok;
  }
  const std::shared_ptr<TSRBorderRectAndColorView>& promptAlertView4() const {
    return titlePrompt_.panel;
  }
  const std::shared_ptr<os::ui::ImageView>& promptAlertImage4() const { return titlePrompt_.image; }
  const std::shared_ptr<os::ui::Label>& promptAlertTitle4() const { return titlePrompt_.title; }
  const std::shared_ptr<os::ui::Label>& promptAlertSubTitle4() const {
    return titlePrompt_.subtitle;
  }
  const std::shared_ptr<TSRGridientButton>& promptAlertCancelBtn4() const {
    return titlePrompt_.cancel;
  }
  const std::shared_ptr<TSRGridientButton>& promptAlertOKBtn4() const { return titlePrompt_.ok; }
  // Whether the last question has ended, and its answer.
  bool endRunloop() const { return endRunloop_; }
  int32_t result() const { return result_; }

 private:
  // One panel: a picture, a text and a button on the right, with a Cancel button left of it in
  // the question (null in the notice).
  struct Panel {
    std::shared_ptr<TSRBorderRectAndColorView> panel;
    std::shared_ptr<os::ui::ImageView> image;
    std::shared_ptr<os::ui::Label> title;
    std::shared_ptr<TSRGridientButton> ok;
    std::shared_ptr<TSRGridientButton> cancel;
    std::shared_ptr<os::ui::Label> subtitle;
  };

  // A panel laid out as the interface file has it, its parts named by `identifiers` (panel,
  // image, text, OK[, Cancel]); without a Cancel identifier the panel has one button. A
  // subtitled panel has a second text under the first.
  static Panel makePanel(std::initializer_list<const char*> identifiers, bool subtitled = false);
  // Ends the open question with `result` and slides `panel` out; nothing once it has ended
  // when `onlyOnce`.
  void endQuestion(int32_t result, const Panel& panel, bool onlyOnce);
  void layOutView();
  // Lays `superView` over the main window's content and slides `panel` in with `text` and the
  // titles. False, showing nothing, without a main window or host.
  bool present(const Panel& panel, const std::string& text, const std::string& cancelTitle,
               const std::string& okTitle, const std::shared_ptr<os::ui::View>& superView);
  // Sizes the picture, the text and the buttons for `text` and the titles.
  static void fitToTexts(const Panel& panel, const std::string& text,
                         const std::string& cancelTitle, const std::string& okTitle);
  // Places the panel centred just above the top of the view.
  void setupAlertRect(TSRBorderRectAndColorView& panel);
  // Slides the panel down until it hangs 10 points above the view's top edge.
  void loadAlertView(const std::shared_ptr<TSRBorderRectAndColorView>& panel);
  // Slides the panel up out of sight, then takes it and the view away.
  void unloadAlertView(const std::shared_ptr<TSRBorderRectAndColorView>& panel);

  std::shared_ptr<os::ui::View> view_;
  Panel question_;
  Panel notice_;
  Panel subtitledNotice_;
  Panel titlePrompt_;
  bool isBackMainView_ = false;
  std::weak_ptr<void> delegate_;
  std::shared_ptr<os::ui::View> mainView_;
  bool endRunloop_ = false;
  int32_t result_ = 0;
};
