#include "installer/engine/download_manager.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "installer/app/temp_helper.h"
#include "installer/engine/download_file_name.h"
#include "net/http_session_manager.h"
#include "net/session_manager.h"
#include "os/dispatch/dispatch.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/log/log.h"
#include "os/net/url.h"
#include "os/net/urlsession.h"
#include "os/text/format.h"
#include "os/value/exception.h"
#include "os/zip/zip.h"

namespace {

namespace fs = std::filesystem;

// The platform's user-info key of an error's failure reason.
constexpr const char* kLocalizedFailureReasonKey = "NSLocalizedFailureReason";

std::string localFileNameFor(const std::string& address) {
  std::optional<os::URL> url = os::URL::parse(address);
  return url ? localDownloadFileName(*url) : kFallbackDownloadFileName;
}

std::string failureReason(const os::Error& error) {
  const std::string* reason = error.userInfo[kLocalizedFailureReasonKey].asString();
  return reason ? *reason : "";
}

// Removes the zip; it may already be gone.
void removeZip(const fs::path& zipPath) { os::files::removeItem(zipPath, nullptr); }

// The most bytes the archive's download may take (negative: no bound): a product outgrows the
// size its table expects between two updates of the table, but not fourfold, so a body past
// that is a server that does not stop; and never more than the cache folder's file system can
// take while leaving the margin that unpacking leaves too.
int64_t downloadLimit(int64_t expectedSize, const fs::path& cacheFolder) {
  int64_t limit = -1;
  if (expectedSize > 0) {
    limit = expectedSize > INT64_MAX / TSRDownloadManager::kDownloadSizeFactor
                ? INT64_MAX
                : expectedSize * TSRDownloadManager::kDownloadSizeFactor;
  }
  if (std::optional<uint64_t> free = os::files::availableCapacity(cacheFolder)) {
    const uint64_t margin = os::SSZipArchive::kFreeSpaceMargin;
    const int64_t room =
        static_cast<int64_t>(std::min<uint64_t>(*free > margin ? *free - margin : 0, INT64_MAX));
    limit = limit < 0 ? room : std::min(limit, room);
  }
  return limit;
}

}  // namespace

TSRDownloadManager::TSRDownloadManager(std::weak_ptr<TSRDownLoadProgress> delegate,
                                       std::string downloadUrl, std::string fileName,
                                       int64_t totalSize)
    : delegate_(std::move(delegate)),
      downloadUrl_(std::move(downloadUrl)),
      fileName_(std::move(fileName)),
      totalSize_(totalSize),
      downloadFileName_(localFileNameFor(downloadUrl_)) {}

fs::path TSRDownloadManager::zipLocalPath() const {
  return fs::path(TempHelper::getAppCachePath()) / downloadFileName_;
}

std::optional<std::string> TSRDownloadManager::jundDownloadFileIsExist() const {
  fs::path zipPath = zipLocalPath();
  if (!os::files::exists(zipPath)) return std::nullopt;
  return zipPath.string();
}

