#include "os/ui/sdl_test_fixture.h"

#include <cstdlib>

#include "os/ui/application.h"

namespace os::ui::testing {

void SdlTest::SetUp() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) GTEST_SKIP() << "no X display (run under xvfb-run)";
  Application::resetForTesting();
  Error error;
  ASSERT_TRUE(Application::shared().start(Application::BackendKind::Sdl, &error))
      << error.description;
  ASSERT_TRUE(x_.isOpen());
  screenHeight_ = Application::shared().screenFrame().height;
}

void SdlTest::TearDown() { Application::resetForTesting(); }

}  // namespace os::ui::testing
