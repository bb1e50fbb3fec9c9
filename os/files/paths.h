// The standard folders of the user and of the system, for Linux. Each function reads the
// environment on every call, so a test that moves HOME or the system root (testsupport::Sandbox)
// sees its own folders at once. Nothing here creates a folder: callers create what they write to.
//
//   std::filesystem::path folder = os::paths::applicationSupport() / "Tessaro";
//   os::files::createDirectory(folder, /*withIntermediates=*/true, &error);
//
// XDG variables follow the XDG base-directory rule: a value that is empty or not an absolute
// path is ignored and the default below applies.
#pragma once

#include <filesystem>

namespace os::paths {

// The user's home folder: $HOME when set and not empty, else the home folder of the process's
// user in the password database, else "/".
std::filesystem::path home();

// Application Support: $XDG_DATA_HOME, else ~/.local/share.
std::filesystem::path applicationSupport();

// Caches: $XDG_CACHE_HOME, else ~/.cache.
std::filesystem::path caches();

// The folder that holds preference files (user defaults): $XDG_CONFIG_HOME, else ~/.config.
std::filesystem::path preferences();

// The user's desktop: the folder the desktop environment configured (XDG_DESKTOP_DIR in
// <preferences>/user-dirs.dirs, which names it in the user's language), else ~/Desktop.
std::filesystem::path desktop();

// The user's own Applications folder: ~/Applications.
std::filesystem::path userApplications();

// The root under which the system folders lie: $TESSARO_SYSTEM_ROOT when set and not empty,
// else "/". Tests and the demo move it to a temporary folder.
std::filesystem::path systemRoot();

// The system's Applications folder: <system root>/Applications.
std::filesystem::path systemApplications();

// The folder under which removable volumes are mounted. The desktop platform kept them in
// "/Volumes"; Linux mounts them under "/media", so this is <system root>/media.
std::filesystem::path volumes();

// The temporary folder: $TMPDIR when set and not empty, else "/tmp".
std::filesystem::path temporary();

}  // namespace os::paths
