#include "os/ui/view.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <utility>

#include "os/dispatch/dispatch.h"
#include "os/ui/box.h"
#include "os/ui/scroll_view.h"
#include "os/ui/test_fixture.h"
#include "os/ui/window.h"

namespace os::ui {
namespace {

using testing::rgb;

std::shared_ptr<View> viewAt(const Rect& frame, const std::string& identifier = {}) {
  auto view = std::make_shared<View>(frame);
  view->setIdentifier(identifier);
  return view;
}

TEST(ViewTreeTest, HitTestingFindsTheTopmostVisibleView) {
  auto root = viewAt({0, 0, 100, 100}, "root");
  auto back = viewAt({10, 10, 50, 50}, "back");
  auto front = viewAt({30, 30, 50, 50}, "front");
  auto inner = viewAt({5, 5, 10, 10}, "inner");
  root->addSubview(back);
  root->addSubview(front);
  back->addSubview(inner);
  struct Case {
    Point point;  // in the root's superview, which is the root's own space here
    const char* expected;
  };
  const Case cases[] = {
      {{40, 40}, "front"}, {{15, 15}, "back"},  {{17, 17}, "inner"},
      {{95, 5}, "root"},   {{150, 5}, nullptr},
  };
  for (const Case& c : cases) {
    View* hit = root->hitTest(c.point);
    if (!c.expected) {
      EXPECT_EQ(hit, nullptr);
    } else {
      ASSERT_NE(hit, nullptr);
      EXPECT_EQ(hit->identifier(), c.expected);
    }
  }
  front->setHidden(true);
  EXPECT_EQ(root->hitTest({40, 40})->identifier(), "back");
  // Adding a subview again brings it to the front; ordering relative to a sibling works too.
  front->setHidden(false);
  root->addSubview(back);
  EXPECT_EQ(root->hitTest({40, 40})->identifier(), "back");
  root->addSubview(back, View::Ordering::Below, front.get());
  EXPECT_EQ(root->subviews().front(), back);
  EXPECT_EQ(root->viewWithIdentifier("inner"), inner);
  EXPECT_EQ(root->viewWithIdentifier("none"), nullptr);
  // A view cannot become its own ancestor's subview.
  inner->addSubview(root);
  EXPECT_EQ(root->superview(), nullptr);
}

TEST(ViewTreeTest, ConversionsBetweenFlippedAndUnflippedViews) {
  auto root = viewAt({0, 0, 200, 100});
  auto flipped = viewAt({10, 20, 100, 50});
  flipped->setFlipped(true);
  auto child = viewAt({5, 5, 10, 10});
  root->addSubview(flipped);
  flipped->addSubview(child);
  // The unflipped child's origin is its bottom-left corner, 15 points below the flipped
  // view's top edge at y 70; its top-left corner is 5 points below it.
  EXPECT_EQ(child->convertPointToView({0, 0}, root.get()), (Point{15, 55}));
  EXPECT_EQ(child->convertPointToView({0, 10}, root.get()), (Point{15, 65}));
  EXPECT_EQ(child->convertPointFromView({15, 55}, root.get()), (Point{0, 0}));
  EXPECT_EQ(flipped->convertRectToView(flipped->bounds(), root.get()), Rect(10, 20, 100, 50));
  // Clipped by the superview.
  auto overflowing = viewAt({90, 40, 40, 40});
  flipped->addSubview(overflowing);
  EXPECT_EQ(overflowing->visibleRect(), Rect(0, 30, 10, 10));
}

TEST(ViewTreeTest, AutoresizingKeepsTheDistanceToTheTop) {
  auto content = viewAt({0, 0, 400, 400});
  // A holder at y = height − 31 that keeps to the top edge.
  auto holder = viewAt({10, 369, 56, 16});
  holder->setAutoresizingMask(View::kMinYMargin);
  auto stretch = viewAt({0, 0, 400, 100});
  stretch->setAutoresizingMask(View::kWidthSizable | View::kMaxYMargin);
  content->addSubview(holder);
  content->addSubview(stretch);
  content->setFrameSize({500, 300});
  EXPECT_EQ(holder->frame(), Rect(10, 269, 56, 16));
  EXPECT_EQ(stretch->frame(), Rect(0, 0, 500, 100));
}

class ContainerTest : public testing::HeadlessTest {};

TEST_F(ContainerTest, BoxSwapsItsContentAndScrollViewsClip) {
  auto window = makeWindow({200, 100});
  auto box = std::make_shared<Box>(Rect{0, 0, 100, 100});
  window->contentView()->addSubview(box);
  auto first = viewAt({}, "first");
  auto second = viewAt({}, "second");
  box->setContentView(first);
  EXPECT_EQ(first->frame(), box->bounds());
  box->setContentView(second);
  EXPECT_EQ(first->superview(), nullptr);
  EXPECT_EQ(window->findViewByIdentifier("second"), second);
  EXPECT_EQ(window->findViewByIdentifier("first"), nullptr);

  // A 300-point document in a 100-point scroll view, hanging from the top.
  auto scroll = std::make_shared<ScrollView>(Rect{100, 0, 100, 100});
  window->contentView()->addSubview(scroll);
  auto document = viewAt({0, 0, 100, 300});
  document->setFlipped(true);
  auto top = viewAt({0, 0, 100, 10});
  top->setWantsLayer(true);
  top->layer()->setBackgroundColor(Color{1, 0, 0});
  document->addSubview(top);
  scroll->setDocumentView(document);
  window->setBackgroundColor(Color::white());
  EXPECT_EQ(probe(*window, {150, 95}), rgb(255, 0, 0));
  screen_->scroll(*window, {150, 50}, -50);  // content moves up by 50
  EXPECT_EQ(scroll->verticalScrollOffset(), 50);
  EXPECT_EQ(scroll->documentVisibleRect(), Rect(0, 50, 100, 100));
  EXPECT_EQ(probe(*window, {150, 95}), rgb(255, 255, 255));
  scroll->scrollToOffset(1000);
  EXPECT_EQ(scroll->verticalScrollOffset(), 200);
}

TEST_F(ContainerTest, LayoutRunsOnceBeforeTheNextDrawing) {
  class Stacking : public View {
   public:
    using View::View;
    void layout() override {
      ++layouts;
      double y = 0;
      for (const auto& subview : subviews()) {
        subview->setFrameOrigin({0, y});
        y += subview->frame().height;
      }
    }
    int layouts = 0;
  };
  auto window = makeWindow();
  auto stack = std::make_shared<Stacking>(Rect{0, 0, 100, 100});
  auto first = viewAt({50, 50, 10, 20});
  auto second = viewAt({50, 50, 10, 30});
  stack->addSubview(first);
  stack->addSubview(second);
  window->contentView()->addSubview(stack);
  stack->setNeedsLayout(true);
  EXPECT_EQ(stack->layouts, 0);
  window->display();
  window->display();
  EXPECT_EQ(stack->layouts, 1);
  EXPECT_EQ(second->frame().origin(), (Point{0, 20}));
}

TEST_F(ContainerTest, ChangesMarkTheWindowForDisplayAndDisplayClearsIt) {
  auto window = makeWindow();
  window->display();
  EXPECT_FALSE(window->viewsNeedDisplay());
  auto view = viewAt({0, 0, 10, 10});
  window->contentView()->addSubview(view);
  EXPECT_TRUE(window->viewsNeedDisplay());
  Application::shared().updateDisplay();
  EXPECT_FALSE(window->viewsNeedDisplay());
  view->setWantsLayer(true);
  view->layer()->setCornerRadius(3);
  EXPECT_TRUE(window->viewsNeedDisplay());
}

// The toolkit's entry points belong to the main thread: called from a worker, they stop the
// process in every build but Release instead of racing with drawing.
class ViewDeathTest : public testing::HeadlessTest {};

TEST_F(ViewDeathTest, MainThreadEntryPointsAbortOnAWorker) {
  if (!kThreadChecksEnabled) GTEST_SKIP() << "thread checks are compiled out in Release";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto window = makeWindow();
  auto child = viewAt({0, 0, 10, 10});
  window->contentView()->addSubview(child);  // fine here, on the main thread
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"View::addSubview",
       [&] {
         child->addSubview(viewAt({0, 0, 5, 5}));
       }},
      {"View::setFrame",
       [&] {
         child->setFrame({1, 1, 10, 10});
       }},
      {"View::removeFromSuperview", [&] { child->removeFromSuperview(); }},
      {"Window::orderOut", [&] { window->orderOut(); }},
      {"Application::updateDisplay", [] { Application::shared().updateDisplay(); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    EXPECT_DEATH(std::thread(call).join(),
                 "Thread check failed at .*: must run on the main thread");
  }
}

}  // namespace
}  // namespace os::ui