void TSRDownloadManager::downloadSpecifiedApp() {
  OS_CHECK_ON_MAIN();
  // The old copy is "<Applications>/<bundle name>": without a plain name that would be the
  // Applications folder itself, or something outside it.
  if (!isPlainFileName(fileName_)) {
    refuse("No application bundle to install from " + downloadUrl_);
    return;
  }
  std::optional<os::URL> url = os::URL::parse(downloadUrl_);
  if (!url || (url->scheme() != "http" && url->scheme() != "https") || url->host().empty()) {
    // An address that cannot be fetched fails as a download would, so that the screen shows
    // its error page instead of waiting for ever.
    const int64_t code = url ? os::kURLErrorUnsupportedURL : os::kURLErrorBadURL;
    os::Error error(os::kURLErrorDomain, code, url ? "unsupported URL" : "bad URL",
                    os::Dictionary{{os::kURLErrorFailingURLStringKey, downloadUrl_}});
    os::DispatchQueue::main()->async(
        [self = shared_from_this(), error] { self->downloadFinished(error); });
    return;
  }
  const fs::path zipPath = zipLocalPath();
  removeZip(zipPath);

  os::URLRequest request(*url, timeoutInterval_);
  request.setValue(kArchiveAcceptEncoding, "Accept-Encoding");
  auto manager = NKHTTPSessionManager::manager();
  auto self = shared_from_this();
  auto task = manager->downloadTaskWithRequest(
      request,
      [self](Progress& progress) {
        // Without a Content-Length the total is unknown: no percentage can be given.
        const int64_t total = progress.totalUnitCount();
        if (total <= 0) return;
        const float percent =
            static_cast<float>(static_cast<double>(progress.completedUnitCount()) * 100.0 /
                               static_cast<double>(total));
        if (auto delegate = self->delegate_.lock()) {
          delegate->downProgressWithFileName(self->downloadFileName_, percent);
        }
        // A line for each whole percent: one per report would cost a large download more time
        // than its transfer.
        const int wholePercent = static_cast<int>(percent);
        if (self->loggedPercent_.exchange(wholePercent) != wholePercent) {
          os::log::write(os::log::Level::Debug, "progress:" + std::to_string(percent));
        }
      },
      [zipPath](const os::URL&, const NKURLSessionManager::Response&) {
        os::log::write(os::log::Level::Debug, "downFileLocalPath:" + zipPath.string());
        return std::optional<os::URL>(os::URL::fileURLWithPath(zipPath));
      },
      [self](const NKURLSessionManager::Response&, const std::optional<os::URL>& filePath,
             const std::optional<os::Error>& error) {
        self->downloadFinished(error);
        os::log::console(filePath ? filePath->absoluteString() : "(null)");
        os::log::console("completionHandler----" +
                         (error ? error->localizedDescription() : std::string("(null)")));
      });
  if (!task) return;
  task->setCountOfBytesReceivedLimit(downloadLimit(totalSize_, zipPath.parent_path()));
  task->resume();
}

void TSRDownloadManager::refuse(const std::string& analyticsError) {
  os::DispatchQueue::main()->async([self = shared_from_this(), analyticsError] {
    if (auto delegate = self->delegate_.lock()) {
      delegate->downErrorWithFileName(self->downloadFileName_, "", analyticsError,
                                      kDownloadErrorDownloadFailed);
    }
  });
}

void TSRDownloadManager::downloadFinished(const std::optional<os::Error>& error) {
  const fs::path zipPath = zipLocalPath();
  std::shared_ptr<TSRDownLoadProgress> delegate = delegate_.lock();
  if (error) {
    removeZip(zipPath);
    // This engine never resumes: a partial file kept for resuming goes too.
    os::URLSession::discardResumeData(*error);
    if (!delegate) return;
    std::string analytics =
        os::formatObjects("%@, error code:%@ ,error FailureReason:%@",
                          {error->localizedDescription(), error->code, failureReason(*error)});
    delegate->downErrorWithFileName(
        downloadFileName_, TempHelper::getDefaultsLocalizableLanguages("internet_Exception"),
        analytics, kDownloadErrorDownloadFailed);
    return;
  }
  if (delegate) {
    delegate->downComplete(downloadFileName_);
    delegate->installStart(downloadFileName_);
  }
  if (os::files::exists(zipPath)) {
    os::DispatchQueue::global()->async(
        [self = shared_from_this(), zipPath] { self->replaceOldCopy(zipPath); });
  } else if (delegate) {
    delegate->installError(downloadFileName_, "下载文件未找到错误", kDownloadErrorFileNotFound);
  }
}

void TSRDownloadManager::replaceOldCopy(const fs::path& zipPath) {
  // The old copy leaves its place only when the new one takes it (installBundle); here it is
  // only proven that it can go.
  const fs::path oldCopy = os::paths::systemApplications() / fileName_;
  os::Error error;
  if (TSRInstallSteps::itemExists(oldCopy) && !TSRInstallSteps::canReplace(oldCopy, &error)) {
    PromptContext context{oldCopy, zipPath, error};
    os::DispatchQueue::main()->sync([this, &context] { doPrompt(context); });
    return;
  }
  doUnzip(zipPath);
}

