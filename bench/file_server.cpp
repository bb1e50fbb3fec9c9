#include "bench/file_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "bench/harness.h"

extern char** environ;

namespace bench {

FileServer::FileServer(const std::filesystem::path& folder) {
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) return;
  std::string program = sibling("bench_file_server");
  std::string root = folder.string();
  char* argv[] = {program.data(), root.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(output[1]);
  // The server prints its port once it listens.
  std::string line;
  char byte = 0;
  while (pid_ > 0 && line.size() < 16) {
    ssize_t got = ::read(output[0], &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || byte == '\n') break;
    line += byte;
  }
  ::close(output[0]);
  port_ = std::atoi(line.c_str());
}

FileServer::~FileServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::string FileServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace bench
