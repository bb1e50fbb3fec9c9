#include "installer/widgets/can_click_text.h"

#include <gtest/gtest.h>

#include <vector>

#include "installer/widgets/widget_color.h"
#include "installer/widgets/widget_test_util.h"
#include "os/text/text.h"
#include "os/ui/test_fixture.h"

namespace {

using os::ui::Color;
using os::ui::Point;
using os::ui::testing::rgb;

class LinkRecorder : public os::ui::TextViewDelegate {
 public:
  bool textViewClickedOnLink(os::ui::TextView&, const std::string& link, size_t) override {
    links.push_back(link);
    return true;
  }
  std::vector<std::string> links;
};

const std::string kText = "Read the terms, then accept the terms and the policy.";
const Color kNormal = WidgetColor::rgb(80, 80, 80);
const Color kLinkNormal = WidgetColor::rgb(0, 0, 255);
const Color kLinkEnter = WidgetColor::rgb(0, 160, 0);
const Color kLinkDown = WidgetColor::rgb(200, 0, 0);

// A 380 x 30 link text at 10, 40 in a 400 x 100 window.
class CanClickTextTest : public os::ui::testing::HeadlessTest {
 protected:
  static constexpr double kWindowHeight = 100;

  void SetUp() override {
    HeadlessTest::SetUp();
    window_ = makeWindow({400, kWindowHeight});
    text_ = std::make_shared<TSRCanClickText>(os::ui::Rect{10, 40, 380, 30});
    text_->setDelegate(recorder_);
    window_->contentView()->addSubview(text_);
  }

  void fill() {
    text_->setNormalString(kText, "terms", "", "policy", kNormal, kLinkNormal, kLinkEnter,
                           kLinkDown, os::ui::Font::named("Helvetica Neue", 14));
  }

  // The centre, in window points, of the `occurrence`-th appearance of `word`.
  Point wordCentre(const std::string& word, int occurrence = 0) {
    os::text::Range range = os::text::rangeOf(kText, word);
    for (int i = 0; i < occurrence; ++i) {
      range = os::text::rangeOf(
          kText, word, os::text::kNoOptions,
          os::text::Range{range.end(), os::text::utf16Length(kText) - range.end()});
    }
    os::ui::Rect box = text_->textLayout().rectsForRange(range).at(0);
    Point origin = text_->textOrigin();
    return text_->convertPointToView({origin.x + box.midX(), origin.y + box.midY()}, nullptr);
  }

  // The colour the glyphs of the first "policy" are drawn in.
  os::ui::Image::Pixel policyColour() {
    os::text::Range range = os::text::rangeOf(kText, "policy");
    os::ui::Rect box = text_->textLayout().rectsForRange(range).at(0);
    Point origin = text_->textOrigin();
    Point topLeft = text_->convertPointToView({origin.x + box.x, origin.y + box.y}, nullptr);
    auto image = window_->renderImage(4);
    return widget_testing::mostDistinctPixel(
        *image, {topLeft.x, topLeft.y - box.height, box.width, box.height}, kWindowHeight,
        rgb(236, 236, 236));
  }

  std::shared_ptr<os::ui::Window> window_;
  std::shared_ptr<TSRCanClickText> text_;
  std::shared_ptr<LinkRecorder> recorder_ = std::make_shared<LinkRecorder>();
};

TEST_F(CanClickTextTest, ClickedLinksReachTheDelegateOnlyAtTheirFirstOccurrence) {
  fill();
  struct Case {
    const char* word;
    int occurrence;
    std::vector<std::string> links;  // all the delegate has heard after the click
  };
  const Case cases[] = {
      {"terms", 0, {"terms"}},
      {"terms", 1, {"terms"}},  // the second "terms" is plain text
      {"Read", 0, {"terms"}},
      {"policy", 0, {"terms", "policy"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.word) + " #" + std::to_string(c.occurrence));
    screen_->click(*window_, wordCentre(c.word, c.occurrence));
    EXPECT_EQ(recorder_->links, c.links);
  }
}

TEST_F(CanClickTextTest, LinkColourFollowsTheMouse) {
  fill();
  const Point outside{200, 90};
  const Point over = wordCentre("Read");
  struct Step {
    const char* name;
    std::function<void()> action;
    Color link;
    MouseState state;
  };
  const Step steps[] = {
      {"set", [] {}, kLinkNormal, MouseState::None},
      {"entered", [&] { screen_->mouseMove(*window_, over); }, kLinkEnter, MouseState::Entered},
      {"pressed", [&] { screen_->mouseDown(*window_, over); }, kLinkDown, MouseState::Down},
      {"released", [&] { screen_->mouseUp(*window_, over); }, kLinkEnter, MouseState::Up},
      {"exited", [&] { screen_->mouseMove(*window_, outside); }, kLinkNormal, MouseState::Exited},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.action();
    EXPECT_EQ(text_->linkColor(), step.link);
    EXPECT_EQ(text_->mouseType(), step.state);
    auto expected =
        rgb(int(std::lround(step.link.red * 255)), int(std::lround(step.link.green * 255)),
            int(std::lround(step.link.blue * 255)));
    EXPECT_PIXEL_NEAR(policyColour(), expected, 3);
  }
}

TEST_F(CanClickTextTest, StyleSettingsTakeEffectAtTheNextRebuild) {
  // Before the long setter nothing is shown, whatever is set.
  text_->setNormalString(std::string("ignored"));
  text_->setTitleStyle();
  EXPECT_EQ(text_->string(), "");

  fill();
  EXPECT_EQ(text_->linkTextAttributes().underlineStyle, 0);
  text_->setHasUnderLine(true);
  text_->setLineSpace(12);
  text_->setBgColor(Color::white());
  EXPECT_EQ(text_->linkTextAttributes().underlineStyle, 0);  // not yet rebuilt
  text_->setTitleStyle();
  EXPECT_EQ(text_->linkTextAttributes().underlineStyle, 1);
  os::ui::TextAttributes shown = text_->textStorage().attributesAt(0);
  EXPECT_EQ(shown.paragraphStyle->lineSpacing, 5.0);
  EXPECT_EQ(shown.backgroundColor, Color::white());
  EXPECT_EQ(shown.foregroundColor, kNormal);
  EXPECT_EQ(text_->textStorage().attributesAt(9).link, "terms");
  EXPECT_EQ(text_->textStorage().attributesAt(9).cursor, os::ui::Cursor::PointingHand);
  EXPECT_EQ(shown.cursor, os::ui::Cursor::Arrow);

  // One line with an ellipsis instead of wrapping.
  text_->setFrameSize({120, 30});
  EXPECT_FALSE(text_->textLayout().isTruncated());
  text_->setIsSingleLine(true);
  text_->setTitleStyle();
  EXPECT_TRUE(text_->textLayout().isTruncated());
}

}  // namespace
