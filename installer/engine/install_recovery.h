// Repairs what an installation that was killed (a crash, a power cut, SIGKILL) left in an
// Applications folder, so that the user keeps a complete product and no hidden folders pile up.
// The installer calls it once at launch, before anything else touches the folders:
//
//   TSRInstallRecovery::recoverInterruptedInstallations(os::paths::systemApplications());
//   TSRInstallRecovery::removeFinishedDownloads(TempHelper::getAppCachePath());
//
// Main thread, at launch; it may take as long as removing a product's worth of files.
#pragma once

#include <filesystem>

namespace TSRInstallRecovery {

// In `folder`, for the hidden folders that TSRInstallSteps makes (install_steps.h):
//  - a set-aside copy of "X" goes back to "X" when nothing is there, else it is removed;
//  - a staging folder is removed: it holds either an unfinished new bundle or an old copy that
//    the new one already replaced; one whose lock a running installation holds is left alone.
// Only hidden folders named as TSRInstallSteps names them are touched, and a set-aside folder
// only when it holds nothing but its item (or nothing at all). Failures are logged; what could
// not be removed stays for the next launch. A missing `folder` is left alone.
void recoverInterruptedInstallations(const std::filesystem::path& folder);

// Removes the product archives ("*.zip" files) that an installation killed between its download
// and its end left in the installer's cache folder `cacheFolder`: each installation downloads
// its archive anew, so they are only leftovers. Call it only while holding the installer's own
// lock (TSRFolderLock::lockApplicationsFolders), which keeps a running installer's archive out
// of reach. Failures are logged; a missing folder is left alone.
void removeFinishedDownloads(const std::filesystem::path& cacheFolder);

}  // namespace TSRInstallRecovery
