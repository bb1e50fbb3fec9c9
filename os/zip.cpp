#include "os/zip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "os/files.h"

namespace os {
namespace {

namespace fs = std::filesystem;

// Large enough that the per-call overhead of the decompressor and of write(2) vanishes, small
// enough that a huge entry costs no memory to speak of.
constexpr size_t kCopyBufferSize = 256 * 1024;
// A link target longer than the longest path the system accepts cannot be a real link.
constexpr uint64_t kMaxLinkTargetSize = PATH_MAX;
// The kernel gives up after 40 links in one lookup; a target that needs more never resolves.
constexpr int kMaxLinkHops = 40;
constexpr mode_t kDefaultFileMode = 0644;
constexpr mode_t kDefaultDirectoryMode = 0755;

bool failZip(Error* error, int64_t code, std::string description) {
  return fail(error, Error(SSZipArchive::kErrorDomain, code, std::move(description)));
}

std::string libzipMessage(int code) {
  zip_error_t zipError;
  zip_error_init_with_code(&zipError, code);
  std::string message = zip_error_strerror(&zipError);
  zip_error_fini(&zipError);
  return message;
}

struct ArchiveCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ArchiveHandle = std::unique_ptr<zip_t, ArchiveCloser>;

struct EntryCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using EntryHandle = std::unique_ptr<zip_file_t, EntryCloser>;

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports close's own failure, which can be a deferred write error.
  bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_;
};

std::string joinComponents(const std::vector<std::string>& components, size_t count) {
  std::string joined;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) joined += '/';
    joined += components[i];
  }
  return joined;
}

// The non-empty components of `text` split at `separators`.
std::vector<std::string> splitPath(std::string_view text, std::string_view separators) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = std::min(text.find_first_of(separators, start), text.size());
    if (end > start) parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// What one archive entry becomes on disk.
struct PlannedEntry {
  enum class Kind { File, Directory, SymbolicLink };
  zip_uint64_t index = 0;
  std::string name;  // as stored, for messages
  std::vector<std::string> components;
  std::string relativePath;
  Kind kind = Kind::File;
  mode_t permissions = kDefaultFileMode;
  std::string linkTarget;
};

class Unzipper {
 public:
  Unzipper(zip_t* archive, fs::path destination, bool overwrite, std::string password)
      : archive_(archive),
        destination_(std::move(destination)),
        overwrite_(overwrite),
        password_(std::move(password)) {}

