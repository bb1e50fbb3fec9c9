// What the download engine (TSRDownloadManager) tells the screen that drives it, and the error
// numbers it reports. The progress screen implements TSRDownLoadProgress and hands the engine a
// weak reference to itself:
//
//   class ProgressScreen : public TSRDownLoadProgress,
//                          public std::enable_shared_from_this<ProgressScreen> {
//     void downProgressWithFileName(const std::string& zip, double percent) override {
//       os::DispatchQueue::main()->async([=] { showPercent(percent); });  // not the main thread
//     }
//     ...
//   };
//
// Threads. Calls arrive on different threads (see each method), so an implementation must accept
// a call on any thread and move its user-interface work to the main queue itself.
#pragma once

#include <cstdint>
#include <string>

#include "os/value/error.h"

// The engine's error numbers.
enum DownloadErrorEnum : int32_t {
  // The archive was unpacked into neither Applications folder.
  kDownloadErrorUnzipFailed = 1,
  // An exception was raised while replacing or unpacking.
  kDownloadErrorUnzipException = 2,
  // The download finished but the archive is not in the cache folder.
  kDownloadErrorFileNotFound = 3,
  // The download failed, the product cannot be installed by name, or the old copy stayed in
  // place and the user gave up.
  kDownloadErrorDownloadFailed = 4,
  // An unpacking error of another kind; the engine never sends it, screens handle it all the
  // same.
  kDownloadErrorUnknown = 5,
};

// The engine's delegate. Every method is required. For one engine the calls come in this order:
// downProgressWithFileName (any number of times), then either downErrorWithFileName, or
// downComplete and installStart followed by showPromptView (any number of times) and exactly one
// of installComplete, installError or downErrorWithFileName.
class TSRDownLoadProgress {
 public:
  virtual ~TSRDownLoadProgress() = default;

  // The download of `fileName` (the zip's name) has reached `percent`, 0 to 100. On the HTTP
  // client's transfer thread, never the main thread. Not sent while the size is unknown.
  virtual void downProgressWithFileName(const std::string& fileName, double percent) = 0;

  // The download failed, or the old copy stayed in place and the user gave up: `errorNumber` is
  // kDownloadErrorDownloadFailed. `displayError` is meant for the user (may be empty),
  // `analyticsError` for the usage event. Main thread.
  virtual void downErrorWithFileName(const std::string& fileName, const std::string& displayError,
                                     const std::string& analyticsError,
                                     DownloadErrorEnum errorNumber) = 0;

  // The download of `fileName` finished without error. Main thread.
  virtual void downComplete(const std::string& fileName) = 0;

  // Installing starts; right after downComplete. Main thread.
  virtual void installStart(const std::string& fileName) = 0;

  // The product was unpacked into `folder`: the system Applications folder, or the user's own
  // when the system one could not take it. On a global-queue thread.
  virtual void installComplete(const std::string& folder) = 0;

  // Installing failed. `name` is the system Applications folder for kDownloadErrorUnzipFailed
  // (on a global-queue thread), the zip's name for kDownloadErrorUnzipException (global-queue
  // thread) and kDownloadErrorFileNotFound (main thread).
  virtual void installError(const std::string& name, const std::string& error,
                            DownloadErrorEnum errorNumber) = 0;

  // The old copy of `appName` ("Brevalo.app") cannot be removed, for `error`. Must ask the user
  // modally and return 1 when the user confirms (has dealt with the old copy), 0 to give up.
  // Main thread; the engine waits for the answer.
  virtual int64_t showPromptView(const std::string& appName, const os::Error& error) = 0;
};
