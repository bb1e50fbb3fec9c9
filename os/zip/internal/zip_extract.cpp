#include "os/zip/internal/zip_extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "os/files/files.h"
#include "os/sync/mutex.h"
#include "os/zip/internal/zip_directory.h"
#include "os/zip/internal/zip_entry_reader.h"
#include "os/zip/internal/zip_libzip.h"
#include "os/zip/internal/zip_path_tree.h"
#include "os/zip/zip.h"

namespace os::internal {
namespace {

namespace fs = std::filesystem;

// A link target longer than the longest path the system accepts cannot be a real link.
constexpr uint64_t kMaxLinkTargetSize = PATH_MAX;
// The kernel gives up after 40 links in one lookup; a target that needs more never resolves.
constexpr int kMaxLinkHops = 40;
constexpr mode_t kDefaultFileMode = 0644;
constexpr mode_t kDefaultDirectoryMode = 0755;
// Buffer size for entries that libzip reads (encrypted ones, unusual methods).
constexpr size_t kCopyBufferSize = 256 * 1024;
// A thread's share of small entries: enough that handing out work costs nothing, few enough
// that the threads finish together.
constexpr size_t kEntriesPerBatch = 32;
constexpr uint64_t kBytesPerBatch = uint64_t{8} << 20;
// Beyond this many writers the file system's own locks, not the inflating, set the pace (see
// the thread rows of bench/unzip_bench).
constexpr unsigned kMaxThreads = 4;
// Local header: 30 bytes before the name.
constexpr uint64_t kLocalHeaderSize = 30;

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

bool writeFully(int fd, const char* data, size_t size) {
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

using Node = ZipPathTree::Node;

// What one archive entry becomes on disk. An archive can hold a million entries, so this is
// kept small: the name stays in libzip's directory (Unzipper::nameOf), a link's target is held
// only by links.
struct PlannedEntry {
  enum class Kind : uint8_t { File, Directory, SymbolicLink };
  // Where the bytes are, for a file read straight from the archive.
  ZipEntryData data;
  std::unique_ptr<std::string> linkTarget;
  // libzip's index; the caps keep it far below 2^32.
  uint32_t index = 0;
  // Where it lands; the root for a name such as "./".
  Node node = ZipPathTree::kRoot;
  uint16_t permissions = kDefaultFileMode;
  // The name's length as the directory stores it (a 16-bit field).
  uint16_t rawNameLength = 0;
  Kind kind = Kind::File;
  // Stored or deflated and not encrypted: read straight from the archive; otherwise by libzip.
  bool direct = false;

  // The local header with the name as the directory gives it, and the data: the least room the
  // entry takes in the file.
  uint64_t minimumSpan() const { return kLocalHeaderSize + rawNameLength + data.compressedSize; }
};
static_assert(SSZipArchive::kMaxEntries < UINT32_MAX);

// What is on disk at a path under the destination, as far as a link's resolution cares.
enum class DiskKind : uint8_t { kUnknown, kAbsent, kFolder, kLink, kOther };

// A name shortened for a message: a hostile one can be many kilobytes long.
std::string shortened(const std::string& name) {
  constexpr size_t kShown = 96;
  return name.size() <= kShown ? name : name.substr(0, kShown) + "...";
}

// What was at an entry's place before it was written.
enum class Place {
  kFree,
  // An item that the entry replaced.
  kCleared,
  // An item kept because the unzip does not overwrite: the entry is skipped.
  kKept,
};

class Unzipper {
 public:
  Unzipper(ArchiveHandle archive, std::string path, fs::path destination, bool overwrite,
           std::string password, const UnzipOptions& options)
      : archive_(std::move(archive)),
        path_(std::move(path)),
        destination_(std::move(destination)),
        overwrite_(overwrite),
        password_(std::move(password)),
        options_(options) {}

  // Reads every entry's name, attributes and place in the file, and refuses the archive when
  // one of them would land outside the destination, entries share data or a cap is passed.
  // Writes nothing.
  bool plan(Error* error) {
    zip_int64_t count = zip_get_num_entries(archive_.get(), 0);
    if (count <= 0) return failZip(error, SSZipArchive::kFailedOpenZipFile, "The archive is empty");
    if (static_cast<uint64_t>(count) > options_.maxEntries) {
      return failZip(error, SSZipArchive::kArchiveTooLarge,
                     "The archive has " + std::to_string(count) + " entries, more than the " +
                         std::to_string(options_.maxEntries) + " allowed");
    }
    source_ = Descriptor(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    std::string problem = "Read error";
    std::optional<ZipDirectoryLayout> layout;
    if (source_.valid() && ::fstat(source_.get(), &info) == 0) {
      layout = readZipDirectoryLayout(source_.get(), static_cast<uint64_t>(info.st_size), &problem);
    }
    if (!layout || layout->localHeaderOffsets.size() != static_cast<size_t>(count)) {
      return failZip(error, SSZipArchive::kFailedOpenZipFile,
                     "Cannot open the archive " + path_ + ": " +
                         (layout ? "Zip archive inconsistent" : problem));
    }
    entries_.resize(static_cast<size_t>(count));
    for (size_t index = 0; index < entries_.size(); ++index) {
      entries_[index].data.headerOffset = layout->localHeaderOffsets[index];
    }
    const uint64_t directoryOffset = layout->centralDirectoryOffset;
    layout.reset();
    for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(count); ++index) {
      if (!describe(index, &entries_[index], error)) return false;
    }
    // Every name is placed and every link target read: when every file is read straight from
    // the archive, libzip's copy of the directory, the largest part of the plan's memory, goes.
    if (std::all_of(entries_.begin(), entries_.end(), [](const PlannedEntry& entry) {
          return entry.kind != PlannedEntry::Kind::File || entry.direct;
        })) {
      archive_.reset();
    }
    if (!checkOverlaps(directoryOffset, error)) return false;
    uint64_t totalBytes = 0;
    for (const PlannedEntry& entry : entries_) totalBytes += entry.data.size;
    // "./" names the destination itself: nothing to write.
    std::erase_if(entries_,
                  [](const PlannedEntry& entry) { return entry.node == ZipPathTree::kRoot; });
    archiveLinks_.assign(tree_.size(), nullptr);
    diskKinds_.assign(tree_.size(), DiskKind::kUnknown);
    for (const PlannedEntry& entry : entries_) {
      if (entry.kind == PlannedEntry::Kind::SymbolicLink) {
        archiveLinks_[entry.node] = entry.linkTarget.get();  // the last of one path wins
      }
    }
    if (totalBytes > options_.maxTotalBytes) {
      return failZip(error, SSZipArchive::kArchiveTooLarge,
                     "The archive unpacks to " + std::to_string(totalBytes) +
                         " bytes, more than the " + std::to_string(options_.maxTotalBytes) +
                         " allowed");
    }
    for (const PlannedEntry& entry : entries_) {
      if (!checkParents(entry, error)) return false;
      if (entry.kind == PlannedEntry::Kind::SymbolicLink && !linkStaysInside(entry)) {
        const bool confined = options_.linkScope == SSZipArchive::LinkScope::kTopLevelFolder &&
                              tree_.depth(entry.node) > 1;
        return failZip(
            error, SSZipArchive::kEntryEscapesDestination,
            "The link \"" + shortened(nameOf(entry)) + "\" points outside " +
                (confined ? "\"" + std::string(tree_.name(tree_.lineage(entry.node).front())) + "\""
                          : std::string("the destination")));
      }
    }
    return true;
  }

  // Writes the planned entries. On failure removes what it created.
  bool extract(Error* error) {
    const bool destinationExisted = files::isDirectory(destination_);
    if (!checkFreeSpace(error)) return false;
    Error posix;
    if (!destinationExisted && !files::createDirectory(destination_, true, &posix)) {
      return failZip(error, SSZipArchive::kFailedToWriteFile, posix.description);
    }
    madeDestination_ = !destinationExisted;
    {
      // Every item made is a node of the tree: recording one never allocates, so that running
      // out of memory elsewhere cannot lose track of what to remove.
      MutexLock lock(mutex_);
      created_.reserve(tree_.size());
    }
    root_ = Descriptor(::open(destination_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool written = root_.valid() ? writeAll(error) : writeFailure(ZipPathTree::kRoot, error);
    if (written) return true;
    discardWritten();
    return false;
  }

  // Removes what the unzip created (items it replaced stay replaced), and the destination when
  // the unzip made it.
  void discardWritten() {
    std::vector<Node> created;
    {
      MutexLock lock(mutex_);
      created.swap(created_);
    }
    std::vector<char> isCreated(tree_.size(), 0);
    for (Node node : created) isCreated[node] = 1;
    for (auto node = created.rbegin(); node != created.rend(); ++node) {
      // An item in a folder that was created goes with the folder.
      if (isCreated[tree_.parent(*node)]) continue;
      files::removeItem(destination_ / tree_.path(*node), nullptr);
    }
    if (madeDestination_) ::rmdir(destination_.c_str());
    madeDestination_ = false;
  }

 private:
  // The entry's name as stored, for messages; once libzip is closed, the path it lands at.
  std::string nameOf(const PlannedEntry& entry) const {
    const char* name = archive_ ? zip_get_name(archive_.get(), entry.index, 0) : nullptr;
    return name != nullptr ? name : tree_.path(entry.node);
  }

  bool describe(zip_uint64_t index, PlannedEntry* entry, Error* error) {
    const char* name = zip_get_name(archive_.get(), index, 0);
    if (name == nullptr || *name == '\0') {
      return failZip(error, SSZipArchive::kFileInfoNotLoadable,
                     "Entry " + std::to_string(index) + " has no name");
    }
    entry->index = static_cast<uint32_t>(index);
    const std::string_view nameView(name);
    if (nameView.size() > options_.maxNameLength) {
      return failZip(error, SSZipArchive::kEntryNameTooLong,
                     "The name of entry " + std::to_string(index) + " (\"" + shortened(name) +
                         "\") is " + std::to_string(nameView.size()) +
                         " bytes long, more than the " + std::to_string(options_.maxNameLength) +
                         " allowed");
    }
    // Archives made on Windows separate with backslashes; either way "..\\x" must not escape.
    if (name[0] == '/' || name[0] == '\\') {
      return failZip(error, SSZipArchive::kEntryEscapesDestination,
                     "The entry \"" + std::string(name) + "\" has an absolute path");
    }
    if (!placeInTree(entry, nameView, error)) return false;

    zip_stat_t stat;
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    const char* rawName = zip_get_name(archive_.get(), index, ZIP_FL_ENC_RAW);
    if (zip_stat_index(archive_.get(), index, 0, &stat) != 0 || rawName == nullptr ||
        zip_file_get_external_attributes(archive_.get(), index, 0, &system, &attributes) != 0) {
      return failZip(error, SSZipArchive::kFileInfoNotLoadable,
                     "Cannot read the attributes of \"" + std::string(name) + "\"");
    }
    entry->data.size = stat.size;
    entry->data.compressedSize = stat.comp_size;
    entry->data.crc = stat.crc;
    entry->data.deflated = stat.comp_method == ZIP_CM_DEFLATE;
    entry->direct = (stat.comp_method == ZIP_CM_STORE || stat.comp_method == ZIP_CM_DEFLATE) &&
                    stat.encryption_method == ZIP_EM_NONE;
    entry->rawNameLength = static_cast<uint16_t>(std::strlen(rawName));

    mode_t unixMode = system == ZIP_OPSYS_UNIX ? attributes >> 16 : 0;
    char last = nameView.back();
    if (S_ISLNK(unixMode)) {
      entry->kind = PlannedEntry::Kind::SymbolicLink;
      if (!readLinkTarget(*entry, error)) return false;
    } else if (S_ISDIR(unixMode) || last == '/' || last == '\\') {
      entry->kind = PlannedEntry::Kind::Directory;
    }
    bool directory = entry->kind == PlannedEntry::Kind::Directory;
    // Set-id and sticky bits are dropped: a downloaded archive must not create set-id programs.
    entry->permissions = static_cast<uint16_t>(unixMode != 0 ? unixMode & 0777
                                               : directory   ? kDefaultDirectoryMode
                                                             : kDefaultFileMode);
    if (entry->node == ZipPathTree::kRoot && !directory) {
      return failZip(error, SSZipArchive::kFileInfoNotLoadable,
                     "The entry \"" + std::string(name) + "\" names no file");
    }
    return true;
  }

  // Every entry's header and data must lie apart from every other's and before the central
  // directory. Each entry's limit becomes where the next one starts, so that reading it can
  // also check the part of the header (the local extra field) the directory does not describe.
  bool checkOverlaps(uint64_t directoryOffset, Error* error) {
    std::vector<uint32_t> byOffset(entries_.size());
    for (size_t i = 0; i < byOffset.size(); ++i) byOffset[i] = static_cast<uint32_t>(i);
    std::sort(byOffset.begin(), byOffset.end(), [this](uint32_t a, uint32_t b) {
      return entries_[a].data.headerOffset < entries_[b].data.headerOffset;
    });
    for (size_t i = 0; i < byOffset.size(); ++i) {
      PlannedEntry& entry = entries_[byOffset[i]];
      const PlannedEntry* following =
          i + 1 < byOffset.size() ? &entries_[byOffset[i + 1]] : nullptr;
      uint64_t next = following ? following->data.headerOffset : directoryOffset;
      if (entry.data.headerOffset > next || entry.minimumSpan() > next - entry.data.headerOffset) {
        std::string other =
            following ? "the entry \"" + nameOf(*following) + "\"" : "the central directory";
        return failZip(error, SSZipArchive::kOverlappingEntries,
                       "The data of the entry \"" + nameOf(entry) + "\" overlaps " + other);
      }
      entry.data.limit = next;
    }
    return true;
  }

  bool checkFreeSpace(Error* error) {
    fs::path existing = destination_;
    while (!files::isDirectory(existing) && existing.has_parent_path() &&
           existing.parent_path() != existing) {
      existing = existing.parent_path();
    }
    std::optional<uint64_t> available =
        options_.freeSpace ? options_.freeSpace(existing) : files::availableCapacity(existing);
    if (!available) return true;
    // Each file takes whole blocks; a folder at least one.
    struct statvfs info;
    uint64_t block =
        ::statvfs(existing.c_str(), &info) == 0 && info.f_bsize > 0 ? info.f_bsize : 4096;
    uint64_t needed = 0;
    for (const PlannedEntry& entry : entries_) {
      needed += (entry.data.size + block - 1) / block * block;
      if (entry.kind != PlannedEntry::Kind::File) needed += block;
    }
    uint64_t usable =
        *available > options_.freeSpaceMargin ? *available - options_.freeSpaceMargin : 0;
    if (needed > usable) {
      return failZip(error, SSZipArchive::kNotEnoughSpace,
                     "The archive needs " + std::to_string(needed) + " bytes but " +
                         destination_.string() + " has " + std::to_string(*available) +
                         " free, of which " + std::to_string(options_.freeSpaceMargin) +
                         " must stay free");
    }
    return true;
  }

  // Finds or adds the entry's path in the tree, refusing a ".." component and a path deeper than
  // the options allow.
  bool placeInTree(PlannedEntry* entry, std::string_view name, Error* error) {
    Node node = ZipPathTree::kRoot;
    for (const std::string& component : splitPath(name, "/\\")) {
      if (component == ".") continue;
      if (component == "..") {
        return failZip(error, SSZipArchive::kEntryEscapesDestination,
                       "The entry \"" + std::string(name) + "\" climbs out with \"..\"");
      }
      if (tree_.depth(node) >= options_.maxPathDepth) {
        return failZip(error, SSZipArchive::kEntryNameTooLong,
                       "The entry \"" + shortened(std::string(name)) + "\" is more than " +
                           std::to_string(options_.maxPathDepth) + " folders deep");
      }
      node = tree_.child(node, component);
    }
    entry->node = node;
    return true;
  }

  bool readLinkTarget(PlannedEntry& entry, Error* error) {
    if (entry.data.size == 0 || entry.data.size > kMaxLinkTargetSize) {
      return failZip(error, SSZipArchive::kFileInfoNotLoadable,
                     "The link \"" + nameOf(entry) + "\" has no usable target");
    }
    EntryHandle file;
    if (!openEntry(entry, &file, error)) return false;
    entry.linkTarget = std::make_unique<std::string>(entry.data.size, '\0');
    zip_int64_t read = zip_fread(file.get(), entry.linkTarget->data(), entry.data.size);
    if (read != static_cast<zip_int64_t>(entry.data.size) ||
        entry.linkTarget->find('\0') != std::string::npos) {
      return failZip(error, SSZipArchive::kFileContentNotReadable,
                     "Cannot read the target of the link \"" + nameOf(entry) + "\"");
    }
    return true;
  }

  bool openEntry(const PlannedEntry& entry, EntryHandle* file, Error* error) {
    file->reset(password_.empty()
                    ? zip_fopen_index(archive_.get(), entry.index, 0)
                    : zip_fopen_index_encrypted(archive_.get(), entry.index, 0, password_.c_str()));
    if (*file) return true;
    return failZip(
        error, SSZipArchive::kFailedOpenFileInZip,
        "Cannot open the entry \"" + nameOf(entry) + "\": " + zip_strerror(archive_.get()));
  }

  // Refuses an entry that would be written through a symbolic link: one the archive makes, or
  // one already on disk in the destination. A folder entry's own path counts, as the folder's
  // contents would go through it.
  bool checkParents(const PlannedEntry& entry, Error* error) {
    const Node deepest =
        entry.kind == PlannedEntry::Kind::Directory ? entry.node : tree_.parent(entry.node);
    if (deepest == ZipPathTree::kRoot) return true;
    for (Node folder : tree_.lineage(deepest)) {
      if (archiveLinks_[folder] != nullptr || diskKind(folder) == DiskKind::kLink) {
        return failZip(error, SSZipArchive::kEntryEscapesDestination,
                       "The entry \"" + shortened(nameOf(entry)) +
                           "\" would be written through the link \"" +
                           shortened(tree_.path(folder)) + "\"");
      }
    }
    return true;
  }

  // What is on disk at `node`'s path under the destination; looked at once per node, and only
  // where its folder exists on disk (a fresh destination costs one look per top-level item).
  DiskKind diskKind(Node node) {
    if (diskKinds_[node] != DiskKind::kUnknown) return diskKinds_[node];
    DiskKind kind;
    if (node == ZipPathTree::kRoot) {
      kind = files::isDirectory(destination_) ? DiskKind::kFolder : DiskKind::kAbsent;
    } else if (diskKind(tree_.parent(node)) != DiskKind::kFolder) {
      kind = DiskKind::kAbsent;
    } else {
      std::string target;
      kind = probeDisk(tree_.path(node), &target);
      if (kind == DiskKind::kLink) diskLinkTargets_.emplace(node, std::move(target));
    }
    diskKinds_[node] = kind;
    return kind;
  }

  // What is at `relativePath` under the destination, and a link's target in `target` (or "/"
  // when it cannot be read, so that it counts as leaving).
  DiskKind probeDisk(const std::string& relativePath, std::string* target) const {
    std::error_code code;
    const fs::path path = destination_ / relativePath;
    const fs::file_status status = fs::symlink_status(path, code);
    if (code || !fs::exists(status)) return DiskKind::kAbsent;
    if (fs::is_symlink(status)) {
      *target = fs::read_symlink(path, code).string();
      if (code) *target = "/";
      return DiskKind::kLink;
    }
    return fs::is_directory(status) ? DiskKind::kFolder : DiskKind::kOther;
  }

  // Follows the link's target as the kernel would, through the archive's own links and those
  // already on disk, and answers whether every step stays under the destination (or, with
  // LinkScope::kTopLevelFolder, inside the top-level folder that holds the link). A lookup
  // costs one component: the tree finds archive paths, and the disk is asked only below a
  // folder that exists there. A resolution deeper than any entry may be fails.
  bool linkStaysInside(const PlannedEntry& link) {
    struct Step {
      std::optional<Node> node;  // nullopt: a path the archive does not name
      DiskKind disk;
      size_t pathStart;  // where the step's component starts in `path`
    };
    const Node linkFolder = tree_.parent(link.node);
    const size_t floor = options_.linkScope == SSZipArchive::LinkScope::kTopLevelFolder &&
                                 linkFolder != ZipPathTree::kRoot
                             ? 1
                             : 0;
    const Step root{ZipPathTree::kRoot, diskKind(ZipPathTree::kRoot), 0};
    std::vector<Step> resolved;
    std::string path;
    auto pushStep = [&](std::optional<Node> node, DiskKind disk, std::string_view component) {
      const size_t start = path.size();
      if (!path.empty()) path += '/';
      path += component;
      resolved.push_back(Step{node, disk, start});
    };
    for (Node folder : tree_.lineage(linkFolder)) {
      pushStep(folder, diskKind(folder), tree_.name(folder));
    }
    std::deque<std::string> pending;
    auto pushTarget = [&pending](const std::string& target) {
      if (target.empty() || target.front() == '/') return false;
      std::vector<std::string> parts = splitPath(target, "/");
      pending.insert(pending.begin(), std::make_move_iterator(parts.begin()),
                     std::make_move_iterator(parts.end()));
      return true;
    };
    if (!pushTarget(*link.linkTarget)) return false;
    int hops = 0;
    while (!pending.empty()) {
      std::string component = std::move(pending.front());
      pending.pop_front();
      if (component == ".") continue;
      if (component == "..") {
        if (resolved.size() <= floor) return false;
        path.resize(resolved.back().pathStart);
        resolved.pop_back();
        continue;
      }
      const Step& parent = resolved.empty() ? root : resolved.back();
      std::optional<Node> node = parent.node ? tree_.find(*parent.node, component) : std::nullopt;
      std::string diskTarget;
      DiskKind disk = DiskKind::kAbsent;
      if (node) {
        disk = diskKind(*node);
        if (disk == DiskKind::kLink) diskTarget = diskLinkTargets_.at(*node);
      } else if (parent.disk == DiskKind::kFolder) {
        std::string candidate = path.empty() ? component : path + "/" + component;
        disk = probeDisk(candidate, &diskTarget);
      }
      const std::string* target = node ? archiveLinks_[*node] : nullptr;
      if (target == nullptr && disk == DiskKind::kLink) target = &diskTarget;
      if (target != nullptr) {
        if (++hops > kMaxLinkHops || !pushTarget(*target)) return false;
        continue;
      }
      pushStep(node, disk, component);
      if (resolved.size() > options_.maxPathDepth) return false;
    }
    return true;
  }

  // Folders first, then files (on several threads), then links, then the folders' modes.
  bool writeAll(Error* error) {
    std::vector<const PlannedEntry*> files;
    std::vector<const PlannedEntry*> links;
    sortOutWrites(&files, &links);
    if (!makeFolders(error)) return false;
    if (!writeFiles(files, error)) return false;
    for (const PlannedEntry* link : links) {
      Descriptor parent;
      Place place = Place::kFree;
      if (!openDirectory(tree_.parent(link->node), &parent, error) ||
          !clearPlace(parent.get(), *link, &place, error)) {
        return false;
      }
      if (place == Place::kKept) continue;
      if (::symlinkat(link->linkTarget->c_str(), parent.get(), tree_.name(link->node).data()) !=
          0) {
        return writeFailure(link->node, error);
      }
      if (place == Place::kFree) recordCreated(link->node);
    }
    return setFolderModes(error);
  }

  // The file and link entries to write. Where several share a path, the one a write in archive
  // order would leave: the last when overwriting, else the first.
  void sortOutWrites(std::vector<const PlannedEntry*>* files,
                     std::vector<const PlannedEntry*>* links) const {
    // Per node, the winning entry's position in entries_.
    constexpr uint32_t kNone = UINT32_MAX;
    std::vector<uint32_t> winners(tree_.size(), kNone);
    for (size_t i = 0; i < entries_.size(); ++i) {
      const PlannedEntry& entry = entries_[i];
      if (entry.kind == PlannedEntry::Kind::Directory) continue;
      uint32_t& winner = winners[entry.node];
      if (winner == kNone || overwrite_) winner = static_cast<uint32_t>(i);
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
      const PlannedEntry& entry = entries_[i];
      if (entry.kind == PlannedEntry::Kind::Directory || winners[entry.node] != i) continue;
      (entry.kind == PlannedEntry::Kind::File ? files : links)->push_back(&entry);
    }
  }

  // The folders the entries need: every folder entry and every folder that holds an entry.
  std::vector<char> foldersNeeded() const {
    std::vector<char> needed(tree_.size(), 0);
    for (const PlannedEntry& entry : entries_) {
      Node folder =
          entry.kind == PlannedEntry::Kind::Directory ? entry.node : tree_.parent(entry.node);
      // A marked folder's own folders are marked already: each is visited once.
      while (folder != ZipPathTree::kRoot && !needed[folder]) {
        needed[folder] = 1;
        folder = tree_.parent(folder);
      }
    }
    return needed;
  }

  // Makes every folder the entries need, parents before children, keeping open only the chain
  // of folders that leads to the current one.
  bool makeFolders(Error* error) {
    const std::vector<char> needed = foldersNeeded();
    struct Frame {
      Descriptor folder;
      std::vector<Node> children;
      size_t nextChild;
    };
    std::vector<Frame> chain;
    chain.push_back(Frame{Descriptor(::dup(root_.get())), tree_.children(ZipPathTree::kRoot), 0});
    while (!chain.empty()) {
      Frame& top = chain.back();
      if (top.nextChild == top.children.size()) {
        chain.pop_back();
        continue;
      }
      const Node child = top.children[top.nextChild++];
      if (!needed[child]) continue;
      Descriptor opened;
      if (!openChild(top.folder.get(), child, &opened, error)) return false;
      chain.push_back(Frame{std::move(opened), tree_.children(child), 0});
    }
    return true;
  }

  void recordCreated(Node node) {
    MutexLock lock(mutex_);
    created_.push_back(node);
  }

  // Opens (creating when missing, and recording it as created) the folder `node` inside
  // `parent`, which holds it, never following a symbolic link.
  bool openChild(int parent, Node node, Descriptor* folder, Error* error) {
    const char* name = tree_.name(node).data();
    int next = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT) {
      if (::mkdirat(parent, name, kDefaultDirectoryMode) == 0) {
        recordCreated(node);
      } else if (errno != EEXIST) {
        return writeFailure(node, error);
      }
      next = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      if (errno == ELOOP) {
        return failZip(error, SSZipArchive::kEntryEscapesDestination,
                       "\"" + shortened(tree_.path(node)) + "\" is a symbolic link");
      }
      return writeFailure(node, error);
    }
    *folder = Descriptor(next);
    return true;
  }

  // Opens (creating what is missing) the folder `node`, one component at a time from the
  // destination, never following a symbolic link.
  bool openDirectory(Node node, Descriptor* folder, Error* error) {
    Descriptor current(::dup(root_.get()));
    for (Node step : tree_.lineage(node)) {
      if (!openChild(current.get(), step, &current, error)) return false;
    }
    *folder = std::move(current);
    return true;
  }

  // Folder modes last, deepest first, so that a read-only folder does not stop its contents
  // from being written.
  bool setFolderModes(Error* error) {
    std::vector<const PlannedEntry*> directories;
    for (const PlannedEntry& entry : entries_) {
      if (entry.kind == PlannedEntry::Kind::Directory) directories.push_back(&entry);
    }
    std::stable_sort(directories.begin(), directories.end(), [this](const auto* a, const auto* b) {
      return tree_.depth(a->node) > tree_.depth(b->node);
    });
    for (const PlannedEntry* directory : directories) {
      Descriptor folder;
      if (!openDirectory(directory->node, &folder, error)) return false;
      if (::fchmod(folder.get(), directory->permissions) != 0) {
        return fail(error,
                    posixError(errno, (destination_ / tree_.path(directory->node)).string()));
      }
    }
    return true;
  }

  // Writes the file entries: those read straight from the archive in batches on several
  // threads, then those only libzip can read, on this thread. Running out of memory on a
  // writing thread stops them all and is rethrown here, for unzip() to clean up after.
  bool writeFiles(const std::vector<const PlannedEntry*>& files, Error* error) {
    std::vector<std::vector<const PlannedEntry*>> batches(1);
    std::vector<const PlannedEntry*> throughLibzip;
    uint64_t batchBytes = 0;
    for (const PlannedEntry* file : files) {
      if (!file->direct) {
        throughLibzip.push_back(file);
        continue;
      }
      if (batches.back().size() >= kEntriesPerBatch || batchBytes >= kBytesPerBatch) {
        batches.emplace_back();
        batchBytes = 0;
      }
      batches.back().push_back(file);
      batchBytes += file->data.size;
    }
    if (batches.back().empty()) batches.pop_back();

    unsigned threads = options_.threads != 0
                           ? options_.threads
                           : std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    threads = static_cast<unsigned>(std::min<size_t>(threads, batches.size()));
    std::atomic<size_t> nextBatch{0};
    std::atomic<bool> outOfMemory{false};
    auto work = [&] {
      try {
        FileWriter writer(*this);
        for (size_t batch = nextBatch++; batch < batches.size() && !stopped_; batch = nextBatch++) {
          for (const PlannedEntry* file : batches[batch]) {
            if (stopped_ || !writer.write(*file)) break;
          }
        }
      } catch (const std::bad_alloc&) {
        outOfMemory = true;
        stopped_ = true;
      }
    };
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < threads; ++i) helpers.emplace_back(work);
    if (threads > 0) work();
    for (std::thread& helper : helpers) helper.join();
    if (outOfMemory) throw std::bad_alloc();
    if (stopped_) {
      MutexLock lock(mutex_);
      return fail(error, *firstError_);
    }

    std::vector<char> buffer;
    for (const PlannedEntry* file : throughLibzip) {
      if (!writeThroughLibzip(*file, buffer, error)) return false;
    }
    return true;
  }

  // One thread's writing of files read straight from the archive: its reader and the folder it
  // last wrote into.
  class FileWriter {
   public:
    explicit FileWriter(Unzipper& unzipper)
        : unzipper_(unzipper), reader_(unzipper.options_.wholeBufferLimit) {}

    bool write(const PlannedEntry& file) {
      Error error;
      Place place = Place::kFree;
      Descriptor target;
      if (!openParent(file, &error) ||
          !unzipper_.createFile(folder_.get(), file, &target, &place, &error)) {
        return stop(std::move(error));
      }
      if (place == Place::kKept) return true;
      if (place == Place::kFree) unzipper_.recordCreated(file.node);
      std::string problem;
      ZipEntryReader::Outcome outcome = reader_.read(
          unzipper_.source_.get(), file.data,
          [&](const char* bytes, size_t size) { return writeFully(target.get(), bytes, size); },
          &problem);
      switch (outcome) {
        case ZipEntryReader::Outcome::kRead:
          break;
        case ZipEntryReader::Outcome::kBadHeader:
          return stop(
              Error(SSZipArchive::kErrorDomain, SSZipArchive::kFailedOpenFileInZip,
                    "Cannot open the entry \"" + unzipper_.nameOf(file) + "\": " + problem));
        case ZipEntryReader::Outcome::kOverlaps:
          return stop(
              Error(SSZipArchive::kErrorDomain, SSZipArchive::kOverlappingEntries,
                    "The data of the entry \"" + unzipper_.nameOf(file) + "\" overlaps the next"));
        case ZipEntryReader::Outcome::kBadData:
          return stop(
              Error(SSZipArchive::kErrorDomain, SSZipArchive::kFileContentNotReadable,
                    "Cannot read the entry \"" + unzipper_.nameOf(file) + "\": " + problem));
        case ZipEntryReader::Outcome::kSinkFailed:
          unzipper_.writeFailure(file.node, &error);
          return stop(std::move(error));
      }
      if (::fchmod(target.get(), file.permissions) != 0 || !target.close()) {
        unzipper_.writeFailure(file.node, &error);
        return stop(std::move(error));
      }
      return true;
    }

   private:
    bool openParent(const PlannedEntry& file, Error* error) {
      const Node parent = unzipper_.tree_.parent(file.node);
      if (folder_.valid() && folderNode_ == parent) return true;
      folderNode_ = parent;
      if (unzipper_.openDirectory(parent, &folder_, error)) return true;
      folder_ = Descriptor();
      return false;
    }

    bool stop(Error error) {
      MutexLock lock(unzipper_.mutex_);
      if (!unzipper_.firstError_) unzipper_.firstError_ = std::move(error);
      unzipper_.stopped_ = true;
      return false;
    }

    Unzipper& unzipper_;
    ZipEntryReader reader_;
    Descriptor folder_;
    Node folderNode_ = ZipPathTree::kRoot;
  };

  // Creates the file of an entry in `parent`, open for writing, and says in `place` what was
  // there (see clearPlace); `target` stays closed when the entry is skipped.
  bool createFile(int parent, const PlannedEntry& entry, Descriptor* target, Place* place,
                  Error* error) {
    const char* name = tree_.name(entry.node).data();
    constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    *place = Place::kFree;
    *target = Descriptor(::openat(parent, name, kCreate, 0600));
    if (target->valid()) return true;
    if (errno != EEXIST) return writeFailure(entry.node, error);
    if (!clearPlace(parent, entry, place, error)) return false;
    if (*place == Place::kKept) return true;
    *target = Descriptor(::openat(parent, name, kCreate, 0600));
    return target->valid() || writeFailure(entry.node, error);
  }

  // Makes room for a file or link entry: an existing file or link is removed when overwriting
  // and kept (the entry skipped) otherwise; a folder in the way is an error.
  bool clearPlace(int parent, const PlannedEntry& entry, Place* place, Error* error) {
    const char* name = tree_.name(entry.node).data();
    struct stat existing;
    if (::fstatat(parent, name, &existing, AT_SYMLINK_NOFOLLOW) != 0) {
      *place = Place::kFree;
      return errno == ENOENT || writeFailure(entry.node, error);
    }
    if (S_ISDIR(existing.st_mode)) {
      return failZip(error, SSZipArchive::kFailedToWriteFile,
                     "A folder is in the way of \"" + tree_.path(entry.node) + "\"");
    }
    if (!overwrite_) {
      *place = Place::kKept;
      return true;
    }
    // Replacing rather than truncating never writes through a link or into a hard-linked file.
    if (::unlinkat(parent, name, 0) != 0) return writeFailure(entry.node, error);
    *place = Place::kCleared;
    return true;
  }

  bool writeThroughLibzip(const PlannedEntry& entry, std::vector<char>& buffer, Error* error) {
    Descriptor parent;
    Descriptor target;
    Place place = Place::kFree;
    if (!openDirectory(tree_.parent(entry.node), &parent, error) ||
        !createFile(parent.get(), entry, &target, &place, error)) {
      return false;
    }
    if (place == Place::kKept) return true;
    if (place == Place::kFree) recordCreated(entry.node);
    EntryHandle source;
    if (!openEntry(entry, &source, error)) return false;
    buffer.resize(kCopyBufferSize);
    while (true) {
      zip_int64_t read = zip_fread(source.get(), buffer.data(), buffer.size());
      if (read < 0) {
        return failZip(
            error, SSZipArchive::kFileContentNotReadable,
            "Cannot read the entry \"" + nameOf(entry) + "\": " + zip_file_strerror(source.get()));
      }
      if (read == 0) break;
      if (!writeFully(target.get(), buffer.data(), static_cast<size_t>(read))) {
        return writeFailure(entry.node, error);
      }
    }
    if (::fchmod(target.get(), entry.permissions) != 0 || !target.close()) {
      return writeFailure(entry.node, error);
    }
    return true;
  }

  bool writeFailure(Node node, Error* error) {
    int code = errno;
    Error posix = posixError(code, (destination_ / tree_.path(node)).string());
    return failZip(error, SSZipArchive::kFailedToWriteFile, posix.description);
  }

  // libzip's reading of the directory: closed once every entry is described when every file is
  // read straight from the archive.
  ArchiveHandle archive_;
  const std::string path_;
  const fs::path destination_;
  const bool overwrite_;
  const std::string password_;
  const UnzipOptions& options_;
  Descriptor source_;  // the archive, read straight by the writing threads
  ZipPathTree tree_;
  std::vector<PlannedEntry> entries_;
  // Per node: the target of the archive's link there, or nullptr.
  std::vector<const std::string*> archiveLinks_;
  // Per node: what is on disk there, looked at on demand; and the targets of links on disk.
  std::vector<DiskKind> diskKinds_;
  std::unordered_map<Node, std::string> diskLinkTargets_;
  Descriptor root_;
  // The unzip made the destination, and removes it again after a failure.
  bool madeDestination_ = false;

  Mutex mutex_;
  // What the unzip created, in creation order, for removal after a failure.
  std::vector<Node> created_ OS_GUARDED_BY(mutex_);
  std::optional<Error> firstError_ OS_GUARDED_BY(mutex_);
  std::atomic<bool> stopped_{false};
};

}  // namespace

UnzipOptions::UnzipOptions()
    : maxEntries(SSZipArchive::kMaxEntries),
      maxTotalBytes(SSZipArchive::kMaxTotalBytes),
      freeSpaceMargin(SSZipArchive::kFreeSpaceMargin),
      maxNameLength(SSZipArchive::kMaxNameLength),
      maxPathDepth(SSZipArchive::kMaxPathDepth) {}

bool unzip(const std::string& path, const std::string& destination, bool overwrite,
           const std::string& password, const UnzipOptions& options, Error* error) {
  if (path.empty() || destination.empty()) {
    return failZip(error, SSZipArchive::kInvalidArguments, "No archive or no destination given");
  }
  int code = 0;
  ArchiveHandle archive(zip_open(path.c_str(), ZIP_RDONLY, &code));
  if (!archive) {
    return failZip(error, SSZipArchive::kFailedOpenZipFile,
                   "Cannot open the archive " + path + ": " + libzipMessage(code));
  }
  Unzipper unzipper(std::move(archive), path, destination, overwrite, password, options);
  try {
    return unzipper.plan(error) && unzipper.extract(error);
  } catch (const std::bad_alloc&) {
    unzipper.discardWritten();
    return failZip(error, SSZipArchive::kArchiveTooLarge,
                   "There is not enough memory to unpack the archive " + path);
  }
}

}  // namespace os::internal
