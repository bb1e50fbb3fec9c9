#include "os/ui/application.h"

#include <algorithm>
#include <cstdlib>

#include "os/dispatch/dispatch.h"
#include "os/dispatch/notifications.h"
#include "os/log/log.h"
#include "os/ui/animation.h"
#include "os/ui/backend_headless.h"
#include "os/ui/backend_sdl.h"
#include "os/ui/layer.h"

namespace os::ui {
namespace {

// Frames per second while something animates.
constexpr double kFrameInterval = 1.0 / 60;

}  // namespace

// Polled by the main run loop on every turn: reads events, stops ended animations and draws.
class Application::LoopSource : public RunLoopSource {
 public:
  explicit LoopSource(Application& application) : application_(application) {}

  double poll() override {
    Backend* backend = application_.backend_.get();
    if (!backend) return kWaitForever;
    double wait = backend->pollEvents();
    wait = std::min(wait, application_.updateDisplay());
    if (application_.backend_ && application_.backend_->hasPendingEvents()) return 0;
    return wait;
  }

  int fileDescriptor() const override {
    return application_.backend_ ? application_.backend_->fileDescriptor() : -1;
  }

 private:
  Application& application_;
};

Application& Application::shared() {
  // Never destroyed: windows and views may outlive static destruction order.
  static auto* application = new Application;
  return *application;
}

void Application::setDelegate(std::weak_ptr<ApplicationDelegate> delegate) {
  bool changed = delegate_.lock() != delegate.lock();
  delegate_ = std::move(delegate);
  if (changed)
    NotificationCenter::defaultCenter().post(kApplicationDelegateDidChangeNotification, this);
}

void Application::resetForTesting() {
  Application& application = shared();
  for (auto& window : std::vector(application.windows_)) window->close();
  application.windows_.clear();
  application.keyWindow_ = nullptr;
  application.mainWindow_ = nullptr;
  application.sessions_.clear();
  application.delegate_.reset();
  application.running_ = false;
  application.terminating_ = false;
  {
    os::MutexLock lock(application.backgroundTasksMutex_);
    application.backgroundTasks_.clear();
    application.backgroundTaskGracePeriod_ = kBackgroundTaskGracePeriod;
  }
  if (application.source_) RunLoop::main().removeSource(application.source_.get());
  application.source_.reset();
  application.backend_.reset();
}

bool Application::start(BackendKind kind, Error* error) {
  OS_CHECK_ON_MAIN();
  if (backend_) return true;
  if (kind == BackendKind::Automatic) {
    bool display = (std::getenv("DISPLAY") && *std::getenv("DISPLAY")) ||
                   (std::getenv("WAYLAND_DISPLAY") && *std::getenv("WAYLAND_DISPLAY"));
    if (display) {
      Error sdlError;
      backend_ = makeSdlBackend(*this, &sdlError);
      if (!backend_) {
        log::write(log::Level::Warning,
                   "ui: no window system (" + sdlError.description + "); drawing headless");
      }
    }
    if (!backend_) backend_ = std::make_unique<HeadlessBackend>(*this);
  } else if (kind == BackendKind::Sdl) {
    backend_ = makeSdlBackend(*this, error);
    if (!backend_) return false;
  } else {
    backend_ = std::make_unique<HeadlessBackend>(*this);
  }
  installSource();
  return true;
}

void Application::installSource() {
  source_ = std::make_shared<LoopSource>(*this);
  RunLoop::main().addSource(source_);
}

Backend* Application::backend() {
  if (!backend_) start();
  return backend_.get();
}

HeadlessBackend* Application::headlessBackend() const {
  return dynamic_cast<HeadlessBackend*>(backend_.get());
}

Rect Application::screenFrame() { return backend()->screenFrame(); }

void Application::run() {
  OS_CHECK_ON_MAIN();
  backend();
  running_ = true;
  terminating_ = false;
  if (auto delegate = delegate_.lock()) delegate->applicationDidFinishLaunching(*this);
  NotificationCenter::defaultCenter().post(kApplicationDidFinishLaunchingNotification, this);
  while (running_) RunLoop::main().run();
}

void Application::stop() {
  OS_CHECK_ON_MAIN();
  running_ = false;
  RunLoop::main().stop();
}

void Application::terminate() {
  OS_CHECK_ON_MAIN();
  auto delegate = delegate_.lock();
  if (delegate && !delegate->applicationShouldTerminate(*this)) return;
  terminating_ = true;
  // A desktop application resigns before it quits; what that starts may keep it a moment.
  NotificationCenter::defaultCenter().post(kApplicationWillResignActiveNotification, this);
  double grace;
  {
    os::MutexLock lock(backgroundTasksMutex_);
    grace = backgroundTaskGracePeriod_;
  }
  RunLoop::main().runUntil([this] { return openBackgroundTasks().empty(); }, grace);
  if (delegate) delegate->applicationWillTerminate(*this);
  NotificationCenter::defaultCenter().post(kApplicationWillTerminateNotification, this);
  for (auto& session : sessions_) {
    if (session->response_ == kModalResponseContinue) session->response_ = kModalResponseAbort;
  }
  for (auto& window : std::vector(windows_)) window->close();
  stop();
}

BackgroundTaskID Application::beginBackgroundTask(std::string name) {
  os::MutexLock lock(backgroundTasksMutex_);
  BackgroundTaskID task = ++lastBackgroundTaskID_;
  backgroundTasks_.emplace(task, std::move(name));
  return task;
}

void Application::endBackgroundTask(BackgroundTaskID task) {
  {
    os::MutexLock lock(backgroundTasksMutex_);
    backgroundTasks_.erase(task);
  }
  RunLoop::main().wakeUp();
}

std::vector<std::string> Application::openBackgroundTasks() const {
  os::MutexLock lock(backgroundTasksMutex_);
  std::vector<std::string> names;
  for (const auto& [task, name] : backgroundTasks_) names.push_back(name);
  return names;
}

void Application::setBackgroundTaskGracePeriod(double seconds) {
  os::MutexLock lock(backgroundTasksMutex_);
  backgroundTaskGracePeriod_ = seconds;
}

std::vector<std::shared_ptr<Window>> Application::orderedWindows() const { return windows_; }

void Application::sendEvent(Window& window, Event event) {
  OS_CHECK_ON_MAIN();
  event.window = &window;
  event.locationInWindow = window.convertPointFromScreen(event.locationOnScreen);
  // Every event the toolkit has is a mouse event: only the modal window gets them.
  Window* modal = modalWindow();
  if (modal && modal != &window) return;
  window.sendEvent(event);
}

void Application::setCursor(Cursor cursor) {
  if (backend_) backend_->setCursor(cursor);
}

std::shared_ptr<ModalSession> Application::beginModalSession(Window& window) {
  OS_CHECK_ON_MAIN();
  auto session = std::make_shared<ModalSession>(window);
  sessions_.push_back(session);
  window.makeKeyAndOrderFront();
  return session;
}

int Application::runModalSession(ModalSession& session) {
  OS_CHECK_ON_MAIN();
  while (session.response_ == kModalResponseContinue && !terminating_) RunLoop::main().run();
  // A termination has to end every run between here and the application's own.
  if (terminating_) RunLoop::main().stop();
  return session.response_;
}

void Application::endModalSession(ModalSession& session) {
  sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                 [&](const auto& held) { return held.get() == &session; }),
                  sessions_.end());
}

