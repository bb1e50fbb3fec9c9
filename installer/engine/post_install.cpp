#include "installer/engine/post_install.h"

#include <optional>

#include "installer/app/kv_tracker.h"
#include "installer/app/software_info.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/log/log.h"
#include "os/net/url.h"
#include "os/text/format.h"
#include "os/value/plist.h"
#include "os/value/value.h"
#include "os/workspace/workspace.h"

namespace {

namespace fs = std::filesystem;

// Opens the product; false with the failure text set when neither the product nor its file URL
// could be opened.
bool openProduct(const fs::path& product, std::string* failure) {
  os::Error error;
  if (os::files::exists(product)) {
    if (os::workspace::openFile(product, &error)) return true;
    *failure = os::formatObjects("Open Error:%@", {error.code});
    os::log::console(error.localizedDescription());
  } else {
    *failure = os::formatObjects("%@ is not exist", {product.string()});
  }
  return os::workspace::openURL(os::URL::fileURLWithPath(product), nullptr);
}

}  // namespace

fs::path TSRPostInstall::trackingFolder() {
  return os::paths::applicationSupport() / "tessaroTrack";
}

fs::path TSRPostInstall::trackingFilePath() {
  return trackingFolder() / TSRSoftWareInfo::singleton().product().trackingFileName();
}

bool TSRPostInstall::writeTrackingFile() {
  const TSRSoftWareInfo& software = TSRSoftWareInfo::singleton();
  const os::Value info(os::Dictionary{
      {"VersionTrack", software.versionTrack()},
      {"LinkTrack", software.linkTrack()},
      {"NoYouToBePhoto", software.isNoYouToBePhoto()},
      {"ProTrack", software.isProVersion()},
  });
  const fs::path path = trackingFilePath();
  os::files::createDirectory(trackingFolder(), /*withIntermediates=*/true, nullptr);
  os::files::removeItem(path, nullptr);
  std::optional<std::string> bytes = os::plist::serialize(info, os::plist::Format::Xml);
  const bool written = bytes && os::files::writeAtomically(path, *bytes, nullptr);
  os::log::console("infoDict:" + info.description());
  return written;
}

bool TSRPostInstall::makeDesktopLink(const fs::path& product) {
  const fs::path link = os::paths::desktop() / product.filename();
  if (os::files::isSymbolicLink(link)) os::files::removeItem(link, nullptr);
  return os::files::createSymbolicLink(link, product, nullptr);
}

bool TSRPostInstall::finishInstallation(const std::string& folder) {
  KVTracker::send(KVAction::InstallFinished);
  const fs::path product =
      fs::path(folder) / std::string(TSRSoftWareInfo::singleton().product().bundleName);
  if (os::files::exists(product)) {
    writeTrackingFile();
    makeDesktopLink(product);
  }
  std::string failure;
  const bool opened = openProduct(product, &failure);
  if (opened) {
    KVTracker::send(KVAction::StartApplication);
  } else {
    KVTracker::send(KVAction::StartApplicationFailed, KVLabel::Text, failure);
  }
  return opened;
}
