// The platform utilities' hot paths beside their references, through the comparison harness:
//  - gzip and inflate of 1 KiB, 64 KiB and 10 MiB (VDUNSDataZlib) against a direct zlib loop at
//    the same settings (one call into a buffer of the final size), in this process;
//  - gzip and inflate of a 10 MiB file by this executable against `gzip -6 -c` and `gzip -dc`
//    on the same file, as child processes;
//  - ten million debug lines that the level check filters out, against as many calls of an
//    empty function.
//
//   utilities_bench [--runs=N] [--filter=TEXT]
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/harness.h"
#include "platform/utilities/gzip.h"
#include "platform/utilities/logger.h"
#include "testsupport/files.h"
#include "testsupport/random.h"
#include "testsupport/sandbox.h"

namespace {

// Text-like bytes that compress about as well as an upload body: a repeated record with a few
// bits flipped here and there.
os::Data sample(size_t size) {
  static const std::string text =
      "event=screen_view&param=_si:12345&ts=1700000000123&origin=auto&name=Install_SW\n";
  testsupport::PseudoRandom random;
  os::Data bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>(text[i % text.size()] ^ (random.nextByte() < 8 ? 1 : 0));
  }
  return bytes;
}

os::Data zlibGzip(const os::Data& input) {
  z_stream stream{};
  deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  os::Data output(deflateBound(&stream, input.size()));
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = output.data();
  stream.avail_out = static_cast<uInt>(output.size());
  deflate(&stream, Z_FINISH);
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

os::Data zlibInflate(const os::Data& input, size_t size) {
  z_stream stream{};
  inflateInit2(&stream, 47);
  os::Data output(size);
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = output.data();
  stream.avail_out = static_cast<uInt>(output.size());
  inflate(&stream, Z_FINISH);
  output.resize(stream.total_out);
  inflateEnd(&stream);
  return output;
}

os::Data readFile(const char* path) {
  const std::string bytes = testsupport::readFile(path);
  return os::Data(bytes.begin(), bytes.end());
}

// Client modes: gzip or inflate a file, write nothing (as the reference writes to /dev/null).
int runClient(const char* mode, const char* path) {
  os::Data input = readFile(path);
  std::optional<os::Data> output = std::strcmp(mode, "--client=gzip") == 0
                                       ? VDUNSDataZlib::gul_dataByGzippingData(input)
                                       : VDUNSDataZlib::gul_dataByInflatingGzippedData(input);
  return output ? 0 : 1;
}

[[gnu::noinline]] void emptyFunction(int value) { asm volatile("" : : "r"(value) : "memory"); }

std::string sizeName(size_t size) {
  return size >= (1 << 20) ? std::to_string(size >> 20) + " MiB"
                           : std::to_string(size >> 10) + " KiB";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strncmp(argv[1], "--client=", 9) == 0) return runClient(argv[1], argv[2]);
  auto harness = bench::Harness::fromArguments(argc, argv, {});
  if (!harness) return 1;

  for (size_t size : {size_t{1} << 10, size_t{64} << 10, size_t{10} << 20}) {
    // About 16 MiB of input per run, so that every run takes long enough to time.
    int repeats = static_cast<int>(std::max<size_t>(1, (size_t{16} << 20) / size));
    os::Data plain = sample(size);
    os::Data gzipped = zlibGzip(plain);
    std::string times = " x " + std::to_string(repeats);
    harness->compare({
        .path = "gzip " + sizeName(size) + times,
        .ours = {.name = "gul_dataByGzippingData",
                 .work =
                     [&] {
                       for (int i = 0; i < repeats; ++i) {
                         if (!VDUNSDataZlib::gul_dataByGzippingData(plain)) return false;
                       }
                       return true;
                     }},
        .reference = {.name = "zlib deflate",
                      .work =
                          [&] {
                            for (int i = 0; i < repeats; ++i) zlibGzip(plain);
                            return true;
                          }},
    });
    harness->compare({
        .path = "inflate " + sizeName(size) + times,
        .ours = {.name = "gul_dataByInflatingGzippedData",
                 .work =
                     [&] {
                       for (int i = 0; i < repeats; ++i) {
                         if (!VDUNSDataZlib::gul_dataByInflatingGzippedData(gzipped)) return false;
                       }
                       return true;
                     }},
        .reference = {.name = "zlib inflate",
                      .work =
                          [&] {
                            for (int i = 0; i < repeats; ++i) zlibInflate(gzipped, size);
                            return true;
                          }},
    });
  }

  testsupport::Sandbox sandbox;
  const std::string plainFile = (sandbox.root() / "body").string();
  const std::string gzippedFile = (sandbox.root() / "body.gz").string();
  {
    os::Data plain = sample(size_t{10} << 20);
    os::Data gzipped = zlibGzip(plain);
    std::ofstream(plainFile, std::ios::binary)
        .write(reinterpret_cast<const char*>(plain.data()),
               static_cast<std::streamsize>(plain.size()));
    std::ofstream(gzippedFile, std::ios::binary)
        .write(reinterpret_cast<const char*>(gzipped.data()),
               static_cast<std::streamsize>(gzipped.size()));
  }
  harness->compare({
      .path = "gzip a 10 MiB file",
      .ours = {"gul_dataByGzippingData", {bench::self(), "--client=gzip", plainFile}},
      .reference = {"gzip -6", {"sh", "-c", "exec gzip -6 -c \"$0\" > /dev/null", plainFile}},
  });
  harness->compare({
      .path = "inflate a 10 MiB file",
      .ours = {"gul_dataByInflatingGzippedData", {bench::self(), "--client=inflate", gzippedFile}},
      .reference = {"gzip -dc", {"sh", "-c", "exec gzip -dc \"$0\" > /dev/null", gzippedFile}},
  });

  constexpr int kLines = 10'000'000;
  VDULoggerSetUpASL();
  harness->compare({
      .path = "10M debug lines filtered out",
      .ours = {.name = "VDULogAtDebug",
               .work =
                   [] {
                     for (int i = 0; i < kLines; ++i) {
                       VDULogAtDebug("[VDUNetwork]", false, "I-NET000001",
                                     "Uploading %ld bytes to %@", i, "host");
                     }
                     return true;
                   }},
      .reference = {.name = "empty call",
                    .work =
                        [] {
                          for (int i = 0; i < kLines; ++i) emptyFunction(i);
                          return true;
                        }},
  });
  harness->printTable();
  return 0;
}
