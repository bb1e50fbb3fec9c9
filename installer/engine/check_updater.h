// The update check: shortly after launch the installer fetches the update list
// "installer.plist" from the maker's download server and copies the expected archive sizes it
// holds into the shared product information. Nothing of it is shown; a failed check leaves the
// built-in sizes.
//
//   auto checker = std::make_shared<TSRCheckUpdater>();   // main thread
//   checker->checkUpdate();                                // returns at once
//   ... later, on the main run loop: TSRSoftWareInfo::singleton().archiveSize(ArchiveSize::BV)
//
// The list is a property-list dictionary whose optional number entries "kviLenght",
// "kvaLenght", "kvcLenght", "hliLenght", "hlaLenght", "snLenght" and "bvLenght" are the sizes of
// the products KVI, KVA, KVC, HLI, HLA, SN and BV. Entries of another type count as absent.
//
// Threads: create and start it on the main thread; the download's outcome is handled on the
// main queue. The checker keeps itself alive until then.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "os/net/urlsession.h"
#include "os/value/error.h"

class TSRCheckUpdater : public std::enable_shared_from_this<TSRCheckUpdater> {
 public:
  // Seconds without a byte before the request fails.
  static constexpr double kRequestTimeout = 60;
  // The longest list taken; a real one is a few hundred bytes.
  static constexpr int64_t kMaximumListBytes = 1 << 20;

  TSRCheckUpdater();
  TSRCheckUpdater(const TSRCheckUpdater&) = delete;
  TSRCheckUpdater& operator=(const TSRCheckUpdater&) = delete;

  // "installer.plist".
  const std::string& updateFileName() const { return updateFileName_; }
  // The installer's temporary folder followed by updateFileName().
  const std::string& updateFileLocalPath() const { return updateFileLocalPath_; }
  // "https://<download host>/config/installer.plist".
  const std::string& updateFileUrlPath() const { return updateFileUrlPath_; }

  // Cancels a check still running, removes the previous local copy and downloads the list to
  // updateFileLocalPath(); when that succeeds, logs "downloadDidFinish" and runs
  // parsePlistContent, else logs "download error". Whatever status the server answers, its body
  // is what arrives (a page that is not a property list changes nothing). A body longer than
  // kMaximumListBytes fails the download as it passes the limit, no file kept.
  void checkUpdate();

  // When a file is at `path` and holds a dictionary, sets each product size whose entry is a
  // number to that number (as a signed 64-bit integer).
  static void parsePlistContent(const std::string& path);

 private:
  void downloadDidFinish();
  void downloadDidFail(const os::Error& error);

  const std::string updateFileName_;
  const std::string updateFileLocalPath_;
  const std::string updateFileUrlPath_;
  // The running check's session and download; main thread only.
  std::shared_ptr<os::URLSession> session_;
  std::shared_ptr<os::URLSessionDownloadTask> download_;
};
