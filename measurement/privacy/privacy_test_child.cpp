// A program the privacy tests start, so that values come from another process and state
// survives a restart:
//
//   privacy_test_child defaults KEY=i:5 KEY=s:text KEY=-
//       writes integers or strings into the application's own preferences, or removes keys.
//   privacy_test_child identity granted|analytics-denied
//       makes the shared identity under that consent and prints "app_instance_id=<id or none>".
#include <cstdio>
#include <string>
#include <string_view>

#include "measurement/foundation/persisted_config.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/privacy/identity.h"
#include "os/bundle/defaults.h"
#include "os/process/process.h"

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

int printIdentity(std::string_view mode) {
  if (mode == "analytics-denied") {
    measurement::ConsentSettings::updateSettings({{"analytics_storage", "denied"}},
                                                 measurement::kConsentSourceApp);
  }
  std::shared_ptr<measurement::Identity> identity = measurement::Identity::sharedInstance();
  if (!identity) return 1;
  std::printf("app_instance_id=%s\n", identity->appInstanceID().value_or("none").c_str());
  measurement::PersistedConfig::sharedInstance()->synchronizeToDisk();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  os::process::setArguments(argc, argv);
  if (argc < 2) return 2;
  std::string_view command = argv[1];
  if (command == "defaults") return writeDefaults(argc, argv);
  if (command == "identity" && argc == 3) return printIdentity(argv[2]);
  std::fprintf(stderr, "unknown command %s\n", argv[1]);
  return 2;
}