  // Reads every entry's name and attributes and refuses the archive when one of them would
  // land outside the destination. Writes nothing.
  bool plan(Error* error) {
    zip_int64_t count = zip_get_num_entries(archive_, 0);
    if (count <= 0) return failZip(error, SSZipArchive::kFailedOpenZipFile, "The archive is empty");
    for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(count); ++index) {
      PlannedEntry entry;
      if (!describe(index, &entry, error)) return false;
      if (entry.components.empty()) continue;  // "./" names the destination itself
      if (entry.kind == PlannedEntry::Kind::SymbolicLink) {
        links_[entry.relativePath] = entry.linkTarget;
      }
      entries_.push_back(std::move(entry));
    }
    for (const PlannedEntry& entry : entries_) {
      if (!checkParents(entry, error)) return false;
      if (entry.kind == PlannedEntry::Kind::SymbolicLink && !linkStaysInside(entry)) {
        return failZip(error, SSZipArchive::kEntryEscapesDestination,
                       "The link \"" + entry.name + "\" points outside the destination");
      }
    }
    return true;
  }

  // Writes the planned entries. On failure removes what it created.
  bool extract(Error* error) {
    bool destinationExisted = files::isDirectory(destination_);
    Error posix;
    if (!destinationExisted && !files::createDirectory(destination_, true, &posix)) {
      return failZip(error, SSZipArchive::kFailedToWriteFile, posix.description);
    }
    root_ = Descriptor(::open(destination_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool written = root_.valid() ? writeAll(error) : writeFailure("", error);
    if (written) return true;
    for (auto created = created_.rbegin(); created != created_.rend(); ++created) {
      files::removeItem(destination_ / *created, nullptr);
    }
    if (!destinationExisted) ::rmdir(destination_.c_str());
    return false;
  }

 private:
  bool describe(zip_uint64_t index, PlannedEntry* entry, Error* error) {
    const char* name = zip_get_name(archive_, index, 0);
    if (name == nullptr || *name == '\0') {
      return failZip(error, SSZipArchive::kFileInfoNotLoadable,
                     "Entry " + std::to_string(index) + " has no name");
    }
    entry->index = index;
    entry->name = name;
    // Archives made on Windows separate with backslashes; either way "..\\x" must not escape.
    if (name[0] == '/' || name[0] == '\\') {
      return failZip(error, SSZipArchive::kEntryEscapesDestination,
                     "The entry \"" + entry->name + "\" has an absolute path");
    }
    entry->components = splitPath(name, "/\\");
    std::erase(entry->components, ".");
    if (std::find(entry->components.begin(), entry->components.end(), "..") !=
        entry->components.end()) {
      return failZip(error, SSZipArchive::kEntryEscapesDestination,
                     "The entry \"" + entry->name + "\" climbs out with \"..\"");
    }
    entry->relativePath = joinComponents(entry->components, entry->components.size());

    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive_, index, 0, &system, &attributes) != 0) {
      return failZip(error, SSZipArchive::kFileInfoNotLoadable,
                     "Cannot read the attributes of \"" + entry->name + "\"");
    }
    mode_t unixMode = system == ZIP_OPSYS_UNIX ? attributes >> 16 : 0;
    char last = entry->name.back();
    if (S_ISLNK(unixMode)) {
      entry->kind = PlannedEntry::Kind::SymbolicLink;
      if (!readLinkTarget(*entry, error)) return false;
    } else if (S_ISDIR(unixMode) || last == '/' || last == '\\') {
      entry->kind = PlannedEntry::Kind::Directory;
    }
    bool directory = entry->kind == PlannedEntry::Kind::Directory;
    // Set-id and sticky bits are dropped: a downloaded archive must not create set-id programs.
    entry->permissions = unixMode != 0 ? unixMode & 0777
                         : directory   ? kDefaultDirectoryMode
                                       : kDefaultFileMode;
    if (entry->components.empty() && !directory) {
      return failZip(error, SSZipArchive::kFileInfoNotLoadable,
                     "The entry \"" + entry->name + "\" names no file");
    }
    return true;
  }

  bool readLinkTarget(PlannedEntry& entry, Error* error) {
    zip_stat_t stat;
    if (zip_stat_index(archive_, entry.index, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE) ||
        stat.size == 0 || stat.size > kMaxLinkTargetSize) {
      return failZip(error, SSZipArchive::kFileInfoNotLoadable,
                     "The link \"" + entry.name + "\" has no usable target");
    }
    EntryHandle file;
    if (!openEntry(entry, &file, error)) return false;
    entry.linkTarget.resize(stat.size);
    zip_int64_t read = zip_fread(file.get(), entry.linkTarget.data(), stat.size);
    if (read != static_cast<zip_int64_t>(stat.size) ||
        entry.linkTarget.find('\0') != std::string::npos) {
      return failZip(error, SSZipArchive::kFileContentNotReadable,
                     "Cannot read the target of the link \"" + entry.name + "\"");
    }
    return true;
  }

  bool openEntry(const PlannedEntry& entry, EntryHandle* file, Error* error) {
    file->reset(password_.empty()
                    ? zip_fopen_index(archive_, entry.index, 0)
                    : zip_fopen_index_encrypted(archive_, entry.index, 0, password_.c_str()));
    if (*file) return true;
    return failZip(error, SSZipArchive::kFailedOpenFileInZip,
                   "Cannot open the entry \"" + entry.name + "\": " + zip_strerror(archive_));
  }

  // Refuses an entry that would be written through a symbolic link: one the archive makes, or
  // one already on disk in the destination. A folder entry's own path counts, as the folder's
  // contents would go through it.
  bool checkParents(const PlannedEntry& entry, Error* error) {
    size_t folders = entry.components.size();
    if (entry.kind != PlannedEntry::Kind::Directory) --folders;
    for (size_t count = 1; count <= folders; ++count) {
      std::string parent = joinComponents(entry.components, count);
      if (links_.contains(parent) || onDiskLinkTarget(parent)) {
        return failZip(error, SSZipArchive::kEntryEscapesDestination,
                       "The entry \"" + entry.name + "\" would be written through the link \"" +
                           parent + "\"");
      }
    }
    return true;
  }

  // The target of a symbolic link at `relativePath` under the destination, or nullopt.
  std::optional<std::string> onDiskLinkTarget(const std::string& relativePath) {
    if (auto known = diskLinks_.find(relativePath); known != diskLinks_.end()) return known->second;
    std::optional<std::string> target;
    std::error_code code;
    fs::path path = destination_ / relativePath;
    if (fs::is_symlink(fs::symlink_status(path, code))) {
      target = fs::read_symlink(path, code).string();
      if (code) target = "/";  // unreadable: treat it as leaving the destination
    }
    diskLinks_.emplace(relativePath, target);
    return target;
  }

  // Follows the link's target as the kernel would, through the archive's own links and those
  // already on disk, and answers whether every step stays under the destination.
  bool linkStaysInside(const PlannedEntry& link) {
    std::vector<std::string> resolved(link.components.begin(), link.components.end() - 1);
    std::deque<std::string> pending;
    auto pushTarget = [&pending](const std::string& target) {
      if (target.empty() || target.front() == '/') return false;
      std::vector<std::string> parts = splitPath(target, "/");
      pending.insert(pending.begin(), parts.begin(), parts.end());
      return true;
    };
    if (!pushTarget(link.linkTarget)) return false;
    int hops = 0;
    while (!pending.empty()) {
      std::string component = std::move(pending.front());
      pending.pop_front();
      if (component == ".") continue;
      if (component == "..") {
        if (resolved.empty()) return false;
        resolved.pop_back();
        continue;
      }
      resolved.push_back(std::move(component));
      std::string path = joinComponents(resolved, resolved.size());
      std::optional<std::string> target;
      if (auto archived = links_.find(path); archived != links_.end()) {
        target = archived->second;
      } else {
        target = onDiskLinkTarget(path);
      }
      if (!target) continue;
      if (++hops > kMaxLinkHops) return false;
      resolved.pop_back();
      if (!pushTarget(*target)) return false;
    }
    return true;
  }

  bool writeAll(Error* error) {
    std::vector<std::pair<std::vector<std::string>, mode_t>> directories;
    for (const PlannedEntry& entry : entries_) {
      if (entry.kind == PlannedEntry::Kind::Directory) {
        if (!openDirectory(entry.components, entry.components.size(), nullptr, error)) return false;
        directories.emplace_back(entry.components, entry.permissions);
        continue;
      }
      Descriptor parent;
      if (!openDirectory(entry.components, entry.components.size() - 1, &parent, error)) {
        return false;
      }
      bool skipped = false;
      if (!clearPlace(parent.get(), entry, &skipped, error)) return false;
      if (skipped) continue;
      if (!(entry.kind == PlannedEntry::Kind::File ? writeFile(parent.get(), entry, error)
                                                   : writeLink(parent.get(), entry, error))) {
        return false;
      }
    }
    // Folder modes last, deepest first, so that a read-only folder does not stop its contents
    // from being written.
    std::stable_sort(directories.begin(), directories.end(),
                     [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    for (const auto& [components, permissions] : directories) {
      Descriptor folder;
      if (!openDirectory(components, components.size(), &folder, error)) return false;
      if (::fchmod(folder.get(), permissions) != 0) {
        return fail(
            error,
            posixError(errno,
                       (destination_ / joinComponents(components, components.size())).string()));
      }
    }
    return true;
  }

  // Opens (creating when missing) the folder made of the first `count` components, never
  // following a symbolic link. `folder` may be null when only its existence matters.
  bool openDirectory(const std::vector<std::string>& components, size_t count, Descriptor* folder,
                     Error* error) {
    Descriptor current(::dup(root_.get()));
    for (size_t i = 0; i < count; ++i) {
      const char* name = components[i].c_str();
      int next = ::openat(current.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0 && errno == ENOENT) {
        if (::mkdirat(current.get(), name, kDefaultDirectoryMode) == 0) {
          created_.push_back(joinComponents(components, i + 1));
        } else if (errno != EEXIST) {
          return writeFailure(joinComponents(components, i + 1), error);
        }
        next = ::openat(current.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }
      if (next < 0) {
        if (errno == ELOOP) {
          return failZip(error, SSZipArchive::kEntryEscapesDestination,
                         "\"" + joinComponents(components, i + 1) + "\" is a symbolic link");
        }
        return writeFailure(joinComponents(components, i + 1), error);
      }
      current = Descriptor(next);
    }
    if (folder != nullptr) *folder = std::move(current);
    return true;
  }

  // Makes room for a file or link entry: an existing file or link is removed when overwriting
  // and makes the entry skipped otherwise; a folder in the way is an error.
  bool clearPlace(int parent, const PlannedEntry& entry, bool* skipped, Error* error) {
    const char* name = entry.components.back().c_str();
    struct stat existing;
    if (::fstatat(parent, name, &existing, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return writeFailure(entry.relativePath, error);
      created_.push_back(entry.relativePath);
      return true;
    }
    if (S_ISDIR(existing.st_mode)) {
      return failZip(error, SSZipArchive::kFailedToWriteFile,
                     "A folder is in the way of \"" + entry.relativePath + "\"");
    }
    if (!overwrite_) {
      *skipped = true;
      return true;
    }
    // Replacing rather than truncating never writes through a link or into a hard-linked file.
    if (::unlinkat(parent, name, 0) != 0) return writeFailure(entry.relativePath, error);
    return true;
  }

  bool writeFile(int parent, const PlannedEntry& entry, Error* error) {
    EntryHandle source;
    if (!openEntry(entry, &source, error)) return false;
    Descriptor target(::openat(parent, entry.components.back().c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!target.valid()) return writeFailure(entry.relativePath, error);
    if (buffer_.empty()) buffer_.resize(kCopyBufferSize);
    while (true) {
      zip_int64_t read = zip_fread(source.get(), buffer_.data(), buffer_.size());
      if (read < 0) {
        return failZip(
            error, SSZipArchive::kFileContentNotReadable,
            "Cannot read the entry \"" + entry.name + "\": " + zip_file_strerror(source.get()));
      }
      if (read == 0) break;
      if (!writeFully(target.get(), static_cast<size_t>(read))) {
        return writeFailure(entry.relativePath, error);
      }
    }
    if (::fchmod(target.get(), entry.permissions) != 0 || !target.close()) {
      return writeFailure(entry.relativePath, error);
    }
    return true;
  }

  bool writeLink(int parent, const PlannedEntry& entry, Error* error) {
    if (::symlinkat(entry.linkTarget.c_str(), parent, entry.components.back().c_str()) != 0) {
      return writeFailure(entry.relativePath, error);
    }
    return true;
  }

  bool writeFully(int fd, size_t size) {
    const char* data = buffer_.data();
    while (size > 0) {
      ssize_t written = ::write(fd, data, size);
      if (written < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      data += written;
      size -= static_cast<size_t>(written);
    }
    return true;
  }

  bool writeFailure(const std::string& relativePath, Error* error) {
    int code = errno;
    Error posix = posixError(code, (destination_ / relativePath).string());
    return failZip(error, SSZipArchive::kFailedToWriteFile, posix.description);
  }

  zip_t* archive_;
  fs::path destination_;
  bool overwrite_;
  std::string password_;
  std::vector<PlannedEntry> entries_;
  std::map<std::string, std::string> links_;  // archive links: relative path → target
  std::map<std::string, std::optional<std::string>> diskLinks_;
  std::vector<std::string> created_;  // relative paths, in creation order
  Descriptor root_;
  std::vector<char> buffer_;
};

// The end-of-central-directory record alone: what an archive without entries consists of.
// libzip deletes an archive that ends up empty instead of writing it.
constexpr std::string_view kEmptyArchive{"PK\x05\x06\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 22};

bool addEntry(zip_t* archive, const ZipEntry& entry, Error* error) {
  auto failEntry = [&](const std::string& what) {
    return failZip(error, SSZipArchive::kFailedToWriteFile,
                   "Cannot " + what + " \"" + entry.name + "\": " + zip_strerror(archive));
  };
  zip_int64_t index = -1;
  mode_t type = S_IFREG;
  if (entry.kind == ZipEntry::Kind::Directory) {
    type = S_IFDIR;
    index = zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_UTF_8);
  } else {
    if (entry.kind == ZipEntry::Kind::SymbolicLink) type = S_IFLNK;
    zip_source_t* source =
        entry.kind == ZipEntry::Kind::File && !entry.sourceFile.empty()
            ? zip_source_file(archive, entry.sourceFile.c_str(), 0, 0)
            : zip_source_buffer(archive, entry.contents.data(), entry.contents.size(), 0);
    if (source == nullptr) return failEntry("read the source of");
    index = zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
    if (index < 0) zip_source_free(source);
  }
  if (index < 0) return failEntry("add");
  zip_uint32_t attributes = static_cast<zip_uint32_t>(type | (entry.permissions & 07777)) << 16;
  if (zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX, attributes) != 0) {
    return failEntry("set the attributes of");
  }
  return true;
}

}  // namespace

bool SSZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool overwrite, const std::string& password, Error* error) {
  if (path.empty() || destination.empty()) {
    return failZip(error, kInvalidArguments, "No archive or no destination given");
  }
  int code = 0;
  ArchiveHandle archive(zip_open(path.c_str(), ZIP_RDONLY, &code));
  if (!archive) {
    return failZip(error, kFailedOpenZipFile,
                   "Cannot open the archive " + path + ": " + libzipMessage(code));
  }
  Unzipper unzipper(archive.get(), destination, overwrite, password);
  return unzipper.plan(error) && unzipper.extract(error);
}

bool SSZipArchive::createZipFileAtPath(const std::string& path, const std::string& directory,
                                       bool keepParentDirectory, Error* error) {
  fs::path folder = fs::path(directory).lexically_normal();
  if (folder.filename().empty()) folder = folder.parent_path();
  if (!files::isDirectory(folder)) {
    return failZip(error, kInvalidArguments, directory + " is not a folder");
  }
  std::string prefix = keepParentDirectory ? folder.filename().string() + "/" : std::string();
  std::vector<ZipEntry> entries;
  std::error_code code;
  if (keepParentDirectory) {
    auto attributes = files::attributes(folder, nullptr);
    entries.push_back({prefix,
                       ZipEntry::Kind::Directory,
                       attributes ? attributes->permissions : kDefaultDirectoryMode,
                       {},
                       {}});
  }
  for (fs::recursive_directory_iterator walk(folder, code), end; !code && walk != end;
       walk.increment(code)) {
    const fs::path& item = walk->path();
    std::optional<files::Attributes> attributes = files::attributes(item, error);
    if (!attributes) return false;
    ZipEntry entry;
    entry.name = prefix + item.lexically_relative(folder).string();
    entry.permissions = attributes->permissions;
    if (attributes->isSymbolicLink) {
      entry.kind = ZipEntry::Kind::SymbolicLink;
      entry.contents = fs::read_symlink(item, code).string();
    } else if (attributes->isDirectory) {
      entry.kind = ZipEntry::Kind::Directory;
    } else {
      entry.sourceFile = item.string();
    }
    entries.push_back(std::move(entry));
  }
  if (code) return fail(error, posixError(code.value(), directory));
  // Sorted names make the same folder give the same archive.
  std::sort(entries.begin(), entries.end(),
            [](const ZipEntry& a, const ZipEntry& b) { return a.name < b.name; });
  return createZipFileAtPath(path, entries, error);
}

bool SSZipArchive::createZipFileAtPath(const std::string& path,
                                       const std::vector<ZipEntry>& entries, Error* error) {
  if (path.empty()) return failZip(error, kInvalidArguments, "No archive path given");
  if (entries.empty()) return files::writeAtomically(path, kEmptyArchive, error);
  int code = 0;
  ArchiveHandle archive(zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code));
  if (!archive) {
    return failZip(error, kFailedOpenZipFile,
                   "Cannot create the archive " + path + ": " + libzipMessage(code));
  }
  for (const ZipEntry& entry : entries) {
    if (!addEntry(archive.get(), entry, error)) return false;
  }
  if (zip_close(archive.get()) != 0) {
    return failZip(error, kFailedToWriteFile,
                   "Cannot write the archive " + path + ": " + zip_strerror(archive.get()));
  }
  archive.release();  // zip_close freed it
  return true;
}

}  // namespace os
