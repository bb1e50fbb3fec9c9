// The download engine: installs one product. It downloads the product's zip archive into the
// installer's cache folder, replaces the product's old copy in the system Applications folder
// (asking the user through the delegate when the old copy cannot be taken away), and unpacks the
// archive there, falling back to the user's own Applications folder. Every step is reported to a
// TSRDownLoadProgress delegate (installer/engine/download_progress.h).
//
//   auto engine = std::make_shared<TSRDownloadManager>(
//       screen,                                                   // std::weak_ptr to the delegate
//       "https://download.tessaro.example/product/bv/Brevalo.zip",  // already percent-escaped
//       "Brevalo.app", TSRSoftWareInfo::singleton().engineArchiveSize());
//   engine->downloadSpecifiedApp();                               // main thread; returns at once
//
// One engine serves one attempt; a retry makes a new one. The engine keeps itself alive until
// its last callback, so its owner may drop it at any time.
//
// Safety. The archive is unpacked whole into a staging folder while the old copy stays in
// place; only the product's bundle is taken from it and exchanged with the old copy in one step
// (installer/engine/install_steps.h), so a failure or a kill at any moment leaves a complete
// old or new copy, and nothing else in the archive reaches the Applications folder. A bundle
// name that is empty or not a plain file name is refused with kDownloadErrorDownloadFailed
// before anything touches the network, so the engine can never take away an Applications
// folder itself. The zip's local name comes from the address's path and is replaced by a fixed
// name when it is not a plain file name.
//
// Threads. downloadSpecifiedApp() on the main thread. Progress is reported on the HTTP client's
// transfer thread; the download's destination is chosen on the session's delegate queue; the
// download's outcome, downComplete, installStart and the prompt run on the main thread; the
// check of the old copy and unpacking run on the global default-priority queue, which waits on
// the main thread for the prompt's first answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "installer/engine/download_progress.h"
#include "installer/engine/install_steps.h"
#include "os/value/error.h"

class TSRDownloadManager : public std::enable_shared_from_this<TSRDownloadManager> {
 public:
  // Seconds without a byte before the download fails.
  static constexpr double kDefaultTimeoutInterval = 120;
  // Seconds between two prompts while the user confirms but the old copy is still there.
  static constexpr double kPromptRepeatInterval = 0.6;
  // The request's Accept-Encoding, which the maker's download server expects.
  static constexpr const char* kArchiveAcceptEncoding = "application-x-zip";
  // The download fails past this many times the expected size (see downloadSpecifiedApp).
  static constexpr int64_t kDownloadSizeFactor = 4;

  // `delegate` is not retained. `downloadUrl` is the archive's address, already percent-escaped;
  // `fileName` the application bundle the archive holds ("Brevalo.app"); `totalSize` the
  // expected archive size (0 or less: unknown), which bounds the download.
  TSRDownloadManager(std::weak_ptr<TSRDownLoadProgress> delegate, std::string downloadUrl,
                     std::string fileName, int64_t totalSize);
  TSRDownloadManager(const TSRDownloadManager&) = delete;
  TSRDownloadManager& operator=(const TSRDownloadManager&) = delete;

  // The zip's local name in the cache folder (see the header comment).
  const std::string& downloadFileName() const { return downloadFileName_; }
  const std::string& fileName() const { return fileName_; }
  const std::string& downloadUrl() const { return downloadUrl_; }
  int64_t totalSize() const { return totalSize_; }
  // The cache folder followed by downloadFileName().
  std::filesystem::path zipLocalPath() const;

  // The download's inactivity limit; kDefaultTimeoutInterval unless changed before
  // downloadSpecifiedApp() (tests shorten it).
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }

  // Starts the installation and returns at once. Main thread. Removes an earlier zip of the
  // same name and downloads the archive; then:
  //  - address empty or not an http(s) URL with a host, or download failed (network, timeout,
  //    status outside 200-299, a redirect from https to another scheme, a body longer than
  //    kDownloadSizeFactor times `totalSize` or than the cache folder's free space less
  //    os::SSZipArchive::kFreeSpaceMargin): any partial zip is removed, downErrorWithFileName
  //    with the localised "internet_Exception" and kDownloadErrorDownloadFailed;
  //  - downloaded: downComplete, installStart, then kDownloadErrorFileNotFound
  //    ("下载文件未找到错误") when the zip is not in the cache folder, else the replace and
  //    unzip steps:
  //  - when the old copy in the system Applications folder could not be taken away
  //    (TSRInstallSteps::canReplace), the delegate's showPromptView asks the user, again every
  //    kPromptRepeatInterval seconds while the user confirms and the copy is still there; when
  //    the user gives up with the copy still there, the zip is removed and
  //    downErrorWithFileName reports the localised "Install_App_Prompt_Msg3" with
  //    kDownloadErrorDownloadFailed; the old copy is untouched;
  //  - the product's bundle installed into the system Applications folder
  //    (TSRInstallSteps::installBundle): the zip is removed, installComplete with that folder;
  //  - else into the user's Applications folder (its old copy checked as above first; the
  //    system folder's old copy removed after): installComplete with that folder, the zip
  //    stays in the cache folder;
  //  - else (the archive unreadable, without the product's bundle, or no folder could take it)
  //    the old copies are untouched, the zip is removed, and installError names the system
  //    Applications folder with "Unzip error:0 error.description:<the error>; MD5=<zip's MD5>;"
  //    and kDownloadErrorUnzipFailed;
  //  - an exception anywhere in unpacking, the delegate's installComplete included: the zip is
  //    removed, installError with the zip's name, the exception's reason and
  //    kDownloadErrorUnzipException.
  void downloadSpecifiedApp();

  // The zip's local path when a file is there.
  std::optional<std::string> jundDownloadFileIsExist() const;

 private:
  // What the prompt loop needs to know.
  struct PromptContext {
    std::filesystem::path oldCopy;
    std::filesystem::path zipPath;
    os::Error error;
  };

  // Reports kDownloadErrorDownloadFailed on the main queue without downloading.
  void refuse(const std::string& analyticsError);
  void downloadFinished(const std::optional<os::Error>& error);
  // Global queue: checks that the old copy can go, then unzips or prompts.
  void replaceOldCopy(const std::filesystem::path& zipPath);
  // Main thread.
  void doPrompt(const PromptContext& context);
  void giveUp(const PromptContext& context);
  // Global queue.
  void doUnzip(const std::filesystem::path& zipPath);
  void installInto(const std::filesystem::path& zipPath);
  // After an installation into the user's folder: the old copy in the system folder goes, as
  // the replace step proved it could.
  void removeReplacedSystemCopy();

  const std::weak_ptr<TSRDownLoadProgress> delegate_;
  const std::string downloadUrl_;
  const std::string fileName_;
  const int64_t totalSize_;
  const std::string downloadFileName_;
  double timeoutInterval_ = kDefaultTimeoutInterval;
  // The whole percent of the last logged progress report; transfer thread.
  std::atomic<int> loggedPercent_{-1};
};
