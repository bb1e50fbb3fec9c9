#include "testsupport/sandbox.h"

#include <stdlib.h>

#include <stdexcept>
#include <system_error>

namespace testsupport {
namespace {

std::optional<std::string> currentEnv(const std::string& name) {
  const char* value = getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void applyEnv(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

// Connections to the standard HTTP and HTTPS ports of any host go to a closed port on this
// machine: a host that a test has not pointed at a server of its own is refused at once, never
// looked up or reached. Local servers listen on other ports, which these entries leave alone.
constexpr const char* kLoopbackOnly = ":443:127.0.0.1:9,:80:127.0.0.1:9";

}  // namespace

Sandbox::Sandbox() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tessaro-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  root_ = pattern;
  std::filesystem::create_directories(home());
  std::filesystem::create_directories(systemRoot());

  std::filesystem::create_directories(temporary());
  setEnv("HOME", home().string());
  setEnv("TMPDIR", temporary().string());
  setEnv("TESSARO_SYSTEM_ROOT", systemRoot().string());
  setEnv("TESSARO_CONNECT_TO", "");
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
                           "XDG_RUNTIME_DIR", "XDG_DESKTOP_DIR"}) {
    setEnv(name, std::nullopt);
  }
}

Sandbox::~Sandbox() {
  for (const auto& [name, value] : saved_) applyEnv(name, value);
  std::error_code ignored;
  // Tests may leave read-only folders behind; make them writable so removal succeeds.
  for (auto it = std::filesystem::recursive_directory_iterator(
           root_, std::filesystem::directory_options::skip_permission_denied, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(root_, ignored);
}

void Sandbox::setEnv(const std::string& name, const std::optional<std::string>& value) {
  saved_.try_emplace(name, currentEnv(name));
  if (name == "TESSARO_CONNECT_TO") {
    // The first entry that matches wins: the test's own go before the catch-all.
    applyEnv(name, value && !value->empty() ? *value + "," + kLoopbackOnly : kLoopbackOnly);
    return;
  }
  applyEnv(name, value);
}

}  // namespace testsupport
