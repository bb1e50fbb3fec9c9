#include "installer/main/installer_process_test_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <thread>

#include "os/mutex.h"

extern char** environ;

namespace installer::testing {

std::optional<Clock::time_point> InstallerRun::arrivalOf(const std::string& text) const {
  size_t at = output.find(text);
  if (at == std::string::npos) return std::nullopt;
  for (const auto& [length, time] : arrivals) {
    if (length >= at + text.size()) return time;
  }
  return std::nullopt;
}

std::filesystem::path installerBundlePath() {
  return std::filesystem::path(INSTALLER_EXECUTABLE).parent_path().parent_path().parent_path();
}

namespace {

// Starts the installer with standard error on a pipe; its process id and the pipe's read end,
// or a process id of 0 after a failure the test has been told about.
std::pair<pid_t, int> startInstaller() {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "no pipe for the installer's console";
    return {0, -1};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::string program = INSTALLER_EXECUTABLE;
  char* argv[] = {program.data(), nullptr};
  pid_t child = 0;
  int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << program;
    close(pipeEnds[0]);
    return {0, -1};
  }
  return {child, pipeEnds[0]};
}

}  // namespace

InstallerRun runInstaller(const OutputWatcher& watcher) {
  InstallerRun run;
  run.started = Clock::now();
  auto [child, console] = startInstaller();
  if (child == 0) return run;

  char buffer[4096];
  ssize_t count;
  while ((count = read(console, buffer, sizeof buffer)) > 0) {
    run.output.append(buffer, static_cast<size_t>(count));
    run.arrivals.emplace_back(run.output.size(), Clock::now());
    if (watcher) watcher(run.output);
  }
  close(console);
  waitpid(child, &run.waitStatus, 0);
  run.exited = Clock::now();
  return run;
}

struct InstallerProcess::State {
  pid_t pid = 0;
  std::optional<int> waitStatus;
  std::thread reader;
  mutable os::Mutex mutex;
  std::string output OS_GUARDED_BY(mutex);
};

InstallerProcess::InstallerProcess() : state_(std::make_unique<State>()) {
  auto [child, console] = startInstaller();
  state_->pid = child;
  if (child == 0) {
    state_->waitStatus = 0;
    return;
  }
  state_->reader = std::thread([state = state_.get(), console = console] {
    char buffer[4096];
    ssize_t count;
    while ((count = read(console, buffer, sizeof buffer)) > 0) {
      os::MutexLock lock(state->mutex);
      state->output.append(buffer, static_cast<size_t>(count));
    }
    close(console);
  });
}

InstallerProcess::~InstallerProcess() {
  if (!state_->waitStatus) kill();
  if (state_->reader.joinable()) state_->reader.join();
}

std::string InstallerProcess::output() const {
  os::MutexLock lock(state_->mutex);
  return state_->output;
}

bool InstallerProcess::exited() {
  if (state_->waitStatus) return true;
  int status = 0;
  if (waitpid(state_->pid, &status, WNOHANG) != state_->pid) return false;
  state_->waitStatus = status;
  return true;
}

bool InstallerProcess::waitUntil(const std::function<bool()>& condition, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    if (condition()) return true;
    if (exited()) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

int InstallerProcess::kill() {
  if (!state_->waitStatus) ::kill(state_->pid, SIGKILL);
  return wait();
}

int InstallerProcess::wait() {
  if (!state_->waitStatus) {
    int status = 0;
    waitpid(state_->pid, &status, 0);
    state_->waitStatus = status;
  }
  // The console ends with the process (children it started may hold it a little longer).
  if (state_->reader.joinable()) state_->reader.join();
  return *state_->waitStatus;
}

std::vector<std::string> trackedActions(const std::string& output) {
  std::vector<std::string> actions;
  const std::string marker = "    ea = ";
  for (size_t at = output.find(marker); at != std::string::npos; at = output.find(marker, at + 1)) {
    size_t start = at + marker.size();
    std::string value = output.substr(start, output.find(";\n", start) - start);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    actions.push_back(value);
  }
  return actions;
}

bool tracksAction(const std::string& output, const std::string& action) {
  const std::vector<std::string> actions = trackedActions(output);
  return std::find(actions.begin(), actions.end(), action) != actions.end();
}

}  // namespace installer::testing
