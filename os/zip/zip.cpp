#include "os/zip/zip.h"

#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string_view>

#include "os/files/files.h"
#include "os/zip/internal/zip_extract.h"
#include "os/zip/internal/zip_libzip.h"

namespace os {
namespace {

namespace fs = std::filesystem;
using internal::ArchiveHandle;
using internal::failZip;
using internal::libzipMessage;

constexpr mode_t kDefaultDirectoryMode = 0755;

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
  return unzipFileAtPath(path, destination, overwrite, password, LinkScope::kDestination, error);
}

bool SSZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool overwrite, const std::string& password, LinkScope linkScope,
                                   Error* error) {
  internal::UnzipOptions options;
  options.linkScope = linkScope;
  return internal::unzip(path, destination, overwrite, password, options, error);
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
