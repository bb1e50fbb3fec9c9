#include "os/workspace/workspace.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "os/bundle/bundle.h"
#include "os/files/files.h"
#include "os/process/process.h"

extern char** environ;

namespace os::workspace {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// How long a killed process may take to disappear before terminate() reports failure.
constexpr std::chrono::seconds kKillDeadline{5};
constexpr std::chrono::milliseconds kPollInterval{10};

std::string openerProgram() {
  std::optional<std::string> configured = process::getEnv("TESSARO_OPEN_COMMAND");
  return configured && !configured->empty() ? *configured : "xdg-open";
}

bool isApplicationBundle(const fs::path& path) {
  return path.extension() == ".app" && files::isDirectory(path);
}

// Starts `program` (looked up in PATH when it has no "/") with `arguments`, standard input from
// /dev/null and every signal disposition back to its default (the caller may ignore SIGPIPE,
// which a child would otherwise inherit). With `detached` the child leads a session of its own.
bool spawn(const std::string& program, const std::vector<std::string>& arguments, bool detached,
           pid_t* pid, Error* error) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  sigset_t noSignals;
  sigset_t allSignals;
  sigemptyset(&noSignals);
  sigfillset(&allSignals);
  posix_spawnattr_setsigmask(&attributes, &noSignals);
  posix_spawnattr_setsigdefault(&attributes, &allSignals);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (detached) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&attributes, flags);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  int result = posix_spawnp(pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return fail(error, posixError(result, program));
  return true;
}

// Runs the opener on `target` and waits for it.
bool runOpener(const std::string& target, Error* error) {
  std::string opener = openerProgram();
  pid_t pid = 0;
  if (!spawn(opener, {target}, /*detached=*/false, &pid, error)) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return fail(error, posixError(errno, opener));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::string outcome = WIFEXITED(status)
                            ? "exited with status " + std::to_string(WEXITSTATUS(status))
                            : "ended by signal " + std::to_string(WTERMSIG(status));
  return fail(error, Error(kPOSIXErrorDomain, ECHILD, opener + " " + outcome + " for " + target));
}

bool launchApplication(const fs::path& bundlePath, Error* error) {
  std::string executable = Bundle(bundlePath.string()).executablePath();
  if (executable.empty()) {
    return fail(error, posixError(ENOENT, bundlePath.string() + " names no executable"));
  }
  pid_t pid = 0;
  if (!spawn(executable, {}, /*detached=*/true, &pid, error)) return false;
  // The application is our child until we exit; collect it when it ends so that it does not
  // linger as a zombie in a long-lived caller.
  std::thread([pid] {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

std::optional<std::string> readWhole(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return std::nullopt;
  std::ostringstream contents;
  contents << stream.rdbuf();
  return contents.str();
}

// The process's state letter from /proc/<pid>/stat ('R', 'S', 'Z', ...); nullopt when gone.
std::optional<char> processState(pid_t pid) {
  std::optional<std::string> stat = readWhole("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return std::nullopt;
  // The command name in parentheses may itself hold ") ", so the state follows the last one.
  size_t close = stat->rfind(')');
  if (close == std::string::npos || close + 2 >= stat->size()) return std::nullopt;
  return (*stat)[close + 2];
}

// `path` with symbolic links resolved as far as it exists.
fs::path resolved(const fs::path& path) {
  std::error_code code;
  fs::path result = fs::weakly_canonical(path, code);
  return code ? path.lexically_normal() : result;
}

bool processRuns(const fs::path& processFolder, const fs::path& executable) {
  std::error_code code;
  fs::path image = fs::read_symlink(processFolder / "exe", code);
  if (!code && image == executable) return true;
  std::optional<std::string> commandLine = readWhole(processFolder / "cmdline");
  if (!commandLine) return false;
  std::vector<std::string> arguments;
  for (size_t start = 0; start < commandLine->size() && arguments.size() < 2;) {
    size_t end = commandLine->find('\0', start);
    if (end == std::string::npos) end = commandLine->size();
    arguments.push_back(commandLine->substr(start, end - start));
    start = end + 1;
  }
  for (const std::string& argument : arguments) {
    fs::path candidate(argument);
    if (candidate.empty()) continue;
    if (candidate.is_relative()) {
      fs::path folder = fs::read_symlink(processFolder / "cwd", code);
      if (code) continue;
      candidate = folder / candidate;
    }
    // Resolving paths is the slow part of a scan; most processes differ by name already.
    if (candidate.filename() != executable.filename() && !fs::is_symlink(candidate, code)) {
      continue;
    }
    if (resolved(candidate) == executable) return true;
  }
  return false;
}

}  // namespace

bool openFile(const fs::path& path, Error* error) {
  if (!fs::exists(fs::symlink_status(path))) return fail(error, posixError(ENOENT, path.string()));
  if (isApplicationBundle(path)) return launchApplication(path, error);
  return runOpener(path.string(), error);
}

bool openURL(const URL& url, Error* error) {
  if (url.isFileURL()) return openFile(url.filePath(), error);
  return runOpener(url.absoluteString(), error);
}

std::vector<pid_t> processesOfExecutable(const fs::path& executable) {
  std::vector<pid_t> found;
  fs::path target = resolved(executable);
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    if (processRuns(fs::path("/proc") / entry->d_name, target) && isRunning(pid)) {
      found.push_back(static_cast<pid_t>(pid));
    }
  }
  ::closedir(proc);
  return found;
}

std::vector<pid_t> processesOfBundle(const fs::path& bundlePath) {
  std::string executable = Bundle(bundlePath.string()).executablePath();
  if (executable.empty()) return {};
  return processesOfExecutable(executable);
}

bool isRunning(pid_t pid) {
  std::optional<char> state = processState(pid);
  return state && *state != 'Z' && *state != 'X';
}

bool terminate(pid_t pid, double gracePeriod, Error* error) {
  auto waitUntilEnded = [pid](Clock::time_point deadline) {
    while (isRunning(pid)) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(kPollInterval);
    }
    return true;
  };
  auto send = [pid, error](int signal) {
    if (::kill(pid, signal) == 0 || errno == ESRCH) return true;
    return fail(error, posixError(errno, "signal " + std::to_string(signal) + " to process " +
                                             std::to_string(pid)));
  };
  if (!isRunning(pid)) return true;
  if (!send(SIGTERM)) return false;
  auto grace = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(std::max(gracePeriod, 0.0)));
  if (waitUntilEnded(Clock::now() + grace)) return true;
  if (!send(SIGKILL)) return false;
  if (waitUntilEnded(Clock::now() + kKillDeadline)) return true;
  return fail(error, posixError(ETIMEDOUT, "process " + std::to_string(pid) + " did not end"));
}

}  // namespace os::workspace
