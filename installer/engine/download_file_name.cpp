#include "installer/engine/download_file_name.h"

bool isPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::string localDownloadFileName(const os::URL& url) {
  std::string name = url.lastPathComponent();
  return isPlainFileName(name) ? name : kFallbackDownloadFileName;
}
