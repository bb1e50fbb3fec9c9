// Unpacking with SSZipArchive (bench/unzip_client) against `bsdtar -xf` and `unzip -qo`, each a
// child process unpacking the same archive into an empty folder, on tmpfs and on disk. The
// archive is in the page cache and nothing is forced to disk, so the ratios compare the unpacking itself. Shapes:
//   - one large entry (150 MB of a binary-like mix of compressible and incompressible blocks);
//   - 1,700 mixed entries (many small compressible files, a few large incompressible ones);
//   - 50,000 small entries in 500 folders.
//
//   unzip_bench                                   # all shapes, on /dev/shm and on disk
//   unzip_bench --large_mib=50 --small_count=5000 # smaller, when disk or time is short
//   unzip_bench --filter=50000                    # one shape
// Each destination is emptied, and the file system flushed, before every run, untimed. Every row
// gives wall time, CPU time and peak memory; a set of rows repeats the bsdtar comparisons with
// half the cores kept busy; the last rows give the scaling with the number of writing threads.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/harness.h"
#include "os/zip/zip.h"
#include "testsupport/random.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

// Writes `size` bytes that compress about as well as `compressible` says: text with a little
// noise, or pseudo-random bytes.
void writeContents(const fs::path& path, uint64_t size, bool compressible,
                   testsupport::PseudoRandom& random) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  static const std::string text =
      "The quick brown fox jumps over the lazy dog; installers unpack bundles all day long.\n";
  std::string chunk(std::min<uint64_t>(size, 1 << 16), '\0');
  for (uint64_t written = 0; written < size; written += chunk.size()) {
    for (size_t i = 0; i < chunk.size(); ++i) {
      chunk[i] = compressible ? text[(written + i) % text.size()] ^ (random.nextByte() < 8)
                              : static_cast<char>(random.nextByte());
    }
    out.write(chunk.data(),
              static_cast<std::streamsize>(std::min<uint64_t>(chunk.size(), size - written)));
  }
}

// One file of `size` bytes in blocks of 64 KiB, every third one incompressible, as a program's
// code, tables and embedded images mix.
void writeBinaryLike(const fs::path& path, uint64_t size, testsupport::PseudoRandom& random) {
  for (uint64_t offset = 0, block = 0; offset < size; offset += 1 << 16, ++block) {
    fs::path piece = path.parent_path() / "piece";
    writeContents(piece, std::min<uint64_t>(1 << 16, size - offset), block % 3 != 0, random);
    std::ofstream(path, std::ios::binary | std::ios::app) << std::ifstream(piece).rdbuf();
  }
  fs::remove(path.parent_path() / "piece");
}

bool zipFolder(const fs::path& folder, const fs::path& archive) {
  os::Error error;
  if (!os::SSZipArchive::createZipFileAtPath(archive.string(), folder.string(), true, &error)) {
    std::fprintf(stderr, "cannot write %s: %s\n", archive.c_str(), error.description.c_str());
    return false;
  }
  fs::remove_all(folder);
  return true;
}

struct Shape {
  std::string name;
  fs::path archive;
};

}  // namespace

