// The application: the back end, the visible windows and which is key, the run loop hook that
// reads events and draws, modal sessions, and termination.
//
//   int main() {
//     auto& app = os::ui::Application::shared();
//     app.setDelegate(delegate);
//     app.run();               // returns after terminate()
//   }
//
// A modal session keeps the main run loop turning (timers, main-queue blocks and animations
// go on) while only its window gets mouse events:
//
//   auto session = app.beginModalSession(*window);
//   int response = app.runModalSession(*session);   // until stopModal / stopModalWithCode
//   app.endModalSession(*session);
//
// Back ends: SDL2 when a display is there, else headless (Application::start chooses, or the
// caller does). Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "os/dispatch/runloop.h"
#include "os/sync/mutex.h"
#include "os/ui/backend.h"
#include "os/ui/event.h"
#include "os/ui/window.h"
#include "os/value/error.h"

namespace os::ui {

class Application;
class HeadlessBackend;

// The platform's modal responses.
inline constexpr int kModalResponseStop = -1000;
inline constexpr int kModalResponseAbort = -1001;
inline constexpr int kModalResponseContinue = -1002;

// Posted to os::NotificationCenter::defaultCenter() with the application as object:
// os::kApplicationDidFinishLaunchingNotification after the delegate's
// applicationDidFinishLaunching; os::kApplicationDidBecomeActiveNotification when a window
// becomes key while none was; os::kApplicationWillResignActiveNotification when the key window
// goes without another taking its place, and in terminate(), where this one follows it before
// the application ends.
inline constexpr const char* kApplicationWillTerminateNotification =
    "NSApplicationWillTerminateNotification";

// How long terminate() waits for open background tasks.
inline constexpr double kBackgroundTaskGracePeriod = 5;

// Names one background task; 0 is never a task.
using BackgroundTaskID = uint64_t;

// Posted to os::NotificationCenter::defaultCenter() by setDelegate when the delegate changes,
// with the application as object, so that code that put a layer in front of the delegate
// notices when the application replaces it.
inline constexpr const char* kApplicationDelegateDidChangeNotification =
    "TessaroApplicationDelegateDidChangeNotification";

// Optional hooks into the application's life; every method has a default.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  // Called by run() once the back end is up, before the first turn of the loop.
  virtual void applicationDidFinishLaunching(Application&) {}
  // Asked by terminate(); false cancels it.
  virtual bool applicationShouldTerminate(Application&) { return true; }
  virtual void applicationWillTerminate(Application&) {}
  // True: closing the last visible window terminates the application.
  virtual bool applicationShouldTerminateAfterLastWindowClosed(Application&) { return false; }
};

// A window's modal session, from beginModalSession to endModalSession.
class ModalSession {
 public:
  explicit ModalSession(Window& window) : window_(window.weak_from_this()) {}
  std::shared_ptr<Window> window() const { return window_.lock(); }
  // kModalResponseContinue while it runs, then the code it was stopped with.
  int response() const { return response_; }

 private:
  friend class Application;
  std::weak_ptr<Window> window_;
  int response_ = kModalResponseContinue;
};

class Application : public BackendEventSink {
 public:
  enum class BackendKind { Automatic, Sdl, Headless };

  static Application& shared();
  // Closes every window, ends the back end, forgets the delegate and the modal sessions, so
  // that the next test starts afresh.
  static void resetForTesting();

  // Starts a back end; Automatic picks SDL2 when a display is named (DISPLAY or
  // WAYLAND_DISPLAY) and SDL2 starts there, else headless. Returns false with `error` when SDL2
  // was asked for and cannot start. Does nothing once started.
  bool start(BackendKind kind = BackendKind::Automatic, Error* error = nullptr);
  bool isStarted() const { return backend_ != nullptr; }
  // The back end, started automatically when needed.
  Backend* backend();
  // The headless back end when that is the one running, else null.
  HeadlessBackend* headlessBackend() const;
  Rect screenFrame();

  // The delegate, or null when none is set or it is gone.
  std::shared_ptr<ApplicationDelegate> delegate() const { return delegate_.lock(); }
  // Sets the delegate, posting kApplicationDelegateDidChangeNotification when it changes.
  void setDelegate(std::weak_ptr<ApplicationDelegate> delegate);

