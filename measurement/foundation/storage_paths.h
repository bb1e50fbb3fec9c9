// Where the measurement code keeps its files: every database and property list under the
// measurement folder, <Application Support>/Vedodo/Measurement, and the preferences file of a
// suite in the preferences folder. Stateless; every function may be called from any thread.
//
//   std::string database = measurementDataPath("vedodo-app-measurement.sql");
//   std::string state = measurementPlistPath("com.vedodo.gmp.measurement");  // ".plist" added
#pragma once

#include <string>
#include <string_view>

#include "os/value/error.h"

namespace measurement {

// <preferences>/<name>.plist; "" for an empty name.
std::string preferencesPlistPath(std::string_view name);
// <measurement folder>/<name>; "" for an empty name.
std::string measurementDataPath(std::string_view name);
// Like measurementDataPath, with ".plist" added unless the name already has that extension.
std::string measurementPlistPath(std::string_view name);

// Nothing on this host backs files up by attribute, so there is nothing to exclude: true.
bool excludePathFromBackup(std::string_view path, os::Error* error);
// Removes the item at `path`; an empty path fails with code 1, "Received empty path for
// deleting file", and the file system's own errors come back as they are.
bool deleteFileAtPath(std::string_view path, os::Error* error);

// Moves the suite's preferences file into the measurement folder, where the persistent
// dictionary of that name reads it: true when it was moved, when nothing was there to move, or
// when the measurement folder already held the file (the older copy is then deleted). False,
// with both files left, when the old item or the new one is a folder or a step fails.
bool migratePreferencesSuite(std::string_view name);

}  // namespace measurement
