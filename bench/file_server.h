// A bench_file_server process serving a folder on 127.0.0.1, for comparisons whose clients
// download or upload: out of the client's process and fast (sendfile), so that the server is
// never what is measured.
//
//   bench::FileServer server(folderWithFiles);
//   if (!server.running()) return 1;
//   std::string url = server.url("/large.bin");   // http://127.0.0.1:<port>/large.bin
//
// GET and HEAD send files of the folder; other methods read and drop the body and answer 200.
#pragma once

#include <filesystem>
#include <string>

#include "testsupport/child_process.h"

namespace bench {

class FileServer {
 public:
  // Starts the server and waits until it listens.
  explicit FileServer(const std::filesystem::path& folder);
  // Ends the server process and waits for it.
  ~FileServer();
  FileServer(const FileServer&) = delete;
  FileServer& operator=(const FileServer&) = delete;

  bool running() const { return port_ > 0; }
  // "http://127.0.0.1:<port>" followed by `path` ("/large.bin").
  std::string url(const std::string& path) const;

 private:
  testsupport::Child server_;
  int port_ = 0;
};

}  // namespace bench