void TSRDownloadManager::doPrompt(const PromptContext& context) {
  std::shared_ptr<TSRDownLoadProgress> delegate = delegate_.lock();
  const bool confirmed = delegate && delegate->showPromptView(fileName_, context.error) == 1;
  if (!TSRInstallSteps::itemExists(context.oldCopy)) {
    os::DispatchQueue::global()->async(
        [self = shared_from_this(), zipPath = context.zipPath] { self->doUnzip(zipPath); });
  } else if (confirmed) {
    os::DispatchQueue::main()->after(
        kPromptRepeatInterval, [self = shared_from_this(), context] { self->doPrompt(context); });
  } else {
    giveUp(context);
  }
}

void TSRDownloadManager::giveUp(const PromptContext& context) {
  removeZip(context.zipPath);
  std::shared_ptr<TSRDownLoadProgress> delegate = delegate_.lock();
  if (!delegate) return;
  std::string display =
      os::formatObjects(TempHelper::getDefaultsLocalizableLanguages("Install_App_Prompt_Msg3"),
                        {fs::path(fileName_).stem().string()});
  std::string analytics =
      os::formatObjects("%@,remove old app errorCode:%@, errorReason:%@",
                        {display, context.error.code, failureReason(context.error)});
  delegate->downErrorWithFileName(downloadFileName_, display, analytics,
                                  kDownloadErrorDownloadFailed);
}

void TSRDownloadManager::doUnzip(const fs::path& zipPath) {
  std::string reason;
  try {
    installInto(zipPath);
    return;
  } catch (const os::Exception& exception) {
    reason = exception.reason();
  } catch (const std::exception& exception) {
    reason = exception.what();
  }
  removeZip(zipPath);
  if (auto delegate = delegate_.lock()) {
    delegate->installError(downloadFileName_, reason, kDownloadErrorUnzipException);
  }
}

void TSRDownloadManager::installInto(const fs::path& zipPath) {
  const fs::path systemApplications = os::paths::systemApplications();
  if (TSRInstallSteps::installBundle(zipPath.string(), systemApplications, fileName_, nullptr)) {
    removeZip(zipPath);
    if (auto delegate = delegate_.lock()) delegate->installComplete(systemApplications.string());
    return;
  }

  const fs::path userApplications = TempHelper::getApplicationPath();
  const fs::path target = userApplications / fileName_;
  os::Error error;
  const bool clear =
      !TSRInstallSteps::itemExists(target) || TSRInstallSteps::canReplace(target, &error);
  if (clear &&
      TSRInstallSteps::installBundle(zipPath.string(), userApplications, fileName_, &error)) {
    removeReplacedSystemCopy();
    // The zip stays in the cache folder on this route.
    if (auto delegate = delegate_.lock()) delegate->installComplete(userApplications.string());
    return;
  }

  std::string md5 = TempHelper::md5ForFile(zipPath.string());
  removeZip(zipPath);
  if (auto delegate = delegate_.lock()) {
    delegate->installError(systemApplications.string(),
                           os::formatObjects("Unzip error:%@ error.description:%@; MD5=%@;",
                                             {0, error.localizedDescription(), md5}),
                           kDownloadErrorUnzipFailed);
  }
}

void TSRDownloadManager::removeReplacedSystemCopy() {
  const fs::path oldCopy = os::paths::systemApplications() / fileName_;
  if (!TSRInstallSteps::itemExists(oldCopy)) return;
  // Set aside first, so that a kill while removing never leaves half a product at its path.
  os::Error error;
  std::optional<TSRInstallSteps::SetAsideItem> old =
      TSRInstallSteps::SetAsideItem::setAside(oldCopy, &error);
  if (!old || !old->discard(&error)) {
    os::log::write(os::log::Level::Warning, "Could not remove the replaced " + oldCopy.string() +
                                                ": " + error.localizedDescription());
  }
}
