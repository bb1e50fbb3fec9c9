#include "os/ui/application.h"

#include <gtest/gtest.h>

#include <atomic>

#include "os/dispatch/dispatch.h"
#include "os/dispatch/notifications.h"
#include "os/dispatch/runloop.h"
#include "os/ui/button.h"
#include "os/ui/test_fixture.h"
#include "os/ui/window_button.h"
#include "testsupport/sandbox.h"

namespace os::ui {
namespace {

using testing::rgb;

// Records the notifications a window posts.
class NotificationLog {
 public:
  explicit NotificationLog(const Window* window) {
    for (const char* name : {kWindowDidBecomeKeyNotification, kWindowDidResignKeyNotification,
                             kWindowWillCloseNotification, kWindowDidMiniaturizeNotification}) {
      registrations_.emplace_back(
          NotificationCenter::defaultCenter(),
          NotificationCenter::defaultCenter().addObserver(
              name, window, [this](const Notification& note) { names.push_back(note.name); }));
    }
  }
  std::vector<std::string> names;

 private:
  std::vector<ObserverRegistration> registrations_;
};

class CloseDelegate : public WindowDelegate {
 public:
  bool windowShouldClose(Window&) override { return allowClose; }
  void windowWillClose(Window&) override {
    ++willClose;
    if (stopModalOnClose) Application::shared().stopModal();
  }
  bool allowClose = true;
  bool stopModalOnClose = false;
  int willClose = 0;
};

class ApplicationTest : public testing::HeadlessTest {};

TEST_F(ApplicationTest, KeyStatusMovesBetweenWindowsWithNotifications) {
  auto first = makeWindow();
  NotificationLog log(first.get());
  EXPECT_EQ(Application::shared().keyWindow(), first.get());
  auto second = makeWindow({100, 100}, {400, 100});
  EXPECT_FALSE(first->isKeyWindow());
  EXPECT_TRUE(second->isKeyWindow());
  first->makeKeyWindow();
  EXPECT_EQ(log.names, (std::vector<std::string>{kWindowDidResignKeyNotification,
                                                 kWindowDidBecomeKeyNotification}));
  // Borderless windows refuse key status unless a subclass allows it; titled ones take it.
  auto plain = std::make_shared<Window>(Rect{0, 0, 50, 50}, Window::kBorderless);
  plain->makeKeyAndOrderFront();
  EXPECT_FALSE(plain->isKeyWindow());
  auto titled = std::make_shared<Window>(Rect{0, 0, 50, 50}, Window::kTitled);
  titled->makeKeyAndOrderFront();
  EXPECT_TRUE(titled->isKeyWindow());
  EXPECT_EQ(Application::shared().mainWindow(), titled.get());
}

TEST_F(ApplicationTest, BecomesActiveWhenAWindowBecomesKeyWhileNoneWas) {
  int becameActive = 0;
  ObserverRegistration registration(
      NotificationCenter::defaultCenter(),
      NotificationCenter::defaultCenter().addObserver(
          kApplicationDidBecomeActiveNotification, &Application::shared(),
          [&](const Notification&) { ++becameActive; }));
  auto first = makeWindow();
  EXPECT_EQ(becameActive, 1);
  auto second = makeWindow({100, 100}, {400, 100});  // key moves from window to window
  first->makeKeyWindow();
  EXPECT_EQ(becameActive, 1);
  first->close();
  second->close();
  EXPECT_EQ(Application::shared().keyWindow(), nullptr);
  auto third = makeWindow();
  EXPECT_EQ(becameActive, 2);
}

TEST_F(ApplicationTest, LevelsOrderTheScreen) {
  auto top = makeWindow({100, 100}, {0, 0});
  top->setBackgroundColor(Color{1, 0, 0});
  top->setLevel(Window::kStatusLevel);
  auto normal = makeWindow({100, 100}, {50, 0});  // ordered later, overlaps
  normal->setBackgroundColor(Color{0, 0, 1});
  auto windows = Application::shared().orderedWindows();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0], top);
  auto screen = screen_->renderScreen(1);
  EXPECT_EQ(screen->pixelAt(75, 800 - 50), rgb(255, 0, 0));  // the status window stays on top
  EXPECT_EQ(screen->pixelAt(125, 800 - 50), rgb(0, 0, 255));
  top->setLevel(Window::kNormalLevel);
  top->orderFront();
  normal->orderFront();
  EXPECT_EQ(screen_->renderScreen(1)->pixelAt(75, 800 - 50), rgb(0, 0, 255));
}

