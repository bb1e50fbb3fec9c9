#include "bench/file_server.h"

#include <sched.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "bench/harness.h"

namespace bench {

ServerCore::ServerCore() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (sched_getaffinity(0, sizeof cores, &cores) != 0 || CPU_COUNT(&cores) < 4) return;
  int last = CPU_SETSIZE - 1;
  while (!CPU_ISSET(last, &cores)) --last;
  cpu_set_t others = cores;
  CPU_CLR(last, &others);
  if (sched_setaffinity(0, sizeof others, &others) != 0) return;
  benchmarkCores_ = cores;
  core_ = last;
  std::fprintf(stderr, "bench: the server runs on core %d, the commands on the other %d\n", last,
               CPU_COUNT(&others));
}

ServerCore::~ServerCore() {
  if (benchmarkCores_) sched_setaffinity(0, sizeof *benchmarkCores_, &*benchmarkCores_);
}

std::vector<std::string> ServerCore::pin(std::vector<std::string> command) const {
  if (core_ < 0) return command;
  command.insert(command.begin(), {"taskset", "-c", std::to_string(core_)});
  return command;
}

FileServer::FileServer(const std::filesystem::path& folder)
    : server_(core_.pin({sibling("bench_file_server"), folder.string()}),
              testsupport::ChildOutput::StandardOutput) {
  // The server prints its port once it listens.
  if (std::optional<std::string> line = server_.readLine()) port_ = std::atoi(line->c_str());
}

FileServer::~FileServer() {
  server_.signal(SIGTERM);
  server_.wait();
}

std::string FileServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace bench
