#include "testsupport/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <utility>

extern char** environ;

namespace testsupport {

int ChildRun::exitCode() const {
  return started && WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

int ChildRun::signal() const {
  return started && WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
}

Child::Child(const std::vector<std::string>& command, ChildOutput taken) {
  if (command.empty()) return;
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  int pipeEnds[2] = {-1, -1};
  if (taken != ChildOutput::None && pipe2(pipeEnds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (taken == ChildOutput::StandardOutput || taken == ChildOutput::Both) {
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  }
  if (taken == ChildOutput::StandardError || taken == ChildOutput::Both) {
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
  }
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (taken != ChildOutput::None) {
    close(pipeEnds[1]);
    output_ = pipeEnds[0];
  }
  if (spawned == 0) pid_ = pid;
}

Child::~Child() {
  if (started() && !ended_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) close(output_);
}

ssize_t Child::readSome(std::string& output) {
  if (output_ < 0) return 0;
  char buffer[4096];
  ssize_t count;
  do {
    count = read(output_, buffer, sizeof buffer);
  } while (count < 0 && errno == EINTR);
  if (count > 0) output.append(buffer, static_cast<size_t>(count));
  return count;
}

std::optional<std::string> Child::readLine() {
  size_t end;
  while ((end = pending_.find('\n')) == std::string::npos) {
    if (readSome(pending_) <= 0) {
      if (pending_.empty()) return std::nullopt;
      return std::exchange(pending_, {});
    }
  }
  std::string line = pending_.substr(0, end);
  pending_.erase(0, end + 1);
  return line;
}

void Child::signal(int number) {
  if (started() && !ended_) kill(pid_, number);
}

ChildRun Child::wait(bool readRest) {
  if (ended_) return *ended_;
  ChildRun run;
  if (readRest) {
    run.output = std::exchange(pending_, {});
    while (readSome(run.output) > 0) {
    }
  }
  if (started()) {
    run.started = true;
    struct rusage usage {};
    while (wait4(pid_, &run.waitStatus, 0, &usage) < 0 && errno == EINTR) {
    }
    run.peakResidentBytes = static_cast<size_t>(usage.ru_maxrss) * 1024;
  }
  ended_ = run;
  return run;
}

std::optional<ChildRun> Child::waitIfEnded() {
  if (ended_) return ended_;
  ChildRun run;
  if (!started()) return run;
  run.started = true;
  struct rusage usage {};
  if (wait4(pid_, &run.waitStatus, WNOHANG, &usage) != pid_) return std::nullopt;
  run.peakResidentBytes = static_cast<size_t>(usage.ru_maxrss) * 1024;
  ended_ = run;
  return run;
}

ChildRun runChild(const std::vector<std::string>& command, ChildOutput taken) {
  return Child(command, taken).wait();
}

std::map<std::string, std::string> nameValueLines(const std::string& output) {
  std::map<std::string, std::string> values;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    auto equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

std::map<std::string, std::string> readSettingLines(Child& child, int count) {
  std::map<std::string, std::string> settings;
  std::optional<std::string> line;
  for (int i = 0; i < count && (line = child.readLine()); ++i) {
    size_t split = line->find_first_of(" =");
    settings[line->substr(0, split)] = split == std::string::npos ? "" : line->substr(split + 1);
  }
  return settings;
}

}  // namespace testsupport