TEST_F(ApplicationTest, NonOpaqueWindowsShowTheScreenAndCastAShadow) {
  auto window = makeWindow({100, 100}, {200, 200});
  window->setOpaque(false);
  window->setBackgroundColor(Color::clear());
  auto round = std::make_shared<View>(Rect{0, 0, 100, 100});
  round->setWantsLayer(true);
  round->layer()->setBackgroundColor(Color::white());
  round->layer()->setCornerRadius(20);
  window->contentView()->addSubview(round);
  EXPECT_EQ(screen_->render(*window)->pixelAt(1, 1).alpha, 0);  // the rounded corner is clear
  auto screen = screen_->renderScreen(1);
  auto desktop = screen->pixelAt(10, 10);
  EXPECT_EQ(screen->pixelAt(250, 800 - 250), rgb(255, 255, 255));
  EXPECT_LT(screen->pixelAt(250, 800 - 197).red, desktop.red);  // shadow below the window
  window->setHasShadow(false);
  EXPECT_EQ(screen_->renderScreen(1)->pixelAt(250, 800 - 197), desktop);
}

TEST_F(ApplicationTest, CloseAndMiniaturizeLeaveTheScreen) {
  auto first = makeWindow();
  auto second = makeWindow({100, 100}, {400, 100});
  NotificationLog log(second.get());
  auto delegate = std::make_shared<CloseDelegate>();
  second->setDelegate(delegate);
  delegate->allowClose = false;
  second->performClose();
  EXPECT_TRUE(second->isVisible());
  delegate->allowClose = true;
  second->performClose();
  EXPECT_FALSE(second->isVisible());
  EXPECT_EQ(delegate->willClose, 1);
  EXPECT_EQ(Application::shared().keyWindow(), first.get());
  EXPECT_EQ(log.names, (std::vector<std::string>{kWindowWillCloseNotification,
                                                 kWindowDidResignKeyNotification}));

  NotificationLog firstLog(first.get());
  first->miniaturize();
  EXPECT_TRUE(first->isMiniaturized());
  EXPECT_TRUE(Application::shared().orderedWindows().empty());
  EXPECT_EQ(firstLog.names, (std::vector<std::string>{kWindowDidResignKeyNotification,
                                                      kWindowDidMiniaturizeNotification}));
  first->deminiaturize();
  EXPECT_EQ(Application::shared().orderedWindows().size(), 1u);
}

TEST_F(ApplicationTest, TimersKeepFiringWhileAModalSessionRuns) {
  auto window = makeWindow();
  int ticks = 0;
  int ticksInSession = 0;
  auto timer = Timer::schedule(0.01, true, [&](Timer&) { ++ticks; });
  auto session = Application::shared().beginModalSession(*window);
  // Something outside ends the session once the timer has gone on for a while.
  auto stopper = Timer::schedule(0.01, true, [&](Timer& self) {
    if (ticks >= 5) {
      ticksInSession = ticks;
      Application::shared().stopModalWithCode(1);
      self.invalidate();
    }
  });
  EXPECT_EQ(Application::shared().runModalSession(*session), 1);
  Application::shared().endModalSession(*session);
  timer->invalidate();
  EXPECT_GE(ticksInSession, 5);
  EXPECT_EQ(Application::shared().modalWindow(), nullptr);
}

TEST_F(ApplicationTest, OnlyTheModalWindowGetsEvents) {
  auto main = makeWindow();
  auto other = makeWindow({100, 100}, {400, 400});
  int clicks = 0;
  auto button = std::make_shared<Button>(Rect{0, 0, 100, 100}, "x");
  button->setAction([&](Control&) { ++clicks; });
  other->contentView()->addSubview(button);
  auto session = Application::shared().beginModalSession(*main);
  screen_->click(*other, {50, 50});
  EXPECT_EQ(clicks, 0);
  Application::shared().endModalSession(*session);
  screen_->click(*other, {50, 50});
  EXPECT_EQ(clicks, 1);
}