  // Starts the back end if needed, tells the delegate that launching finished and turns the
  // main run loop until terminate() or stop().
  void run();
  // Ends run() after the current turn.
  void stop();
  // Asks the delegate; then posts os::kApplicationWillResignActiveNotification, turns the main
  // run loop until no background task is open or the grace period has passed, posts
  // kApplicationWillTerminateNotification, ends the modal sessions, closes the windows and ends
  // run().
  void terminate() override;
  bool isRunning() const { return running_; }

  // Background tasks: work that should finish before the application quits (the last uploads
  // of the analytics stack). terminate() waits for them, never longer than the grace period.
  // Thread-safe.
  //
  //   BackgroundTaskID task = Application::shared().beginBackgroundTask("upload");
  //   queue->async([task] { upload(); Application::shared().endBackgroundTask(task); });
  BackgroundTaskID beginBackgroundTask(std::string name);
  // Ends the task; unknown and ended ids are ignored.
  void endBackgroundTask(BackgroundTaskID task);
  // The names of the open tasks, oldest first.
  std::vector<std::string> openBackgroundTasks() const;
  // kBackgroundTaskGracePeriod unless a test shortened it; resetForTesting restores it.
  void setBackgroundTaskGracePeriod(double seconds);

  // Visible windows, front to back (higher levels first).
  std::vector<std::shared_ptr<Window>> orderedWindows() const override;
  Window* keyWindow() const { return keyWindow_; }
  Window* mainWindow() const { return mainWindow_; }

  // Delivers an event of `window`: fills in its location in the window from its location on
  // the screen and drops mouse events of other windows while a modal session runs.
  void sendEvent(Window& window, Event event) override;
  void setCursor(Cursor cursor);

  // Modal sessions. Sessions nest; events go to the innermost session's window.
  std::shared_ptr<ModalSession> beginModalSession(Window& window);
  // Turns the main run loop until the session is stopped; returns the code it was stopped
  // with.
  int runModalSession(ModalSession& session);
  void endModalSession(ModalSession& session);
  // Shows `window`, runs a session for it until stopped, and ends the session.
  int runModalForWindow(Window& window);
  // Stops the innermost running session with kModalResponseStop, `code`, or
  // kModalResponseAbort.
  void stopModal() { stopModalWithCode(kModalResponseStop); }
  void stopModalWithCode(int code);
  void abortModal() { stopModalWithCode(kModalResponseAbort); }
  // The window of the innermost session, or null.
  Window* modalWindow() const;

  // Stops ended animations and draws the windows that need it. Returns how long the loop may
  // wait before the next frame: a frame interval while animations run, else kWaitForever.
  // The run loop does this on every turn; tests call it after moving a fake clock.
  double updateDisplay();

  // Bookkeeping called by Window.
  void windowDidOrderFront(Window& window);
  void windowDidOrderOut(Window& window);
  void windowDidClose(Window& window);
  void setKeyWindow(Window* window);
  void setMainWindow(Window* window);
  // Forgets a window that is being destroyed.
  void windowWillBeDestroyed(Window& window);

 private:
  class LoopSource;
  Application() = default;
  void installSource();
  void chooseNewKeyWindow();

  std::unique_ptr<Backend> backend_;
  std::shared_ptr<LoopSource> source_;
  std::weak_ptr<ApplicationDelegate> delegate_;
  std::vector<std::shared_ptr<Window>> windows_;  // visible, front to back
  Window* keyWindow_ = nullptr;
  Window* mainWindow_ = nullptr;
  std::vector<std::shared_ptr<ModalSession>> sessions_;
  bool running_ = false;
  bool terminating_ = false;

  mutable os::Mutex backgroundTasksMutex_;
  std::map<BackgroundTaskID, std::string> backgroundTasks_ OS_GUARDED_BY(backgroundTasksMutex_);
  BackgroundTaskID lastBackgroundTaskID_ OS_GUARDED_BY(backgroundTasksMutex_) = 0;
  double backgroundTaskGracePeriod_ OS_GUARDED_BY(backgroundTasksMutex_) =
      kBackgroundTaskGracePeriod;
};

}  // namespace os::ui
