// tessaro-resource-server: the maker's servers on 127.0.0.1 for the demo and for manual runs.
//
//   tessaro-resource-server [--archive=PATH] [--configuration=PATH] [--update-list=PATH]
//                           [--<plist|config|zip>-<fault>[=VALUE] ...]
//
// Faults: status=N, delay-ms=N, rate=BYTES_PER_SECOND, cut-after=BYTES, chunked, and for the
// archive body=html|corrupt|escaping. Without --archive it serves the generated sample product.
// It prints where it listens and the two environment settings that send the installer to it,
// then serves until interrupted:
//
//   download https://127.0.0.1:41234
//   resources https://127.0.0.1:41235
//   TESSARO_CONNECT_TO=download.tessaro.example:443:127.0.0.1:41234,...
//   TESSARO_CA_FILE=/tmp/tessaro-http-Ab12Cd/certificate.pem
#include <cstdio>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/installer/resource_server.h"
#include "tools/stop_signals.h"

namespace {

bool readFile(const std::string& path, std::string* contents) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) return false;
  std::ostringstream text;
  text << stream.rdbuf();
  *contents = text.str();
  return true;
}

int usage(const std::string& problem) {
  std::fprintf(stderr,
               "tessaro-resource-server: %s\n"
               "usage: tessaro-resource-server [--archive=PATH] [--configuration=PATH] "
               "[--update-list=PATH] [--<plist|config|zip>-<fault>[=VALUE] ...]\n",
               problem.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const tools::StopSignals stop;

  tools::ResourceServer::Options options;
  std::vector<std::string_view> faultFlags;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    auto valueOf = [&](std::string_view prefix) -> std::optional<std::string> {
      if (argument.substr(0, prefix.size()) != prefix) return std::nullopt;
      return std::string(argument.substr(prefix.size()));
    };
    std::string contents;
    if (auto path = valueOf("--archive=")) {
      options.archive = *path;
    } else if (auto path = valueOf("--configuration=")) {
      if (!readFile(*path, &contents)) return usage("cannot read " + *path);
      options.configuration = contents;
    } else if (auto path = valueOf("--update-list=")) {
      if (!readFile(*path, &contents)) return usage("cannot read " + *path);
      options.updateList = contents;
    } else {
      faultFlags.push_back(argument);
    }
  }

  try {
    tools::ResourceServer server(options);
    for (std::string_view flag : faultFlags) {
      std::string problem;
      if (!server.applyFlag(flag, &problem)) return usage(problem);
    }
    std::printf("download %s\nresources %s\nTESSARO_CONNECT_TO=%s\nTESSARO_CA_FILE=%s\n",
                server.downloadServer().baseUrl().c_str(),
                server.resourceServer().baseUrl().c_str(), server.connectTo().c_str(),
                server.certificatePath().c_str());
    std::fflush(stdout);
    stop.wait();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "tessaro-resource-server: %s\n", failure.what());
    return 1;
  }
  return 0;
}