TEST_F(ApplicationTest, ClosingATitledWindowEndsItsModalRun) {
  auto main = makeWindow();
  // A licence-style window: titled, full-size content, only the close button shown.
  auto licence = std::make_shared<Window>(
      Rect{0, 0, 300, 200}, Window::kTitled | Window::kClosable | Window::kFullSizeContentView);
  licence->setTitlebarAppearsTransparent(true);
  licence->standardWindowButton(Window::ButtonKind::Zoom)->setHidden(true);
  licence->standardWindowButton(Window::ButtonKind::Miniaturize)->setHidden(true);
  auto delegate = std::make_shared<CloseDelegate>();
  delegate->stopModalOnClose = true;
  licence->setDelegate(delegate);
  auto close = licence->standardWindowButton(Window::ButtonKind::Close);
  EXPECT_EQ(close->frame().maxY(), 197);  // at the top-left of the content
  EXPECT_EQ(licence->contentView()->frame(), Rect(0, 0, 300, 200));
  DispatchQueue::main()->async([&] {
    Point center = close->convertPointToView(close->bounds().center(), nullptr);
    screen_->click(*licence, center);
  });
  EXPECT_EQ(Application::shared().runModalForWindow(*licence), kModalResponseStop);
  EXPECT_EQ(delegate->willClose, 1);
  EXPECT_FALSE(licence->isVisible());
}

TEST_F(ApplicationTest, AChildWindowLeavesItsParentMainAndGivesTheKeyBack) {
  auto main = makeWindow();
  ASSERT_EQ(Application::shared().mainWindow(), main.get());
  main->setLevel(3);
  int clicks = 0;
  auto button = std::make_shared<Button>(Rect{0, 0, 100, 100}, "x");
  button->setAction([&](Control&) { ++clicks; });
  main->contentView()->addSubview(button);

  for (bool byItsCloseButton : {true, false}) {
    SCOPED_TRACE(byItsCloseButton ? "closed by its close button" : "closed in code");
    auto licence =
        std::make_shared<Window>(Rect{0, 0, 300, 200}, Window::kTitled | Window::kClosable);
    auto delegate = std::make_shared<CloseDelegate>();
    delegate->stopModalOnClose = true;
    licence->setDelegate(delegate);
    main->addChildWindow(*licence);
    EXPECT_EQ(licence->parentWindow(), main.get());
    EXPECT_EQ(licence->level(), 3);  // never behind its parent
    Window* mainDuringRun = nullptr;
    DispatchQueue::main()->async([&] {
      mainDuringRun = Application::shared().mainWindow();
      EXPECT_EQ(Application::shared().orderedWindows().front(), licence);
      EXPECT_TRUE(licence->isKeyWindow());
      if (byItsCloseButton) {
        auto close = licence->standardWindowButton(Window::ButtonKind::Close);
        screen_->click(*licence, close->convertPointToView(close->bounds().center(), nullptr));
      } else {
        licence->close();
      }
    });
    EXPECT_EQ(Application::shared().runModalForWindow(*licence), kModalResponseStop);
    EXPECT_EQ(mainDuringRun, main.get());
    EXPECT_EQ(Application::shared().mainWindow(), main.get());
    EXPECT_TRUE(main->isKeyWindow());
    EXPECT_EQ(licence->parentWindow(), nullptr);
    // The parent takes clicks again.
    const int before = clicks;
    screen_->click(*main, {50, 50});
    EXPECT_EQ(clicks, before + 1);
  }
}

