#include "os/files/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <random>
#include <system_error>

#include "os/files/paths.h"

namespace os::files {
namespace fs = std::filesystem;
namespace {

bool failWithErrno(Error* error, int code, const fs::path& path) {
  return fail(error, posixError(code, path.string()));
}

bool failWithCode(Error* error, const std::error_code& code, const fs::path& path) {
  return failWithErrno(error, code.value(), path);
}

// "from -> to", for errors that belong to either end.
fs::path movePair(const fs::path& from, const fs::path& to) {
  return from.string() + " -> " + to.string();
}

// Closes a file descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now, reporting close's own failure (which can be a deferred write error).
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool writeFully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

std::string temporaryNameSuffix() {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) - 2);
  std::string suffix(8, ' ');
  for (char& c : suffix) c = kAlphabet[pick(generator)];
  return suffix;
}

// Creates a new file in `folder`, hidden and uniquely named so that a directory listing rarely
// shows it and concurrent writers of the same target never share one. Returns the descriptor,
// or -1 with errno set.
int createTemporaryFile(int folder, const std::string& targetName, mode_t mode,
                        std::string* temporaryName) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temporaryName = "." + targetName + ".tmp-" + temporaryNameSuffix();
    int fd =
        ::openat(folder, temporaryName->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// "/a/b/" -> "/a/b"; "/" stays.
fs::path withoutTrailingSlashes(const fs::path& path) {
  std::string text = path.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// The path removeItem acts on and compares: absolute, without trailing slashes, with every
// symbolic link, "." and ".." of its parent chain resolved, and its last component as written
// (unless that is "." or "..", which name a folder through its parent). Fails when the parent
// chain cannot be resolved (a folder that cannot be searched, a loop of links).
std::optional<fs::path> normalizedForRemoval(const fs::path& path, std::error_code& code) {
  fs::path absolute = withoutTrailingSlashes(fs::absolute(path, code));
  if (code) return std::nullopt;
  fs::path name = absolute.filename();
  const bool namesAFolderItself = absolute == absolute.root_path() || name == "." || name == "..";
  fs::path resolved =
      fs::weakly_canonical(namesAFolderItself ? absolute : absolute.parent_path(), code);
  if (code) return std::nullopt;
  return namesAFolderItself ? withoutTrailingSlashes(resolved) : resolved / name;
}

bool isProtectedFromRemoval(const fs::path& normalized) {
  std::error_code ignored;
  for (const fs::path& folder : {fs::path("/"), paths::home(), paths::systemRoot(),
                                 paths::userApplications(), paths::systemApplications()}) {
    fs::path absolute = fs::absolute(folder, ignored);
    // The folder as named and as resolved: a home folder reached through a link is protected
    // under both names.
    if (normalized == withoutTrailingSlashes(absolute.lexically_normal()) ||
        normalized == withoutTrailingSlashes(fs::weakly_canonical(absolute, ignored))) {
      return true;
    }
  }
  return false;
}

// True when `inner` is `outer` or lies inside it, after resolving links.
bool isSameOrInside(const fs::path& inner, const fs::path& outer) {
  std::error_code ignored;
  fs::path resolvedInner = fs::weakly_canonical(fs::absolute(inner, ignored), ignored);
  fs::path resolvedOuter = withoutTrailingSlashes(fs::weakly_canonical(outer, ignored));
  return std::mismatch(resolvedOuter.begin(), resolvedOuter.end(), resolvedInner.begin(),
                       resolvedInner.end())
             .first == resolvedOuter.end();
}

// ENOENT when nothing is at `path` (a dangling link counts as something), 0 when something
// is, else the errno of lstat.
int lstatErrno(const fs::path& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 ? 0 : errno;
}

}  // namespace

bool exists(const fs::path& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

bool isDirectory(const fs::path& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isSymbolicLink(const fs::path& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool createDirectory(const fs::path& path, bool withIntermediates, Error* error) {
  constexpr mode_t kMode = 0755;
  if (::mkdir(path.c_str(), kMode) == 0) return true;
  const int code = errno;
  if (!withIntermediates) return failWithErrno(error, code, path);
  if (code == EEXIST) return isDirectory(path) || failWithErrno(error, ENOTDIR, path);
  if (code != ENOENT) return failWithErrno(error, code, path);
  // A parent is missing: create the chain from the top.
  fs::path prefix;
  for (const fs::path& component : withoutTrailingSlashes(path.lexically_normal())) {
    prefix /= component;
    if (::mkdir(prefix.c_str(), kMode) == 0) continue;
    if (errno != EEXIST) return failWithErrno(error, errno, path);
    if (!isDirectory(prefix)) return failWithErrno(error, ENOTDIR, path);
  }
  return true;
}

std::optional<std::string> readFile(const fs::path& path, Error* error) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    failWithErrno(error, errno, path);
    return std::nullopt;
  }
  std::string contents;
  std::array<char, 64 * 1024> buffer;
  while (true) {
    ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      failWithErrno(error, errno, path);
      return std::nullopt;
    }
    if (count == 0) return contents;
    contents.append(buffer.data(), static_cast<size_t>(count));
  }
}

bool writeAtomically(const fs::path& path, std::string_view bytes, Error* error, mode_t mode) {
  const fs::path name = path.filename();
  if (name.empty() || name == "." || name == "..") return failWithErrno(error, EISDIR, path);
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");

  FileDescriptor folderFile(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folderFile.valid()) return failWithErrno(error, errno, path);

  std::string temporaryName;
  FileDescriptor temporary(
      createTemporaryFile(folderFile.get(), name.string(), mode, &temporaryName));
  if (!temporary.valid()) return failWithErrno(error, errno, path);

  auto discardTemporary = [&](int code) {
    ::unlinkat(folderFile.get(), temporaryName.c_str(), 0);
    return failWithErrno(error, code, path);
  };
  if (!writeFully(temporary.get(), bytes) || ::fsync(temporary.get()) != 0) {
    int code = errno;
    temporary.close();
    return discardTemporary(code);
  }
  if (!temporary.close()) return discardTemporary(errno);
  if (::renameat(folderFile.get(), temporaryName.c_str(), folderFile.get(), name.c_str()) != 0) {
    return discardTemporary(errno);
  }
  // Some file systems cannot flush a folder and say so with EINVAL; there is nothing more to do.
  if (::fsync(folderFile.get()) != 0 && errno != EINVAL) return failWithErrno(error, errno, path);
  return true;
}

bool moveItem(const fs::path& from, const fs::path& to, Error* error) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  int code = errno;
  if (code == EINVAL && lstatErrno(to) == ENOENT && lstatErrno(from) == 0) {
    // The file system cannot rename without replacing: check, then rename.
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    code = errno;
  }
  if (code != EXDEV) return failWithErrno(error, code, code == EEXIST ? to : movePair(from, to));
  if (!copyItem(from, to, error)) return false;
  std::error_code removal;
  fs::remove_all(from, removal);
  if (removal) return failWithCode(error, removal, from);
  return true;
}

