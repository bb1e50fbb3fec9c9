// A bench_file_server process serving a folder on 127.0.0.1, for comparisons whose clients
// download or upload: out of the client's process and fast (sendfile), so that the server is
// never what is measured.
//
// On a machine of four cores or more the server gets the last core to itself and the commands
// that the benchmark runs meanwhile get the others, as a remote server's processor is not the
// client's. Over loopback the sending side does most of the kernel's work (it even delivers
// into the receiving socket) and is the slower half; left to the scheduler, a client whose
// threads land on the server's core slows the server down and the run measures the collision:
// the same client then varied by half from run to run.
//
//   bench::FileServer server(folderWithFiles);
//   if (!server.running()) return 1;
//   std::string url = server.url("/large.bin");   // http://127.0.0.1:<port>/large.bin
//
// GET and HEAD send files of the folder; other methods read and drop the body and answer 200.
#pragma once

#include <sched.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "testsupport/child_process.h"

namespace bench {

// Keeps the last of this thread's cores for a server while it lives, and gives the commands that
// this thread spawns meanwhile the others (on a machine of four cores or more; otherwise it
// changes nothing).
class ServerCore {
 public:
  ServerCore();
  // Gives this thread its cores back.
  ~ServerCore();
  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

  // `command` made to run on the server's core (through taskset, so that every thread the server
  // starts is held there), or unchanged when no core was kept.
  std::vector<std::string> pin(std::vector<std::string> command) const;

 private:
  // The calling thread's cores before the server took one; nullopt when it took none.
  std::optional<cpu_set_t> benchmarkCores_;
  int core_ = -1;
};

class FileServer {
 public:
  // Starts the server and waits until it listens.
  explicit FileServer(const std::filesystem::path& folder);
  // Ends the server process and waits for it; the benchmark gets its cores back.
  ~FileServer();
  FileServer(const FileServer&) = delete;
  FileServer& operator=(const FileServer&) = delete;

  bool running() const { return port_ > 0; }
  // "http://127.0.0.1:<port>" followed by `path` ("/large.bin").
  std::string url(const std::string& path) const;

 private:
  ServerCore core_;
  testsupport::Child server_;
  int port_ = 0;
};

}  // namespace bench
