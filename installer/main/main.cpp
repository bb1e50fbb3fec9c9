// The installer executable, "Contents/MacOS/Brevalo Installer" of the installer's bundle. It
// runs the application with the installer's delegate until the installer quits.
//
// Environment:
//   TESSARO_UI=headless|sdl        the back end (default: sdl when DISPLAY names a display)
//   TESSARO_UI_SCRIPT=<file>       scripted input (see ui_script.h); a failing script ends the
//                                  installer with status 1
//   TESSARO_CRASH_FOR_TESTING=1    crashes (SIGSEGV) right after launch, for the crash tests
//   TESSARO_LAUNCH_PROBE=1         writes "launch-probe first-screen" on standard error once the
//                                  first screen has been drawn and handed to the window system,
//                                  for bench/launch_bench, which times the line's arrival
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "installer/app/crash_recorder.h"
#include "installer/app/temp_helper.h"
#include "installer/engine/folder_lock.h"
#include "installer/main/app_delegate.h"
#include "installer/main/ui_script.h"
#include "net/task_state_notifications.h"
#include "os/dispatch/dispatch.h"
#include "os/log/log.h"
#include "os/net/urlsession.h"
#include "os/process/process.h"
#include "os/ui/application.h"

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool chooseBackend(os::ui::Application::BackendKind* kind) {
  std::string ui = environment("TESSARO_UI");
  if (ui.empty()) {
    *kind = environment("DISPLAY").empty() ? os::ui::Application::BackendKind::Headless
                                           : os::ui::Application::BackendKind::Sdl;
  } else if (ui == "headless") {
    *kind = os::ui::Application::BackendKind::Headless;
  } else if (ui == "sdl") {
    *kind = os::ui::Application::BackendKind::Sdl;
  } else {
    std::fprintf(stderr, "TESSARO_UI must be headless or sdl, not \"%s\"\n", ui.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  os::process::setArguments(argc, argv);
  // Every task of the process posts its resume and suspend notifications, the update check's
  // too, which runs before any session manager exists.
  NKURLSessionTaskNotifications::install();
  // One installer at a time: held until the process ends. A second one says so and touches
  // nothing, not even the partial downloads of the one that runs.
  bool anotherInstallerRunning = false;
  const std::optional<TSRFolderLock> installerLock =
      TSRFolderLock::lockApplicationsFolders(&anotherInstallerRunning);
  // Partial downloads live in the installer's own cache folder; what a killed run left there
  // goes now.
  os::Error downloadFolderError;
  if (!anotherInstallerRunning &&
      !os::URLSession::setDownloadDirectory(TempHelper::getAppCachePath(), &downloadFolderError)) {
    os::log::write(os::log::Level::Warning, "Partial downloads stay in the temporary folder: " +
                                                downloadFolderError.description);
  }

  // The configuration fetch after Install is the first TLS connection: its trust evaluation
  // finds the system's roots already read.
  os::ServerTrust::loadDefaultAnchorsInBackground();

  os::ui::Application::BackendKind kind;
  if (!chooseBackend(&kind)) return 2;

  std::optional<std::vector<UiScript::Action>> script;
  if (std::string path = environment("TESSARO_UI_SCRIPT"); !path.empty()) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    os::Error error;
    if (!file || !(script = UiScript::parse(text.str(), &error))) {
      std::fprintf(stderr, "TESSARO_UI_SCRIPT %s: %s\n", path.c_str(),
                   file ? error.description.c_str() : "cannot be read");
      return 2;
    }
  }

  os::ui::Application& application = os::ui::Application::shared();
  os::Error error;
  if (!application.start(kind, &error)) {
    std::fprintf(stderr, "cannot start the window system: %s\n", error.description.c_str());
    return 1;
  }

  auto delegate = AppDelegate::create();
  delegate->setAnotherInstallerRunning(anotherInstallerRunning);
  delegate->awakeFromNib();
  application.setDelegate(delegate);

  // Queued now, run by the main loop once the launch steps are done.
  if (environment("TESSARO_LAUNCH_PROBE") == "1") {
    os::DispatchQueue::main()->async([&application] {
      // The loop would draw the new window later in this same turn; drawing it now lets the
      // line follow the first screen exactly.
      application.updateDisplay();
      std::fputs("launch-probe first-screen\n", stderr);
    });
  }
  if (environment("TESSARO_CRASH_FOR_TESTING") == "1") {
    os::DispatchQueue::main()->async([] { CrashRecorder::crashForTesting(); });
  }
  int status = 0;
  if (script) {
    os::DispatchQueue::main()->async([&script, &status, &application] {
      UiScript::play(std::move(*script), [&status, &application](bool succeeded) {
        if (succeeded) return;
        status = 1;
        application.terminate();
      });
    });
  }

  application.run();
  return status;
}
