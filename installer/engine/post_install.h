// What the installer does once the product has been unpacked: it records the distribution
// channel in the tracking file that the installed product reads, puts a link to the product on
// the user's desktop, opens the product, and reports each step as a usage event. The progress
// screen calls it on the main thread when the engine reports installComplete, then closes its
// window:
//
//   void ProgressScreen::installComplete(const std::string& folder) {
//     os::DispatchQueue::main()->async([=] {
//       TSRPostInstall::finishInstallation(folder);
//       closeWindow();
//     });
//   }
//
// Tracking file: <Application Support>/tessaroTrack/<prefix>-Track.plist ("BV-Track.plist" for
// Brevalo), an XML property list holding exactly "VersionTrack" and "LinkTrack" (strings) and
// "NoYouToBePhoto" and "ProTrack" (booleans) from the shared product information. It is replaced,
// never merged, and written atomically.
//
// Nothing here goes through a shell: the link is made with symlink(2) and the product is started
// by os::workspace, so no character of a path can be taken as a command.
#pragma once

#include <filesystem>
#include <string>

class TSRPostInstall {
 public:
  // Runs the steps for the product unpacked into `folder` (the folder installComplete named),
  // with P = `folder` joined with the product's bundle name:
  //  1. usage event "Install Finished" ("Success");
  //  2. when P exists: writes the tracking file, makes the desktop link, and opens P;
  //  3. when P is missing or could not be opened: asks the workspace to open P's file URL;
  //  4. usage event "Start Application" ("Success"), or "Start Application Failed" labelled
  //     "Open Error:<code>" (P could not be opened, nor its URL) or "<P> is not exist".
  // Failures of the tracking file and the link are not reported. Returns whether the product
  // was opened. Main thread.
  static bool finishInstallation(const std::string& folder);

  // <Application Support>/tessaroTrack.
  static std::filesystem::path trackingFolder();
  // The tracking file of the installed product.
  static std::filesystem::path trackingFilePath();

  // Replaces the tracking file (creating its folder when missing) and logs "infoDict:%@".
  // False when it could not be written.
  static bool writeTrackingFile();

  // Puts a symbolic link to `product` named like it on the user's desktop, replacing a link of
  // that name; anything else of that name stays, and then there is no link. False when no link
  // was made (also when there is no desktop folder).
  static bool makeDesktopLink(const std::filesystem::path& product);
};
