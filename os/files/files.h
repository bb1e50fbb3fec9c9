// File manager operations over std::filesystem and POSIX. Every fallible operation returns
// false (or nullopt) and, when `error` is not null, fills it with an error in the POSIX domain
// (os::kPOSIXErrorDomain) whose code is the errno value and whose description names the path:
//
//   os::Error error;
//   if (!os::files::writeAtomically(folder / "state.plist", bytes, &error)) {
//     os::log::write(os::log::Level::Error, error.localizedDescription());
//   }
//
// Relative paths are resolved against the current working directory, as POSIX does.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/value/error.h"

namespace os::files {

// True when something exists at `path`. A symbolic link is followed: a link whose destination
// is missing does not exist (use isSymbolicLink for the link itself).
bool exists(const std::filesystem::path& path);

// True when `path` is a folder, following a symbolic link.
bool isDirectory(const std::filesystem::path& path);

// True when `path` itself is a symbolic link (its destination need not exist).
bool isSymbolicLink(const std::filesystem::path& path);

// Creates the folder `path` with mode 0755 (less the process's umask). With
// `withIntermediates`, missing parent folders are created too and an existing folder at `path`
// is success; without it, the parent must exist and an existing item at `path` fails with EEXIST.
bool createDirectory(const std::filesystem::path& path, bool withIntermediates, Error* error);

// The whole contents of the file at `path`, following a symbolic link.
std::optional<std::string> readFile(const std::filesystem::path& path, Error* error);

// Replaces the file at `path` with `bytes` so that a reader, a crash or a power loss sees either
// the previous file or the complete new one, never a mixture: the bytes go to a temporary file
// in the same folder, which is flushed to disk, given `mode` (less the umask) and renamed over
// `path`; then the folder itself is flushed so that the rename survives a power loss.
// On failure the temporary file is removed and the previous file is left as it was. When the
// folder cannot be flushed after the rename, the new contents are in place but the call still
// fails, because their durability is not known. A symbolic link at `path` is replaced by the
// file, not followed. The folder must exist.
bool writeAtomically(const std::filesystem::path& path, std::string_view bytes, Error* error,
                     mode_t mode = 0644);

// Moves (renames) the item at `from` to `to`, across file systems too (copy, then remove).
// Never replaces anything: when an item exists at `to` it fails with EEXIST and changes nothing.
bool moveItem(const std::filesystem::path& from, const std::filesystem::path& to, Error* error);

// Puts the item at `from` in the place of `to` in one step, so that a reader of `to` sees the
// old item or the new one, never neither: a rename over `to`, or, across file systems, a copy
// beside `to` (hidden, uniquely named) renamed over it before `from` is removed. An item at `to`
// is replaced as rename replaces it: a file or link always, a folder only by a folder and only
// when it is empty (otherwise EISDIR, ENOTDIR, ENOTEMPTY). Errors name `to`, except a missing
// `from` (ENOENT naming `from`). On failure `to` is as it was, and no copy is left beside it.
bool replaceItem(const std::filesystem::path& from, const std::filesystem::path& to, Error* error);

// Swaps the items at `a` and `b` in one step, so that each path names one complete item at
// every moment, a crash or a power loss included. Both must exist on one file system. Fails
// with EINVAL where the file system cannot exchange (and with EXDEV across file systems),
// changing nothing; the caller may fall back on renames then. Errors name both paths.
bool exchangeItems(const std::filesystem::path& a, const std::filesystem::path& b, Error* error);
// Copies the item at `from` to `to`, folders recursively; symbolic links are copied as links,
// permissions are kept. Fails with EEXIST when an item exists at `to`. When a copy fails half
// way, what was copied so far is removed again.
bool copyItem(const std::filesystem::path& from, const std::filesystem::path& to, Error* error);

// Removes the item at `path`, folders recursively. Symbolic links are never followed: removing
// a link removes the link, and links inside a removed folder are removed as links.
//
// Refuses with EPERM, touching nothing, to remove "/", the home folder, the system root or
// either Applications folder (os::paths::userApplications(), os::paths::systemApplications())
// themselves. The comparison is made after normalising `path`: trailing slashes dropped, "."
// and ".." resolved, symbolic links in its parent folders resolved (the last component stays
// as written, so a link to the home folder is removed as a link). A missing item fails with
// ENOENT.
bool removeItem(const std::filesystem::path& path, Error* error);

// The names of the items in the folder `path` (hidden ones included, "." and ".." not), sorted
// by byte value.
std::optional<std::vector<std::string>> contentsOfDirectory(const std::filesystem::path& path,
                                                            Error* error);

// What attributes() reports of an item.
struct Attributes {
  uint64_t size = 0;
  // Last modification, in seconds since 1970 (with the file system's sub-second precision).
  double modificationDate = 0;
  // The POSIX permission bits, including set-user-id, set-group-id and sticky (mode & 07777).
  uint32_t permissions = 0;
  bool isDirectory = false;
  bool isSymbolicLink = false;
};

// The attributes of the item at `path` itself: a symbolic link is described, not followed.
std::optional<Attributes> attributes(const std::filesystem::path& path, Error* error);

// Sets the POSIX permission bits (mode & 07777) of the item at `path`, following a symbolic
// link (Linux keeps no permissions on links).
bool setPermissions(const std::filesystem::path& path, uint32_t permissions, Error* error);

// Creates a symbolic link at `at` that points to `destination` (stored as given, relative or
// absolute; it need not exist). Fails with EEXIST when an item, even a dangling link, is at `at`.
bool createSymbolicLink(const std::filesystem::path& at, const std::filesystem::path& destination,
                        Error* error);

// The bytes free to an unprivileged writer on the file system that holds the existing item at
// `path`; nullopt when the file system cannot tell.
std::optional<uint64_t> availableCapacity(const std::filesystem::path& path);

}  // namespace os::files