int main(int argc, char** argv) {
  uint64_t largeBytes = uint64_t{150} << 20;
  uint64_t mixedCount = 1700;
  uint64_t smallCount = 50000;
  auto harness = bench::Harness::fromArguments(argc, argv,
                                               {{"--large_mib=", &largeBytes, 1 << 20},
                                                {"--mixed_count=", &mixedCount},
                                                {"--small_count=", &smallCount}});
  if (!harness) return 1;

  testsupport::Sandbox sandbox;
  testsupport::PseudoRandom random;
  std::vector<Shape> shapes;
  const fs::path source = sandbox.root() / "source" / "Product.app";

  writeBinaryLike(source / "Contents/MacOS/Product", largeBytes, random);
  shapes.push_back(
      {"one " + std::to_string(largeBytes >> 20) + " MiB entry", sandbox.root() / "large.zip"});
  if (!zipFolder(source.parent_path(), shapes.back().archive)) return 1;

  // A few large incompressible files (every 100th entry, 4 MiB), the rest small text files.
  for (uint64_t index = 0; index < mixedCount; ++index) {
    if (index % 100 == 99) {
      writeContents(source / "Contents/Frameworks" / ("binary" + std::to_string(index)), 4 << 20,
                    false, random);
    } else {
      writeContents(source / "Contents/Resources" / std::to_string(index % 40) /
                        ("file" + std::to_string(index) + ".txt"),
                    4096 + (index * 7919) % (60 * 1024), true, random);
    }
  }
  shapes.push_back({std::to_string(mixedCount) + " mixed entries", sandbox.root() / "mixed.zip"});
  if (!zipFolder(source.parent_path(), shapes.back().archive)) return 1;

  for (uint64_t index = 0; index < smallCount; ++index) {
    writeContents(source / "Contents/Resources" / std::to_string(index % 500) /
                      ("item" + std::to_string(index) + ".txt"),
                  512 + (index * 7919) % 3584, true, random);
  }
  shapes.push_back({std::to_string(smallCount) + " small entries", sandbox.root() / "small.zip"});
  if (!zipFolder(source.parent_path(), shapes.back().archive)) return 1;

  // tmpfs where the machine has one at /dev/shm, and the sandbox's disk.
  std::string tmpfsPattern = "/dev/shm/unzip-bench-XXXXXX";
  std::vector<std::pair<std::string, fs::path>> places = {{"disk", sandbox.root() / "out"}};
  if (fs::is_directory("/dev/shm") && ::mkdtemp(tmpfsPattern.data()) != nullptr) {
    places.insert(places.begin(), {"tmpfs", tmpfsPattern});
  }
  // Before every run, untimed: an empty destination (made here, so that neither side's time
  // includes making it), with the removal of the last run's tree and its writes flushed, so that
  // the file system's work for the previous run is not charged to the next.
  auto prepareFor = [](const std::string& destination) {
    return [destination] {
      std::error_code ignored;
      fs::remove_all(destination, ignored);
      if (!fs::create_directories(destination, ignored)) return false;
      const int folder = ::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (folder < 0) return false;
      const bool synced = ::syncfs(folder) == 0;
      ::close(folder);
      return synced;
    };
  };
  // One comparison of ours against bsdtar (or unzip) unpacking `archive` into `destination`.
  auto compare = [&](const std::string& path, const std::string& archive,
                     const std::string& destination, bool againstUnzip, unsigned threads,
                     unsigned busyCores) {
    std::vector<std::string> ours = {bench::sibling("unzip_client"), archive, destination};
    if (threads != 0) ours.push_back(std::to_string(threads));
    bench::Side reference =
        againstUnzip ? bench::Side{"unzip -qo", {"unzip", "-qo", archive, "-d", destination}}
                     : bench::Side{"bsdtar -xf", {"bsdtar", "-xf", archive, "-C", destination}};
    harness->compare({.path = path + (againstUnzip ? " (vs unzip)" : " (vs bsdtar)"),
                      .ours = {"SSZipArchive", ours},
                      .reference = reference,
                      .prepare = prepareFor(destination),
                      .memory = true,
                      .cpu = true,
                      .busyCores = busyCores});
  };
  for (const Shape& shape : shapes) {
    std::printf("%s: %.1f MiB zipped\n", shape.name.c_str(),
                double(fs::file_size(shape.archive)) / (1 << 20));
    for (const auto& [place, folder] : places) {
      const std::string destination = (folder / "unpacked").string();
      const std::string path = "unzip " + shape.name + " to " + place;
      compare(path, shape.archive.string(), destination, false, 0, 0);
      compare(path, shape.archive.string(), destination, true, 0, 0);
    }
  }
  // The same with half the cores kept busy by other processes, as on a machine that is doing
  // something else as well: the writing threads then compete for what is left.
  const unsigned busyCores = std::max(1u, std::thread::hardware_concurrency() / 2);
  for (const Shape& shape : shapes) {
    for (const auto& [place, folder] : places) {
      compare("unzip " + shape.name + " to " + place + ", busy loop on " +
                  std::to_string(busyCores) + " of " +
                  std::to_string(std::thread::hardware_concurrency()) + " cores",
              shape.archive.string(), (folder / "unpacked").string(), false, 0, busyCores);
    }
  }
  // How the writing threads scale, on the first place (tmpfs where there is one), for the shapes
  // of many entries.
  for (const Shape& shape : std::vector<Shape>(shapes.begin() + 1, shapes.end())) {
    for (unsigned threads : {1, 2, 4, 8}) {
      compare("unzip " + shape.name + " to " + places.front().first + ", " +
                  std::to_string(threads) + " threads",
              shape.archive.string(), (places.front().second / "unpacked").string(), false, threads,
              0);
    }
  }
  if (places.front().first == "tmpfs") fs::remove_all(places.front().second);
  harness->printTable();
  return 0;
}
