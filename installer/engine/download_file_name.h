// The name under which a downloaded file is kept in the installer's cache folder: the last
// component of the address's path, or a fixed name when that component could name something
// other than one file inside the folder.
//
//   localDownloadFileName(*os::URL::parse("http://download.tessaro.example/bv/Brevalo.zip"));
//   // "Brevalo.zip"
//   localDownloadFileName(*os::URL::parse("http://download.tessaro.example/"));  // "download.zip"
#pragma once

#include <string>
#include <string_view>

#include "os/net/url.h"

// The name used when the address gives no safe one.
inline constexpr const char* kFallbackDownloadFileName = "download.zip";

// True when `name` names one item inside a folder: not empty, not "." or "..", and free of "/"
// and NUL.
bool isPlainFileName(std::string_view name);

// The percent-decoded last path component of `url` when isPlainFileName() holds for it, else
// kFallbackDownloadFileName. So removing "<cache folder>/<name>" can never remove the cache
// folder, its parent or anything outside it.
std::string localDownloadFileName(const os::URL& url);
