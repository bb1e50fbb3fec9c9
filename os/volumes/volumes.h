// The removable volume the program runs from, and its release at quit. On the desktop the
// installer ships on a disk image that it unmounts and mounts again as it quits, so that the
// image's window closes; here the volume is a mount under /media or /run/media (where udisks
// mounts removable media), and udisksctl does the unmount and mount when it is installed.
//
//   os::volumes::releaseVolumeOfRunningExecutable();   // at quit; a logged no-op elsewhere
//
// Tests pass a recording CommandRunner instead of the default one that spawns programs:
//
//   std::vector<std::vector<std::string>> commands;
//   os::volumes::releaseVolume(volume, [&](const auto& arguments) {
//     commands.push_back(arguments);
//     return std::optional<int>(0);
//   });
//
// Every function may be called from any thread.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace os::volumes {

// A mounted volume.
struct Volume {
  // Where it is mounted: "/media/anna/BREVALO INSTALLER".
  std::string mountPoint;
  // The mounted block device: "/dev/sdb1".
  std::string device;
  friend bool operator==(const Volume&, const Volume&) = default;
};

// The volume that holds `path` according to `mountinfo`, text in the format of
// /proc/self/mountinfo: the mount with the longest mount point that contains `path` (compared
// by whole path components), provided that mount point lies under /media or /run/media and its
// source is a device path ("/dev/..."). nullopt when the innermost mount holding `path` is any
// other file system: the volume holding the executable is the only one ever released, never
// another disk whose name merely resembles the product's. `path` must be absolute and free of
// symbolic links.
std::optional<Volume> volumeHoldingPath(std::string_view mountinfo,
                                        const std::filesystem::path& path);

// The volume that holds the running executable (/proc/self/exe, with /proc/self/mountinfo);
// nullopt when the program does not run from such a volume or either file cannot be read.
std::optional<Volume> volumeOfRunningExecutable();

// Runs a program with `arguments` (the program's name first, looked up in PATH), without a
// shell, and waits for it. Returns its exit status (128 + the signal number when a signal ended
// it), or nullopt when the program could not be started (for example, it is not installed).
using CommandRunner = std::function<std::optional<int>(const std::vector<std::string>& arguments)>;

// The CommandRunner that spawns the program (posix_spawnp) with standard input from /dev/null.
CommandRunner spawningCommandRunner();

// Force-unmounts `volume` and then mounts it again, through
//   udisksctl unmount --force --no-user-interaction --block-device <device>
//   udisksctl mount --no-user-interaction --block-device <device>
// run by `run`, one after the other. When udisksctl cannot be started the release is a logged
// no-op; a failed unmount is logged and the mount still runs (a busy volume may have been
// unmounted lazily). Nothing is reported to the caller: the program quits either way.
void releaseVolume(const Volume& volume, const CommandRunner& run);

// releaseVolume() of volumeOfRunningExecutable(); a logged no-op when there is none.
void releaseVolumeOfRunningExecutable(const CommandRunner& run = spawningCommandRunner());

}  // namespace os::volumes