int Application::runModalForWindow(Window& window) {
  OS_CHECK_ON_MAIN();
  auto session = beginModalSession(window);
  int response = runModalSession(*session);
  endModalSession(*session);
  return response;
}

void Application::stopModalWithCode(int code) {
  OS_CHECK_ON_MAIN();
  for (auto session = sessions_.rbegin(); session != sessions_.rend(); ++session) {
    if ((*session)->response_ == kModalResponseContinue) {
      (*session)->response_ = code;
      RunLoop::main().stop();
      return;
    }
  }
}

Window* Application::modalWindow() const {
  for (auto session = sessions_.rbegin(); session != sessions_.rend(); ++session) {
    if ((*session)->response_ == kModalResponseContinue) return (*session)->window().get();
  }
  return nullptr;
}

double Application::updateDisplay() {
  OS_CHECK_ON_MAIN();
  bool animating = updateAnimations(currentMediaTime());
  for (auto& window : std::vector(windows_)) window->displayIfNeeded();
  return animating ? kFrameInterval : kWaitForever;
}

void Application::windowDidOrderFront(Window& window) {
  auto held = window.shared_from_this();
  windows_.erase(std::remove(windows_.begin(), windows_.end(), held), windows_.end());
  if (window.isMiniaturized()) return;
  auto position = std::find_if(windows_.begin(), windows_.end(),
                               [&](const auto& other) { return other->level() <= window.level(); });
  windows_.insert(position, held);
}

void Application::windowDidOrderOut(Window& window) {
  windows_.erase(std::remove_if(windows_.begin(), windows_.end(),
                                [&](const auto& held) { return held.get() == &window; }),
                 windows_.end());
  if (mainWindow_ == &window) setMainWindow(nullptr);
  if (keyWindow_ != &window) return;
  // A child gives the key back to the window it belongs to.
  Window* parent = window.parentWindow();
  if (parent && parent->isVisible() && parent->canBecomeKeyWindow()) {
    setKeyWindow(parent);
  } else {
    chooseNewKeyWindow();
  }
}

void Application::windowDidClose(Window& window) {
  auto keep = window.weak_from_this().lock();
  windowDidOrderOut(window);
  if (!windows_.empty() || terminating_) return;
  auto delegate = delegate_.lock();
  if (delegate && delegate->applicationShouldTerminateAfterLastWindowClosed(*this)) terminate();
}

void Application::windowWillBeDestroyed(Window& window) {
  if (keyWindow_ == &window) keyWindow_ = nullptr;
  if (mainWindow_ == &window) mainWindow_ = nullptr;
}

void Application::chooseNewKeyWindow() {
  for (auto& window : windows_) {
    if (window.get() != keyWindow_ && window->canBecomeKeyWindow()) {
      setKeyWindow(window.get());
      return;
    }
  }
  setKeyWindow(nullptr);
}

void Application::setKeyWindow(Window* window) {
  if (keyWindow_ == window) return;
  Window* previous = keyWindow_;
  keyWindow_ = window;
  if (previous) {
    previous->key_ = false;
    previous->resignKeyWindow();
    // The key window went and none took its place: the application is no longer active
    // (terminate() has said so already).
    if (!window && !terminating_) {
      NotificationCenter::defaultCenter().post(kApplicationWillResignActiveNotification, this);
    }
  }
  if (window) {
    window->key_ = true;
    window->becomeKeyWindow();
    // A key window where there was none: the application has become active.
    if (!previous) {
      NotificationCenter::defaultCenter().post(kApplicationDidBecomeActiveNotification, this);
    }
  }
}

void Application::setMainWindow(Window* window) {
  if (mainWindow_ == window) return;
  Window* previous = mainWindow_;
  mainWindow_ = window;
  if (previous) {
    previous->main_ = false;
    previous->resignMainWindow();
  }
  if (window) {
    window->main_ = true;
    window->becomeMainWindow();
  }
}

}  // namespace os::ui
