// A program the foundation's tests start in a sandbox prepared by the test:
//   monitor [arguments...]: creates the process's monitor with these launch arguments and
//     prints "debug=<0|1> verbose=<0|1>".
//   storm <name>: writes the persistent dictionary <name> again and again, its "state" each
//     time the next generation number and a 64 KiB payload made of it, printing "written" after
//     each write, until it is killed.
#include <cstdio>
#include <cstring>
#include <string>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/persistent_dictionary.h"
#include "os/process/process.h"

namespace {

int storm(const char* name) {
  std::shared_ptr<measurement::PersistentDictionary> store =
      measurement::PersistentDictionary::create(name);
  if (!store) return 1;
  std::optional<os::Dictionary> state = store->dictionaryForKey("state");
  int64_t generation = state ? os::Value(*state)["generation"].integerValue() : 0;
  for (;;) {
    ++generation;
    // One value, so that no write, scheduled or not, can catch half of a generation.
    store->setObject(
        os::Dictionary{{"generation", generation},
                       {"payload", std::string(65536, static_cast<char>('a' + generation % 26))}},
        "state");
    if (!store->persistToDisk()) return 1;
    std::printf("written\n");
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  os::process::setArguments(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "monitor") == 0) {
    measurement::Monitor& monitor = measurement::monitor();
    monitor.drain();
    std::printf("debug=%d verbose=%d\n", monitor.isDebugModeEnabled() ? 1 : 0,
                monitor.isVerboseLoggingEnabled() ? 1 : 0);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "storm") == 0) return storm(argv[2]);
  std::fprintf(stderr, "usage: %s monitor [arguments...] | storm <name>\n", argv[0]);
  return 2;
}
