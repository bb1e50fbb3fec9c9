// FileHandle::transferTo against cp(1) copying the same large file in a temporary folder. Both
// copy from a source that is already in the page cache into a fresh destination without forcing
// it to disk, so the ratio compares the copy loops themselves. Both run as child processes (this
// binary again, in client mode, for ours).
//
//   transfer_bench                          # a 1 GiB file
//   transfer_bench --size_mib=256           # a smaller one, when disk or time is short
#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/data.h"
#include "bench/harness.h"
#include "support/file_handle_extensions.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

// Client mode: copies `source` to `destination` with transferTo.
int copyWithTransferTo(const char* source, const char* destination) {
  os::Error error;
  auto from = FileHandle::openPath(source, O_RDONLY, &error);
  auto to = FileHandle::openPath(destination, O_WRONLY | O_CREAT | O_TRUNC, &error);
  if (!from || !to || from->transferTo(*to, &error) < 0) {
    std::fprintf(stderr, "transferTo: %s\n", error.localizedDescription().c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--client=copy") == 0) {
    return copyWithTransferTo(argv[2], argv[3]);
  }
  uint64_t sizeBytes = uint64_t{1024} << 20;
  auto harness = bench::Harness::fromArguments(argc, argv, {{"--size_mib=", &sizeBytes, 1 << 20}});
  if (!harness) return 1;

  testsupport::Sandbox sandbox;
  const std::string source = (sandbox.root() / "source.bin").string();
  const std::string destination = (sandbox.root() / "copy.bin").string();
  if (!bench::writePseudoRandomFile(source, sizeBytes)) return 1;

  harness->compare({
      .path = "copy a " + std::to_string(sizeBytes >> 20) + " MiB file",
      .ours = {"transferTo", {bench::self(), "--client=copy", source, destination}},
      .reference = {"cp", {"cp", source, destination}},
      .prepare =
          [&] {
            std::error_code ignored;
            fs::remove(destination, ignored);
            return true;
          },
  });
  harness->printTable();
  return 0;
}
