#include "bench/file_server.h"

#include <signal.h>

#include <cstdlib>

#include "bench/harness.h"

namespace bench {

FileServer::FileServer(const std::filesystem::path& folder)
    : server_({sibling("bench_file_server"), folder.string()},
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
