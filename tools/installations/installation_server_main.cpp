// tessaro-installation-server: the installation service on 127.0.0.1 for the demo and for manual
// runs.
//
//   tessaro-installation-server [--api-key=KEY] [--project=ID] [--expires-in=TEXT]
//                               [--<create|token|delete>-<status=N|delay-ms=N|cut|times=N> ...]
//
// It prints where it listens and the two environment settings that send the installation
// client to it, then serves until interrupted:
//
//   installations https://127.0.0.1:41236
//   TESSARO_CONNECT_TO=installations.tessaro.example:443:127.0.0.1:41236
//   TESSARO_CA_FILE=/tmp/tessaro-http-Ab12Cd/certificate.pem
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "tools/installations/installation_server.h"
#include "tools/stop_signals.h"

namespace {

int usage(const std::string& problem) {
  std::fprintf(stderr,
               "tessaro-installation-server: %s\n"
               "usage: tessaro-installation-server [--api-key=KEY] [--project=ID] "
               "[--expires-in=TEXT] [--<create|token|delete>-<fault>[=VALUE] ...]\n",
               problem.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const tools::StopSignals stop;

  tools::InstallationServer::Options options;
  std::vector<std::string_view> faultFlags;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument.rfind("--api-key=", 0) == 0) {
      options.APIKey = argument.substr(10);
    } else if (argument.rfind("--project=", 0) == 0) {
      options.projectID = argument.substr(10);
    } else {
      faultFlags.push_back(argument);
    }
  }

  try {
    tools::InstallationServer server(options);
    for (std::string_view flag : faultFlags) {
      std::string problem;
      if (!server.applyFlag(flag, &problem)) return usage(problem);
    }
    std::printf("installations %s\nTESSARO_CONNECT_TO=%s\nTESSARO_CA_FILE=%s\n",
                server.server().baseUrl().c_str(), server.connectTo().c_str(),
                server.certificatePath().c_str());
    std::fflush(stdout);
    stop.wait();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "tessaro-installation-server: %s\n", failure.what());
    return 1;
  }
  return 0;
}