TEST_F(ApplicationTest, WindowButtonsShowTheirLooks) {
  auto window = makeWindow();
  auto close = Window::makeStandardWindowButton(Window::ButtonKind::Close);
  close->setFrameOrigin({10, 10});
  window->contentView()->addSubview(close);
  EXPECT_EQ(close->look(), WindowButton::Look::Normal);
  close->setShowsRollover(true);
  EXPECT_EQ(close->look(), WindowButton::Look::Rollover);
  auto rollover = probe(*window, {17, 18});  // the glyph's centre
  screen_->mouseDown(*window, {17, 18});
  EXPECT_EQ(close->look(), WindowButton::Look::Pressed);
  auto pressed = probe(*window, {13, 18});
  screen_->mouseUp(*window, {17, 18});
  close->setShowsRollover(false);
  auto normal = probe(*window, {17, 18});
  EXPECT_NE(rollover, normal);
  EXPECT_NE(pressed, probe(*window, {13, 18}));
}

TEST_F(ApplicationTest, TerminateEndsRunAndAsksTheDelegate) {
  class Delegate : public ApplicationDelegate {
   public:
    void applicationDidFinishLaunching(Application& app) override {
      launched = true;
      auto window = std::make_shared<Window>(Rect{0, 0, 50, 50}, Window::kTitled);
      window->makeKeyAndOrderFront();
      // Closing the last window ends the application.
      DispatchQueue::main()->async([window] { window->close(); });
      (void)app;
    }
    bool applicationShouldTerminate(Application&) override { return ++asked > 1; }
    bool applicationShouldTerminateAfterLastWindowClosed(Application&) override { return true; }
    bool launched = false;
    int asked = 0;
  };
  auto delegate = std::make_shared<Delegate>();
  Application::shared().setDelegate(delegate);
  bool willTerminate = false;
  ObserverRegistration registration(NotificationCenter::defaultCenter(),
                                    NotificationCenter::defaultCenter().addObserver(
                                        kApplicationWillTerminateNotification, nullptr,
                                        [&](const Notification&) { willTerminate = true; }));
  // The first request is refused; the second (the last window closing) goes through.
  DispatchQueue::main()->async([] { Application::shared().terminate(); });
  Application::shared().run();
  EXPECT_TRUE(delegate->launched);
  EXPECT_EQ(delegate->asked, 2);
  EXPECT_TRUE(willTerminate);
  EXPECT_TRUE(Application::shared().orderedWindows().empty());
}

// Records the names of the application's notifications, in the order they were posted.
class ApplicationNotificationLog {
 public:
  ApplicationNotificationLog() {
    for (const char* name :
         {kApplicationDidFinishLaunchingNotification, kApplicationDidBecomeActiveNotification,
          kApplicationWillResignActiveNotification, kApplicationWillTerminateNotification}) {
      registrations_.emplace_back(
          NotificationCenter::defaultCenter(),
          NotificationCenter::defaultCenter().addObserver(
              name, &Application::shared(),
              [this](const Notification& note) { names.push_back(note.name); }));
    }
  }
  std::vector<std::string> names;

 private:
  std::vector<ObserverRegistration> registrations_;
};

TEST_F(ApplicationTest, PostsTheLifeOfTheApplicationInOrder) {
  class Delegate : public ApplicationDelegate {
   public:
    explicit Delegate(ApplicationNotificationLog& log) : log_(log) {}
    void applicationDidFinishLaunching(Application&) override {
      namesAtLaunch = log_.names;
      window = std::make_shared<Window>(Rect{0, 0, 50, 50}, Window::kTitled);
      window->makeKeyAndOrderFront();
      DispatchQueue::main()->async([this] {
        window->orderOut();  // the key window goes: the application resigns
        window->makeKeyAndOrderFront();
        Application::shared().terminate();
      });
    }
    std::vector<std::string> namesAtLaunch;
    std::shared_ptr<Window> window;

   private:
    ApplicationNotificationLog& log_;
  };
  ApplicationNotificationLog log;
  auto delegate = std::make_shared<Delegate>(log);
  Application::shared().setDelegate(delegate);
  Application::shared().run();
  // The delegate hears of the launch first; the application quits after resigning once.
  EXPECT_TRUE(delegate->namesAtLaunch.empty());
  EXPECT_EQ(log.names, (std::vector<std::string>{
                           kApplicationDidBecomeActiveNotification,
                           kApplicationDidFinishLaunchingNotification,
                           kApplicationWillResignActiveNotification,
                           kApplicationDidBecomeActiveNotification,
                           kApplicationWillResignActiveNotification,
                           kApplicationWillTerminateNotification,
                       }));
}

