#include "os/volumes/volumes.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "os/log/log.h"

extern char** environ;

namespace os::volumes {
namespace {

// The folders under which udisks mounts removable media.
constexpr std::string_view kVolumeFolders[] = {"/media", "/run/media"};

// mountinfo writes space, tab, newline and backslash in paths as octal escapes ("\040").
std::string unescapeMountPath(std::string_view field) {
  std::string path;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
      if (isOctal(field[i + 1]) && isOctal(field[i + 2]) && isOctal(field[i + 3])) {
        path += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
        i += 3;
        continue;
      }
    }
    path += field[i];
  }
  return path;
}

// True when `folder` is `path` or one of its ancestors, by whole components.
bool containsPath(const std::filesystem::path& folder, const std::filesystem::path& path) {
  auto folderPart = folder.begin();
  auto pathPart = path.begin();
  for (; folderPart != folder.end(); ++folderPart, ++pathPart) {
    if (folderPart->empty()) continue;  // the empty last part of a trailing "/"
    if (pathPart == path.end() || *folderPart != *pathPart) return false;
  }
  return true;
}

bool isVolumeFolder(const std::string& mountPoint) {
  for (std::string_view folder : kVolumeFolders) {
    if (mountPoint.size() > folder.size() + 1 && mountPoint.starts_with(folder) &&
        mountPoint[folder.size()] == '/') {
      return true;
    }
  }
  return false;
}

std::optional<std::string> readWholeFile(const char* path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

}  // namespace

std::optional<Volume> volumeHoldingPath(std::string_view mountinfo,
                                        const std::filesystem::path& path) {
  std::optional<Volume> innermost;
  size_t innermostLength = 0;
  std::istringstream lines{std::string(mountinfo)};
  for (std::string line; std::getline(lines, line);) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::istringstream fields(line);
    std::vector<std::string> parts;
    for (std::string part; fields >> part;) parts.push_back(part);
    size_t separator = 6;
    while (separator < parts.size() && parts[separator] != "-") ++separator;
    if (parts.size() < 5 || separator + 2 >= parts.size()) continue;
    std::string mountPoint = unescapeMountPath(parts[4]);
    // Later lines are mounted over earlier ones at the same point, so ties go to the later one.
    if (!containsPath(mountPoint, path) || mountPoint.size() < innermostLength) continue;
    innermostLength = mountPoint.size();
    std::string source = unescapeMountPath(parts[separator + 2]);
    if (isVolumeFolder(mountPoint) && source.starts_with("/dev/")) {
      innermost = Volume{mountPoint, source};
    } else {
      innermost.reset();
    }
  }
  return innermost;
}

std::optional<Volume> volumeOfRunningExecutable() {
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  std::optional<std::string> mountinfo = readWholeFile("/proc/self/mountinfo");
  if (error || !mountinfo) return std::nullopt;
  return volumeHoldingPath(*mountinfo, executable);
}

CommandRunner spawningCommandRunner() {
  return [](const std::vector<std::string>& arguments) -> std::optional<int> {
    if (arguments.empty()) return std::nullopt;
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t child = 0;
    int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return std::nullopt;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
      if (errno != EINTR) return std::nullopt;
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
  };
}

void releaseVolume(const Volume& volume, const CommandRunner& run) {
  std::optional<int> unmounted = run({"udisksctl", "unmount", "--force", "--no-user-interaction",
                                      "--block-device", volume.device});
  if (!unmounted) {
    log::write(log::Level::Info,
               "volumes: udisksctl is not available; " + volume.mountPoint + " stays mounted");
    return;
  }
  if (*unmounted != 0) {
    log::write(log::Level::Warning, "volumes: unmounting " + volume.mountPoint +
                                        " failed with status " + std::to_string(*unmounted));
  }
  std::optional<int> mounted =
      run({"udisksctl", "mount", "--no-user-interaction", "--block-device", volume.device});
  if (mounted != 0) {
    log::write(log::Level::Warning,
               "volumes: mounting " + volume.device + " again failed with status " +
                   (mounted ? std::to_string(*mounted) : std::string("(not started)")));
  }
}

void releaseVolumeOfRunningExecutable(const CommandRunner& run) {
  std::optional<Volume> volume = volumeOfRunningExecutable();
  if (!volume) {
    log::write(log::Level::Info, "volumes: the program does not run from a removable volume");
    return;
  }
  releaseVolume(*volume, run);
}

}  // namespace os::volumes
