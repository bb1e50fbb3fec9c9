#include "installer/main/installer_process_test_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

InstallerRun runInstaller(const OutputWatcher& watcher) {
  InstallerRun run;
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) {
    ADD_FAILURE() << "no pipe for the installer's console";
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::string program = INSTALLER_EXECUTABLE;
  char* argv[] = {program.data(), nullptr};
  pid_t child = 0;
  run.started = Clock::now();
  int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << program;
    close(pipeEnds[0]);
    return run;
  }

  char buffer[4096];
  ssize_t count;
  while ((count = read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
    run.output.append(buffer, static_cast<size_t>(count));
    run.arrivals.emplace_back(run.output.size(), Clock::now());
    if (watcher) watcher(run.output);
  }
  close(pipeEnds[0]);
  waitpid(child, &run.waitStatus, 0);
  run.exited = Clock::now();
  return run;
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

}  // namespace installer::testing
