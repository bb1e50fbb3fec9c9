#include "installer/engine/check_updater.h"

#include <filesystem>
#include <optional>

#include "installer/app/software_info.h"
#include "installer/app/temp_helper.h"
#include "os/dispatch/dispatch.h"
#include "os/files/files.h"
#include "os/log/log.h"
#include "os/value/plist.h"

namespace {

// The list's entries, in the order they are applied.
constexpr ArchiveSize kListedSizes[] = {ArchiveSize::KVI, ArchiveSize::KVA, ArchiveSize::KVC,
                                        ArchiveSize::HLI, ArchiveSize::HLA, ArchiveSize::SN,
                                        ArchiveSize::BV};

}  // namespace

TSRCheckUpdater::TSRCheckUpdater()
    : updateFileName_("installer.plist"),
      updateFileLocalPath_(
          (std::filesystem::path(TempHelper::getAppTempPath()) / updateFileName_).string()),
      updateFileUrlPath_(std::string("https://") + TSRHosts::kDownloadHost +
                         "/config/installer.plist") {}

void TSRCheckUpdater::checkUpdate() {
  OS_CHECK_ON_MAIN();
  std::optional<os::URL> url = os::URL::parse(updateFileUrlPath_);
  if (!url) return;
  if (session_) session_->invalidateAndCancel();
  // Outcomes arrive on the main queue, where the platform's URL download told its delegate.
  session_ = os::URLSession::sessionWithConfiguration(
      os::URLSessionConfiguration::defaultSessionConfiguration(), nullptr,
      os::DispatchQueue::main());
  download_ = session_->downloadTaskWithRequest(
      os::URLRequest(*url, kRequestTimeout),
      [self = shared_from_this(), session = std::weak_ptr<os::URLSession>(session_)](
          const std::optional<os::URL>& location, const std::shared_ptr<const os::URLResponse>&,
          const std::optional<os::Error>& error) {
        if (self->session_ != session.lock()) return;  // a check that a newer one replaced
        self->session_->finishTasksAndInvalidate();
        self->session_.reset();
        self->download_.reset();
        os::Error moveError;
        if (error) {
          self->downloadDidFail(*error);
        } else if (!location || !os::files::moveItem(location->filePath(),
                                                     self->updateFileLocalPath_, &moveError)) {
          self->downloadDidFail(moveError);
        } else {
          self->downloadDidFinish();
        }
      });
  if (!download_) return;
  download_->setCountOfBytesReceivedLimit(kMaximumListBytes);
  os::files::removeItem(updateFileLocalPath_, nullptr);
  download_->resume();
}

void TSRCheckUpdater::downloadDidFinish() {
  os::log::console("downloadDidFinish");
  parsePlistContent(updateFileLocalPath_);
}

void TSRCheckUpdater::downloadDidFail(const os::Error& error) {
  os::log::console("download error: " + error.localizedDescription());
}

void TSRCheckUpdater::parsePlistContent(const std::string& path) {
  std::optional<std::string> bytes = os::files::readFile(path, nullptr);
  if (!bytes) return;
  std::optional<os::Value> list = os::plist::parse(*bytes);
  if (!list || !list->isDictionary()) return;
  TSRSoftWareInfo& software = TSRSoftWareInfo::singleton();
  for (ArchiveSize size : kListedSizes) {
    const os::Value& entry = (*list)[TSRSoftWareInfo::archiveSizeKey(size)];
    if (entry.isNumber()) software.setArchiveSize(size, entry.integerValue());
  }
}
