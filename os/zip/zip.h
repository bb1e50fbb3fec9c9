// Zip archives: unpacking a downloaded product archive into a folder, and making archives the
// way the product's maker ships them (a bundle folder with its modes and symbolic links).
// libzip reads the archive's directory and writes archives; entry data is read straight from
// the file and inflated with libdeflate or zlib (os/zip/internal/zip_extract.h).
//
//   os::Error error;
//   if (!os::SSZipArchive::unzipFileAtPath(zipPath, stagingFolder, /*overwrite=*/true,
//                                         /*password=*/"", &error)) {
//     os::log::write(os::log::Level::Error, error.localizedDescription());
//   }
//
//   os::SSZipArchive::createZipFileAtPath("Brevalo.zip", "build/Brevalo.app",
//                                         /*keepParentDirectory=*/true, &error);
//
// An archive comes from the network, so unpacking trusts none of it: every entry must land
// under the destination. A name longer than kMaxNameLength bytes or deeper than kMaxPathDepth
// folders, an absolute name, a ".." component, a symbolic link whose target
// (followed through the archive's own links and the links already on disk) leaves the
// destination, or an entry that would be written through a symbolic link (one already on disk
// or one the archive makes) refuses the whole archive before anything is written. So does an
// archive whose entries share their data, one with more than kMaxEntries entries or
// kMaxTotalBytes unpacked bytes, and one whose files would not fit in the destination's free
// space less kFreeSpaceMargin. An entry's bytes must match its declared size and checksum.
// Large entries are streamed to disk, never held whole in memory; independent entries are
// written on several threads. Time and memory grow with the total length of the entries' names,
// not with the square of their depth.
//
// Every function may be called from any thread; two unzips into the same folder at once are
// not supported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "os/value/error.h"

namespace os {

// One entry of an archive to write.
struct ZipEntry {
  enum class Kind { File, Directory, SymbolicLink };

  // The name stored in the archive, as given ("Brevalo.app/Contents/Info.plist"); a directory's
  // name gets a trailing "/" when it has none. Names are not checked, so that tests can make
  // hostile archives.
  std::string name;
  Kind kind = Kind::File;
  // The Unix permission bits stored in the entry's external attributes (with the kind's type
  // bits added).
  uint32_t permissions = 0644;
  // A file's bytes, or a symbolic link's target. Ignored when `sourceFile` is set.
  std::string contents;
  // For a file: read the bytes from this file when the archive is written (so large files are
  // never held in memory).
  std::string sourceFile;
};

class SSZipArchive {
 public:
  // Error domain and codes of the functions below.
  static constexpr const char* kErrorDomain = "SSZipArchiveErrorDomain";
  enum ErrorCode : int64_t {
    // The archive cannot be opened or is not a zip archive, or holds no entries.
    kFailedOpenZipFile = -1,
    // An entry cannot be opened (an encrypted entry without the right password, an unsupported
    // compression method).
    kFailedOpenFileInZip = -2,
    // An entry's name or attributes cannot be read, or its name is empty.
    kFileInfoNotLoadable = -3,
    // An entry's bytes cannot be read: truncated or corrupt data, a checksum mismatch.
    kFileContentNotReadable = -4,
    // Something cannot be written to disk (including an item in the way of a folder the archive
    // needs, or a folder in the way of a file).
    kFailedToWriteFile = -5,
    kInvalidArguments = -6,
    // An entry would land outside the destination, or would be written through a symbolic link.
    kEntryEscapesDestination = -7,
    // Entries share their data (how a small archive can claim to unpack to terabytes), or an
    // entry's data reaches into the next entry or the central directory.
    kOverlappingEntries = -8,
    // More entries than kMaxEntries, or more unpacked bytes than kMaxTotalBytes.
    kArchiveTooLarge = -9,
    // The files would not fit in the destination's free space less kFreeSpaceMargin.
    kNotEnoughSpace = -10,
    // An entry's name is longer than kMaxNameLength bytes, or its path has more than
    // kMaxPathDepth components.
    kEntryNameTooLong = -11,
  };

  // Where the target of a symbolic link in the archive must lead.
  enum class LinkScope {
    // Anywhere under the destination.
    kDestination,
    // Inside the top-level folder that holds the link ("App.app/Contents/x" may point anywhere
    // in "App.app", not beside it): for an archive whose top-level folder is moved away from
    // the rest after unpacking, as an application bundle is. A top-level link is held to the
    // destination.
    kTopLevelFolder,
  };

  // Caps far above any real product (tens of thousands of files, a few GiB), so that a hostile
  // archive is refused before it fills a disk or runs for hours.
  static constexpr uint64_t kMaxEntries = 1'000'000;
  static constexpr uint64_t kMaxTotalBytes = uint64_t{64} << 30;
  // Left free on the destination's file system after unpacking, so that the rest of the system
  // can still write.
  static constexpr uint64_t kFreeSpaceMargin = uint64_t{64} << 20;
  // The longest entry name (the system's longest path) and the deepest path: far beyond any
  // real bundle, and what keeps a name of a few kilobytes from naming thousands of folders.
  static constexpr size_t kMaxNameLength = 4096;
  static constexpr size_t kMaxPathDepth = 256;

  // Unpacks every entry of the archive at `path` under the folder `destination`, which is
  // created (with its parents) when missing. Folders are created as needed; a file's or link's
  // existing item is replaced when `overwrite` is true and left alone (the entry is skipped)
  // otherwise. Unix permission bits from the entries' external attributes are kept, except the
  // set-user-id, set-group-id and sticky bits, which an archive from outside must not set;
  // entries without Unix attributes get 0644 (files) and 0755 (folders). Symbolic links are made
  // as links. An empty `password` means none.
  //
  // Returns false and fills `error` (kErrorDomain) when the archive cannot be opened, holds no
  // entries, is refused (see the top of this file), an entry cannot be read, or something
  // cannot be written. A refused archive writes nothing at all. When a later failure stops the
  // unzip, the items it had created are removed again (items it replaced stay replaced), so the
  // destination holds no partial result of new entries; callers that must keep an old copy
  // unpack into a fresh folder and move it into place.
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool overwrite, const std::string& password, Error* error);
  // The same, with the symbolic links held to `linkScope` (a link that leaves it refuses the
  // archive with kEntryEscapesDestination, before anything is written).
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool overwrite, const std::string& password, LinkScope linkScope,
                              Error* error);

  // Writes the folder `directory` (recursively; symbolic links stored as links, permission bits
  // kept) to a new archive at `path`, replacing a file there. With `keepParentDirectory` the
  // entries are named "<folder name>/...", as the maker ships a bundle; otherwise they are named
  // relative to the folder.
  static bool createZipFileAtPath(const std::string& path, const std::string& directory,
                                  bool keepParentDirectory, Error* error);

  // Writes `entries`, in order, to a new archive at `path`, replacing a file there. An empty
  // list gives a valid empty archive.
  static bool createZipFileAtPath(const std::string& path, const std::vector<ZipEntry>& entries,
                                  Error* error);
};

}  // namespace os