bool exchangeItems(const fs::path& a, const fs::path& b, Error* error) {
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return true;
  // Kernels and file systems without the exchange say ENOSYS or EOPNOTSUPP; callers need one
  // answer for "cannot exchange here".
  const int code = (errno == ENOSYS || errno == EOPNOTSUPP) ? EINVAL : errno;
  return failWithErrno(error, code, movePair(a, b));
}

bool replaceItem(const fs::path& from, const fs::path& to, Error* error) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  const int code = errno;
  if (int missing = lstatErrno(from)) return failWithErrno(error, missing, from);
  if (code != EXDEV) return failWithErrno(error, code, to);
  // Across file systems: the copy goes beside `to` first, so that the step that replaces `to`
  // is still a rename within one folder.
  const fs::path folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
  const fs::path staging =
      folder / ("." + to.filename().string() + ".replacing-" + temporaryNameSuffix());
  Error copyError;
  if (!copyItem(from, staging, &copyError)) {
    return failWithErrno(error, static_cast<int>(copyError.code), to);
  }
  if (::rename(staging.c_str(), to.c_str()) != 0) {
    const int renameCode = errno;
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    return failWithErrno(error, renameCode, to);
  }
  std::error_code removal;
  fs::remove_all(from, removal);
  if (removal) return failWithCode(error, removal, from);
  return true;
}

bool copyItem(const fs::path& from, const fs::path& to, Error* error) {
  if (int code = lstatErrno(from)) return failWithErrno(error, code, from);
  int atDestination = lstatErrno(to);
  if (atDestination == 0) return failWithErrno(error, EEXIST, to);
  if (atDestination != ENOENT) return failWithErrno(error, atDestination, to);
  // A folder copied into itself would never end.
  if (isDirectory(from) && !isSymbolicLink(from) && isSameOrInside(to, from)) {
    return failWithErrno(error, EINVAL, to);
  }
  std::error_code code;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, code);
  if (code) {
    std::error_code ignored;
    fs::remove_all(to, ignored);
    return failWithCode(error, code, movePair(from, to));
  }
  return true;
}

bool removeItem(const fs::path& path, Error* error) {
  std::error_code code;
  const std::optional<fs::path> target = normalizedForRemoval(path, code);
  if (!target) return failWithCode(error, code, path);
  if (isProtectedFromRemoval(*target)) {
    return fail(error,
                posixError(EPERM, "refusing to remove the protected folder " + path.string()));
  }
  if (int missing = lstatErrno(*target)) return failWithErrno(error, missing, path);
  fs::remove_all(*target, code);
  if (code) return failWithCode(error, code, path);
  return true;
}

std::optional<std::vector<std::string>> contentsOfDirectory(const fs::path& path, Error* error) {
  std::error_code code;
  std::vector<std::string> names;
  for (fs::directory_iterator it(path, code), end; !code && it != end; it.increment(code)) {
    names.push_back(it->path().filename().string());
  }
  if (code) {
    failWithCode(error, code, path);
    return std::nullopt;
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<Attributes> attributes(const fs::path& path, Error* error) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) {
    failWithErrno(error, errno, path);
    return std::nullopt;
  }
  Attributes result;
  result.size = static_cast<uint64_t>(info.st_size);
  result.modificationDate =
      static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
  result.permissions = info.st_mode & 07777;
  result.isDirectory = S_ISDIR(info.st_mode);
  result.isSymbolicLink = S_ISLNK(info.st_mode);
  return result;
}

bool setPermissions(const fs::path& path, uint32_t permissions, Error* error) {
  if (::chmod(path.c_str(), permissions & 07777) != 0) return failWithErrno(error, errno, path);
  return true;
}

bool createSymbolicLink(const fs::path& at, const fs::path& destination, Error* error) {
  if (::symlink(destination.c_str(), at.c_str()) != 0) return failWithErrno(error, errno, at);
  return true;
}

std::optional<uint64_t> availableCapacity(const fs::path& path) {
  struct statvfs info;
  if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
  return uint64_t{info.f_bavail} * info.f_frsize;
}

}  // namespace os::files