TEST_F(ApplicationTest, TerminateWaitsForOpenBackgroundTasks) {
  ApplicationNotificationLog log;
  // The task that resigning opens ends on another thread; terminate waits for it.
  std::atomic<bool> ended{false};
  std::vector<std::string> openWhenResigning;
  ObserverRegistration registration(
      NotificationCenter::defaultCenter(),
      NotificationCenter::defaultCenter().addObserver(
          kApplicationWillResignActiveNotification, nullptr, [&](const Notification&) {
            BackgroundTaskID task = Application::shared().beginBackgroundTask("upload");
            openWhenResigning = Application::shared().openBackgroundTasks();
            DispatchQueue::global()->async([task, &ended] {
              ended = true;
              Application::shared().endBackgroundTask(task);
            });
          }));
  bool endedBeforeTerminating = false;
  ObserverRegistration terminating(
      NotificationCenter::defaultCenter(),
      NotificationCenter::defaultCenter().addObserver(
          kApplicationWillTerminateNotification, nullptr,
          [&](const Notification&) { endedBeforeTerminating = ended.load(); }));
  Application::shared().setBackgroundTaskGracePeriod(600);
  DispatchQueue::main()->async([] { Application::shared().terminate(); });
  Application::shared().run();
  EXPECT_EQ(openWhenResigning, std::vector<std::string>{"upload"});
  EXPECT_TRUE(endedBeforeTerminating);
  EXPECT_TRUE(Application::shared().openBackgroundTasks().empty());
}

TEST_F(ApplicationTest, TerminateGivesUpOnABackgroundTaskAfterTheGracePeriod) {
  BackgroundTaskID stuck = Application::shared().beginBackgroundTask("stuck");
  BackgroundTaskID done = Application::shared().beginBackgroundTask("done");
  Application::shared().endBackgroundTask(done);
  Application::shared().endBackgroundTask(done);  // ending twice is harmless
  Application::shared().setBackgroundTaskGracePeriod(0.05);
  bool terminated = false;
  ObserverRegistration registration(NotificationCenter::defaultCenter(),
                                    NotificationCenter::defaultCenter().addObserver(
                                        kApplicationWillTerminateNotification, nullptr,
                                        [&](const Notification&) { terminated = true; }));
  DispatchQueue::main()->async([] { Application::shared().terminate(); });
  Application::shared().run();
  EXPECT_TRUE(terminated);
  EXPECT_EQ(Application::shared().openBackgroundTasks(), std::vector<std::string>{"stuck"});
  EXPECT_NE(stuck, done);
  EXPECT_NE(stuck, BackgroundTaskID{0});
}

TEST_F(ApplicationTest, AnIdleApplicationAsksForNoFrames) {
  auto window = makeWindow();
  EXPECT_EQ(Application::shared().updateDisplay(), kWaitForever);
  window->contentView()->setWantsLayer(true);
  BasicAnimation fade("opacity");
  fade.setFromValue(0.0);
  fade.setDuration(0.05);
  window->contentView()->layer()->addAnimation(fade, "fade");
  EXPECT_LT(Application::shared().updateDisplay(), 0.1);
  EXPECT_TRUE(RunLoop::main().runUntil(
      [] { return Application::shared().updateDisplay() == kWaitForever; }, 2));
}

TEST(ApplicationStartTest, WithoutADisplayTheApplicationDrawsHeadless) {
  testsupport::Sandbox sandbox;
  sandbox.setEnv("DISPLAY", std::nullopt);
  sandbox.setEnv("WAYLAND_DISPLAY", std::nullopt);
  Application::resetForTesting();
  Error error;
  EXPECT_FALSE(Application::shared().start(Application::BackendKind::Sdl, &error));
  EXPECT_EQ(error.domain, kUiErrorDomain);
  EXPECT_FALSE(Application::shared().isStarted());
  EXPECT_TRUE(Application::shared().start());
  EXPECT_NE(Application::shared().headlessBackend(), nullptr);
  Application::resetForTesting();
}

}  // namespace
}  // namespace os::ui
