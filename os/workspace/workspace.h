// Opening files, folders, application bundles and URLs the way the desktop's workspace does, and
// finding and ending running programs. Nothing here goes through a shell: paths and URLs are
// handed to programs as single arguments, so no character in them can be taken as a command.
//
//   os::Error error;
//   if (!os::workspace::openFile("/Applications/Brevalo.app", &error)) ...   // starts the app
//   os::workspace::openURL(*os::URL::parse("https://www.tessaro.example/help"), &error);
//
//   for (pid_t pid : os::workspace::processesOfBundle("/Applications/Brevalo.app")) {
//     os::workspace::terminate(pid, /*gracePeriod=*/3.0, &error);
//   }
//
// Application bundles (a folder whose name ends in ".app", laid out as os::Bundle describes)
// are started by running Contents/MacOS/<CFBundleExecutable> directly, detached: in a session
// of its own, with standard input from /dev/null, so it outlives the caller and its terminal.
// Everything else goes to the desktop's opener, `xdg-open`, with the path or URL as its only
// argument. The environment variable TESSARO_OPEN_COMMAND, when set and not empty, names
// another opener program (a path, or a name looked up in PATH) that is run the same way; tests
// and machines without xdg-open use it.
//
// Every function may be called from any thread.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <vector>

#include "os/net/url.h"
#include "os/value/error.h"

namespace os::workspace {

// Opens the item at `path`: an application bundle is started (see above) and the call returns
// once its executable runs; anything else is handed to the opener, and the call waits for the
// opener to finish. False (POSIX domain) when nothing exists at `path`, when a bundle names no
// executable or it cannot be run, or when the opener cannot be run or exits with a non-zero
// status (ECHILD, with the status in the description).
bool openFile(const std::filesystem::path& path, Error* error);

// Opens `url`: a file URL as openFile() opens its path, any other URL through the opener.
bool openURL(const URL& url, Error* error);

// The identifiers of the running processes whose program is the file at `executable`: the
// process's executable is that file, or its first or second command-line argument names it
// (a script started through its interpreter shows there). Paths are compared after resolving
// symbolic links. Zombie processes (ended, not yet collected) are not running. Found by
// scanning /proc; processes that cannot be inspected are left out.
std::vector<pid_t> processesOfExecutable(const std::filesystem::path& executable);

// processesOfExecutable() for the executable of the application bundle at `bundlePath`;
// empty when the bundle names no executable.
std::vector<pid_t> processesOfBundle(const std::filesystem::path& bundlePath);

// True while the process `pid` exists and has not ended (a zombie has ended).
bool isRunning(pid_t pid);

// Asks the process `pid` to end (SIGTERM) and, when it is still running after `gracePeriod`
// seconds, kills it (SIGKILL). Returns true once it has ended (at once when it was not running),
// false (POSIX domain) when a signal cannot be sent or it has still not ended a few seconds after
// SIGKILL.
bool terminate(pid_t pid, double gracePeriod, Error* error);

}  // namespace os::workspace
