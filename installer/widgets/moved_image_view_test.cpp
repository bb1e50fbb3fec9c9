#include "installer/widgets/moved_image_view.h"

#include <gtest/gtest.h>

#include <functional>

#include "installer/widgets/image_view.h"
#include "os/ui/test_fixture.h"

namespace {

using os::ui::Point;
using os::ui::Rect;

class WindowDraggingImageTest : public os::ui::testing::HeadlessTest {};

TEST_F(WindowDraggingImageTest, ImagesDragTheWindowAndTheMovedOneActsOnEveryRelease) {
  struct Case {
    const char* name;
    std::function<std::shared_ptr<os::ui::ImageView>()> make;
    bool drags;
    int actionsAfterDragAndClick;
  };
  const Case cases[] = {
      {"moved image view",
       [] {
         return std::make_shared<MovedImageView>(Rect{20, 20, 60, 60});
       },
       true, 2},
      {"image view",
       [] {
         return std::make_shared<TSRImageView>(Rect{20, 20, 60, 60});
       },
       true, 0},
      // The toolkit's own image view is a control: no dragging through it.
      {"plain image view",
       [] {
         return std::make_shared<os::ui::ImageView>(Rect{20, 20, 60, 60});
       },
       false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto window = makeWindow({200, 100});
    window->setMovableByWindowBackground(true);
    auto image = c.make();
    int actions = 0;
    image->setAction([&](os::ui::Control&) { ++actions; });
    window->contentView()->addSubview(image);

    Point origin = window->frame().origin();
    screen_->mouseDown(*window, {50, 50});
    screen_->mouseDrag(*window, {150, 90});  // far outside the image
    screen_->mouseUp(*window, {150, 90});
    Point moved{origin.x + 100, origin.y + 40};
    EXPECT_EQ(window->frame().origin() == moved, c.drags);
    screen_->click(*window, {50, 50});
    EXPECT_EQ(actions, c.actionsAfterDragAndClick);
    window->close();
  }
}

}  // namespace
