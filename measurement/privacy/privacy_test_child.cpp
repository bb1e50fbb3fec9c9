// A program the privacy tests start, so that values come from another process and state
// survives a restart:
//
//   privacy_test_child defaults KEY=i:5 KEY=s:text KEY=-
//       writes integers or strings into the application's own preferences, or removes keys.
#include <cstdio>
#include <string>
#include <string_view>

#include "os/defaults.h"
#include "os/process.h"

namespace {

int writeDefaults(int argc, char** argv) {
  os::UserDefaults defaults = os::UserDefaults::standard();
  for (int i = 2; i < argc; ++i) {
    std::string_view argument = argv[i];
    size_t equals = argument.find('=');
    if (equals == std::string_view::npos) return 2;
    std::string_view key = argument.substr(0, equals);
    std::string_view value = argument.substr(equals + 1);
    if (value == "-") {
      defaults.removeObject(key);
    } else if (value.starts_with("i:")) {
      defaults.setObject(key, std::stoll(std::string(value.substr(2))));
    } else if (value.starts_with("s:")) {
      defaults.setObject(key, value.substr(2));
    } else {
      return 2;
    }
  }
  return defaults.synchronize() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  os::process::setArguments(argc, argv);
  if (argc < 2) return 2;
  std::string_view command = argv[1];
  if (command == "defaults") return writeDefaults(argc, argv);
  std::fprintf(stderr, "unknown command %s\n", argv[1]);
  return 2;
}
