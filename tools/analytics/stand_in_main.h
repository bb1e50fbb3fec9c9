// The main() of the analytics stand-ins' executables:
//
//   <program> [--log=PATH] [COMMAND ...]
//
// It starts the server (its JSON lines appended to PATH as well), applies each COMMAND
// argument, prints where it listens and the two environment settings that send a client to it:
//
//   measurement https://127.0.0.1:41237
//   TESSARO_CONNECT_TO=measurement.tessaro.example:443:127.0.0.1:41237,...
//   TESSARO_CA_FILE=/tmp/tessaro-http-Ab12Cd/certificate.pem
//
// then reads more commands from standard input, one a line, answering each with "ok" or
// "error: <problem>" on standard output, and serves until SIGINT or SIGTERM (the end of standard
// input does not stop it). Status 2 for a bad argument, 1 when the server cannot start.
#pragma once

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "os/sync/mutex.h"
#include "tools/analytics/stand_in_server.h"
#include "tools/stop_signals.h"

namespace tools {

// The server that the command reader applies commands to, until it stops.
template <typename Server>
struct Serving {
  os::Mutex mutex;
  Server* server OS_GUARDED_BY(mutex) = nullptr;
};

// `Server` has an Options with a logPath, applyCommand(), connectTo(), http() and
// certificatePath(); `label` names its address in the first printed line.
template <typename Server>
int runStandIn(int argc, char** argv, const char* program, const char* label) {
  const StopSignals stop;
  typename Server::Options options;
  std::vector<std::string_view> commands;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument.starts_with("--log=")) {
      options.logPath = std::string(argument.substr(6));
    } else {
      commands.push_back(argument);
    }
  }
  try {
    Server server(options);
    for (std::string_view command : commands) {
      std::string problem;
      if (!server.applyCommand(command, &problem)) {
        std::fprintf(stderr, "%s: %s\nusage: %s [--log=PATH] [COMMAND ...]\n", program,
                     problem.c_str(), program);
        return 2;
      }
    }
    std::printf("%s %s\nTESSARO_CONNECT_TO=%s\nTESSARO_CA_FILE=%s\n", label,
                server.http().baseUrl().c_str(), server.connectTo().c_str(),
                server.certificatePath().c_str());
    std::fflush(stdout);
    // The reader is left blocked in its read at exit, and the process ends without it; a
    // command that arrives while the server stops finds it gone.
    auto serving = std::make_shared<Serving<Server>>();
    {
      os::MutexLock lock(serving->mutex);
      serving->server = &server;
    }
    std::thread([serving] {
      runCommands(stdin, stdout, [serving](std::string_view command, std::string* problem) {
        os::MutexLock lock(serving->mutex);
        if (serving->server == nullptr) {
          if (problem) *problem = "stopping";
          return false;
        }
        return serving->server->applyCommand(command, problem);
      });
    }).detach();
    stop.wait();
    os::MutexLock lock(serving->mutex);
    serving->server = nullptr;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s: %s\n", program, failure.what());
    return 1;
  }
  return 0;
}

}  // namespace tools
