#include "os/files/paths.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace os::paths {
namespace {

// The variable's value when it is set and not empty.
std::optional<std::filesystem::path> environmentPath(const char* name) {
  const char* value = getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::filesystem::path(value);
}

// An XDG base folder: the variable when it holds an absolute path, else `fallback` under home.
std::filesystem::path xdgFolder(const char* name, const char* fallback) {
  std::optional<std::filesystem::path> value = environmentPath(name);
  if (value && value->is_absolute()) return *value;
  return home() / fallback;
}

std::optional<std::filesystem::path> passwordDatabaseHome() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr || *found->pw_dir == '\0') {
    return std::nullopt;
  }
  return std::filesystem::path(found->pw_dir);
}

// The desktop folder the desktop environment configured (XDG_DESKTOP_DIR in user-dirs.dirs, as
// xdg-user-dirs writes it: "$HOME/Schreibtisch" or an absolute path); nullopt when none is.
std::optional<std::filesystem::path> configuredDesktop() {
  std::ifstream file(preferences() / "user-dirs.dirs");
  constexpr std::string_view kKey = "XDG_DESKTOP_DIR=\"";
  constexpr std::string_view kHome = "$HOME";
  std::string line;
  while (std::getline(file, line)) {
    if (!line.starts_with(kKey) || line.size() < kKey.size() + 1 || line.back() != '"') continue;
    std::string value = line.substr(kKey.size(), line.size() - kKey.size() - 1);
    std::filesystem::path folder;
    if (value.starts_with(kHome)) {
      std::string rest = value.substr(kHome.size());
      if (!rest.empty() && rest.front() != '/') continue;
      folder = home() / std::filesystem::path(rest).relative_path();
    } else if (std::filesystem::path(value).is_absolute()) {
      folder = value;
    } else {
      continue;
    }
    // A desktop set to the home folder itself means "no desktop folder" to xdg-user-dirs.
    if ((folder / "").lexically_normal() == (home() / "").lexically_normal()) continue;
    return folder;
  }
  return std::nullopt;
}

}  // namespace

std::filesystem::path home() {
  if (std::optional<std::filesystem::path> value = environmentPath("HOME")) return *value;
  return passwordDatabaseHome().value_or("/");
}

std::filesystem::path applicationSupport() { return xdgFolder("XDG_DATA_HOME", ".local/share"); }

std::filesystem::path caches() { return xdgFolder("XDG_CACHE_HOME", ".cache"); }

std::filesystem::path preferences() { return xdgFolder("XDG_CONFIG_HOME", ".config"); }

std::filesystem::path desktop() { return configuredDesktop().value_or(home() / "Desktop"); }

std::filesystem::path userApplications() { return home() / "Applications"; }

std::filesystem::path systemRoot() { return environmentPath("TESSARO_SYSTEM_ROOT").value_or("/"); }

std::filesystem::path systemApplications() { return systemRoot() / "Applications"; }

std::filesystem::path volumes() { return systemRoot() / "media"; }

std::filesystem::path temporary() { return environmentPath("TMPDIR").value_or("/tmp"); }

}  // namespace os::paths
