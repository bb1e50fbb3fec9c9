// unzip_client: our side of unzip_bench's comparisons, a program that links only the unzip, as
// bsdtar links only libarchive, so that its time and memory are the unzip's.
//
//   unzip_client <archive> <destination> [threads]
//
// Exits with 0 when every entry was unpacked, 1 when the unzip failed, 2 for bad arguments.
#include <cstdio>
#include <cstdlib>

#include "os/zip/internal/zip_extract.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: unzip_client <archive> <destination> [threads]\n");
    return 2;
  }
  os::internal::UnzipOptions options;
  if (argc == 4) options.threads = static_cast<unsigned>(std::atoi(argv[3]));
  os::Error error;
  if (os::internal::unzip(argv[1], argv[2], true, "", options, &error)) return 0;
  std::fprintf(stderr, "unzip: %s\n", error.description.c_str());
  return 1;
}
