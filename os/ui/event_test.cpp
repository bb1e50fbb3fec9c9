#include <gtest/gtest.h>

#include "os/ui/button.h"
#include "os/ui/image_view.h"
#include "os/ui/test_fixture.h"
#include "os/ui/text_view.h"

namespace os::ui {
namespace {

// Counts what reaches it and can refuse to pass presses on.
class RecordingView : public View {
 public:
  using View::View;
  void mouseDown(const Event& event) override {
    ++downs;
    if (passOn) View::mouseDown(event);
  }
  void mouseUp(const Event& event) override {
    ++ups;
    if (passOn) View::mouseUp(event);
  }
  void rightMouseDown(const Event&) override { ++rightDowns; }
  void mouseEntered(const Event& event) override {
    log += "entered ";
    lastArea = event.trackingArea;
  }
  void mouseExited(const Event&) override { log += "exited "; }
  void mouseMoved(const Event&) override { log += "moved "; }
  bool mouseDownCanMoveWindow() const override { return canMoveWindow; }

  int downs = 0, ups = 0, rightDowns = 0;
  bool passOn = true;
  bool canMoveWindow = true;
  std::string log;
  TrackingArea* lastArea = nullptr;
};

// Acts on a release inside that ends a single click, as the installer's buttons do.
class SingleClickControl : public Control {
 public:
  using Control::Control;
  void mouseDown(const Event&) override {}
  void mouseUp(const Event& event) override {
    Point point = convertPointFromView(event.locationInWindow, nullptr);
    if (mouseInRect(point, bounds(), isFlipped()) && event.clickCount == 1) sendAction();
  }
};

// A shield over an area: swallows presses and refuses dropped files.
class ShieldView : public View {
 public:
  explicit ShieldView(const Rect& frame) : View(frame) {
    registerForDraggedTypes({kFilenamesPboardType, kFilesPromisePboardType});
  }
  void mouseDown(const Event&) override {}
  void mouseUp(const Event&) override {}
  void rightMouseDown(const Event&) override {}
};

// Takes dropped files.
class DropTarget : public View {
 public:
  explicit DropTarget(const Rect& frame) : View(frame) {
    registerForDraggedTypes({kFilenamesPboardType});
  }
  DragOperation draggingEntered(const DraggingInfo&) override { return DragOperation::Copy; }
  bool performDragOperation(const DraggingInfo& info) override {
    files = info.filenames;
    return true;
  }
  std::vector<std::string> files;
};

class EventTest : public testing::HeadlessTest {};

TEST_F(EventTest, MouseSequencesAndTheirActions) {
  struct Step {
    enum Kind { Move, Down, Drag, Up } kind;
    Point point;
    int clickCount = 1;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    int singleClickActions;  // the control that acts on single clicks only
    int buttonActions;       // the toolkit's push button
  };
  // Both controls cover (20, 20)-(120, 60) in their windows.
  const Case cases[] = {
      {"click", {{Step::Down, {50, 40}}, {Step::Up, {50, 40}}}, 1, 1},
      {"release outside",
       {{Step::Down, {50, 40}}, {Step::Drag, {150, 90}}, {Step::Up, {150, 90}}},
       0,
       0},
      {"out and back in",
       {{Step::Down, {50, 40}},
        {Step::Drag, {150, 90}},
        {Step::Drag, {60, 40}},
        {Step::Up, {60, 40}}},
       1,
       1},
      {"double click",
       {{Step::Down, {50, 40}, 1},
        {Step::Up, {50, 40}, 1},
        {Step::Down, {50, 40}, 2},
        {Step::Up, {50, 40}, 2}},
       1,
       2},
      {"press outside, release inside", {{Step::Down, {5, 5}}, {Step::Up, {50, 40}}}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool singleClick : {true, false}) {
      auto window = makeWindow();
      int actions = 0;
      std::shared_ptr<Control> control;
      if (singleClick) {
        control = std::make_shared<SingleClickControl>(Rect{20, 20, 100, 40});
      } else {
        control = std::make_shared<Button>(Rect{20, 20, 100, 40}, "OK");
      }
      control->setAction([&](Control& sender) {
        EXPECT_EQ(&sender, control.get());
        ++actions;
      });
      window->contentView()->addSubview(control);
      for (const Step& step : c.steps) {
        switch (step.kind) {
          case Step::Move:
            screen_->mouseMove(*window, step.point);
            break;
          case Step::Down:
            screen_->mouseDown(*window, step.point, step.clickCount);
            break;
          case Step::Drag:
            screen_->mouseDrag(*window, step.point);
            break;
          case Step::Up:
            screen_->mouseUp(*window, step.point, step.clickCount);
            break;
        }
      }
      EXPECT_EQ(actions, singleClick ? c.singleClickActions : c.buttonActions) << singleClick;
    }
  }
}

TEST_F(EventTest, CheckboxFlipsItsStateBeforeItsAction) {
  auto window = makeWindow();
  auto box = std::make_shared<Button>(Rect{10, 10, 120, 18}, "I agree");
  box->setButtonType(Button::Type::Switch);
  box->setIdentifier("agree");
  std::vector<int> seen;
  box->setAction([&](Control& sender) { seen.push_back(static_cast<Button&>(sender).state()); });
  window->contentView()->addSubview(box);
  EXPECT_TRUE(screen_->clickView(*window, "agree"));
  EXPECT_TRUE(screen_->clickView(*window, "agree"));
  EXPECT_EQ(seen, (std::vector<int>{Button::kOn, Button::kOff}));
  box->setEnabled(false);
  EXPECT_TRUE(screen_->clickView(*window, "agree"));
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_FALSE(screen_->clickView(*window, "missing"));
}

TEST_F(EventTest, TrackingAreasFollowTheMouse) {
  auto window = makeWindow();
  auto owner = std::make_shared<RecordingView>(Rect{0, 0, 200, 100});
  auto target = std::make_shared<View>(Rect{50, 20, 40, 40});
  owner->addSubview(target);
  window->contentView()->addSubview(owner);
  auto area = std::make_shared<TrackingArea>(
      Rect{},
      TrackingArea::kMouseEnteredAndExited | TrackingArea::kMouseMoved |
          TrackingArea::kActiveAlways | TrackingArea::kInVisibleRect,
      owner.get());
  target->addTrackingArea(area);

  screen_->mouseMove(*window, {10, 10});
  screen_->mouseMove(*window, {60, 30});
  screen_->mouseMove(*window, {70, 30});
  screen_->mouseMove(*window, {150, 30});
  EXPECT_EQ(owner->log, "entered moved exited ");
  EXPECT_EQ(owner->lastArea, area.get());

  // A press that leaves keeps the area "inside" until the release, then it exits.
  owner->log.clear();
  screen_->mouseMove(*window, {60, 30});
  screen_->mouseDown(*window, {60, 30});
  screen_->mouseDrag(*window, {150, 30});
  EXPECT_EQ(owner->log, "entered ");
  screen_->mouseUp(*window, {150, 30});
  EXPECT_EQ(owner->log, "entered exited ");

  // Leaving the window counts as leaving the area.
  owner->log.clear();
  screen_->mouseMove(*window, {60, 30});
  screen_->mouseExit(*window);
  EXPECT_EQ(owner->log, "entered exited ");
}

TEST_F(EventTest, KeyWindowAreasWaitForKeyStatus) {
  auto window = makeWindow();
  auto owner = std::make_shared<RecordingView>(Rect{0, 0, 200, 100});
  owner->addTrackingArea(std::make_shared<TrackingArea>(
      Rect{0, 0, 100, 100}, TrackingArea::kMouseEnteredAndExited | TrackingArea::kActiveInKeyWindow,
      owner.get()));
  window->contentView()->addSubview(owner);
  auto other = makeWindow({50, 50}, {600, 600});  // takes key status
  ASSERT_FALSE(window->isKeyWindow());
  screen_->mouseMove(*window, {20, 20});
  EXPECT_EQ(owner->log, "");
  window->makeKeyWindow();  // the mouse is already inside
  EXPECT_EQ(owner->log, "entered ");
  other->makeKeyWindow();
  EXPECT_EQ(owner->log, "entered exited ");
}

TEST_F(EventTest, ShieldSwallowsPressesAndRefusesDrops) {
  auto window = makeWindow();
  window->setMovableByWindowBackground(true);
  auto beneath = std::make_shared<RecordingView>(Rect{0, 0, 200, 100});
  auto target = std::make_shared<DropTarget>(Rect{0, 0, 200, 100});
  beneath->addSubview(target);
  window->contentView()->addSubview(beneath);
  window->contentView()->addSubview(std::make_shared<ShieldView>(Rect{100, 0, 100, 100}));

  EXPECT_TRUE(screen_->dropFiles(*window, {50, 50}, {"/tmp/a.txt"}));
  EXPECT_EQ(target->files, std::vector<std::string>{"/tmp/a.txt"});
  EXPECT_FALSE(screen_->dropFiles(*window, {150, 50}, {"/tmp/b.txt"}));

  Rect before = window->frame();
  screen_->mouseDown(*window, {150, 50});
  screen_->mouseDrag(*window, {170, 70});
  screen_->mouseUp(*window, {170, 70});
  screen_->rightMouseDown(*window, {150, 50});
  EXPECT_EQ(beneath->downs + beneath->rightDowns, 0);
  EXPECT_EQ(window->frame(), before);  // nothing reached the window either
  screen_->rightMouseDown(*window, {50, 50});
  EXPECT_EQ(beneath->rightDowns, 1);
}

TEST_F(EventTest, DraggingTheBackgroundMovesTheWindow) {
  struct Case {
    const char* name;
    bool movable;
    bool viewAllows;
    bool viewPassesOn;
    bool pressOnControl;
    bool moves;
  };
  const Case cases[] = {
      {"background", true, true, true, false, true},
      {"not movable", false, true, true, false, false},
      {"view forbids", true, false, true, false, false},
      {"view keeps the press", true, true, false, false, false},
      {"on a control", true, true, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto window = makeWindow({200, 100}, {100, 100});
    window->setMovableByWindowBackground(c.movable);
    auto background = std::make_shared<RecordingView>(Rect{0, 0, 200, 100});
    background->canMoveWindow = c.viewAllows;
    background->passOn = c.viewPassesOn;
    background->addSubview(std::make_shared<ImageView>(Rect{0, 0, 20, 20}));
    window->contentView()->addSubview(background);
    Point press = c.pressOnControl ? Point{10, 10} : Point{100, 50};
    screen_->mouseDown(*window, press);
    screen_->mouseDrag(*window, {press.x + 30, press.y - 20});
    screen_->mouseDrag(*window, {press.x + 50, press.y - 40});
    screen_->mouseUp(*window, {press.x + 50, press.y - 40});
    Point expected = c.moves ? Point{150, 60} : Point{100, 100};
    EXPECT_EQ(window->frame().origin(), expected);
    // The press ended: moving the mouse moves nothing.
    screen_->mouseMove(*window, {10, 10});
    EXPECT_EQ(window->frame().origin(), expected);
  }
}

class LinkDelegate : public TextViewDelegate {
 public:
  bool textViewClickedOnLink(TextView&, const std::string& link, size_t) override {
    links.push_back(link);
    return true;
  }
  std::vector<std::string> links;
};

TEST_F(EventTest, TextViewHandsClickedLinksToItsDelegate) {
  auto window = makeWindow({400, 100});
  auto text = std::make_shared<TextView>(Rect{0, 40, 400, 30});
  TextAttributes base;
  base.font = Font::named("Helvetica Neue", 14);
  AttributedString message("Read the licence agreement now", base);
  TextAttributes link;
  link.link = "licence agreement";
  message.addAttributes(link, text::rangeOf(message.string(), "licence agreement"));
  text->setAttributedString(message);
  auto delegate = std::make_shared<LinkDelegate>();
  text->setDelegate(delegate);
  window->contentView()->addSubview(text);

  auto rects = text->textLayout().rectsForRange(text::rangeOf(message.string(), "licence"));
  ASSERT_FALSE(rects.empty());
  Point inText{text->textOrigin().x + rects[0].midX(), text->textOrigin().y + rects[0].midY()};
  Point onLink = text->convertPointToView(inText, nullptr);
  Point onPlain = text->convertPointToView({text->textOrigin().x + 3, inText.y}, nullptr);

  screen_->mouseMove(*window, onLink);
  EXPECT_EQ(screen_->cursor(), Cursor::PointingHand);
  screen_->click(*window, onLink);
  EXPECT_EQ(delegate->links, std::vector<std::string>{"licence agreement"});
  screen_->click(*window, onPlain);
  EXPECT_EQ(screen_->cursor(), Cursor::IBeam);
  // A drag that selects is no click.
  screen_->mouseDown(*window, onLink);
  screen_->mouseDrag(*window, {onLink.x + 60, onLink.y});
  screen_->mouseUp(*window, {onLink.x + 60, onLink.y});
  EXPECT_EQ(delegate->links.size(), 1u);
  EXPECT_GT(text->selectedRange().length, 0u);
  // Not selectable: no links.
  text->setSelectable(false);
  screen_->click(*window, onLink);
  EXPECT_EQ(delegate->links.size(), 1u);
}

TEST_F(EventTest, AViewLeavingItsWindowGivesUpFirstResponder) {
  auto window = makeWindow();
  auto text = std::make_shared<TextView>(Rect{0, 0, 100, 50});
  text->setString("some text");
  window->contentView()->addSubview(text);
  screen_->click(*window, {20, 40});
  EXPECT_EQ(window->firstResponder(), text.get());
  text->removeFromSuperview();
  EXPECT_EQ(window->firstResponder(), nullptr);
  text.reset();
  auto other = std::make_shared<TextView>(Rect{0, 0, 100, 50});
  window->contentView()->addSubview(other);
  screen_->click(*window, {20, 40});
  EXPECT_EQ(window->firstResponder(), other.get());
}

}  // namespace
}  // namespace os::ui
