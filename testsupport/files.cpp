#include "testsupport/files.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace testsupport {

void writeFile(const std::filesystem::path& path, std::string_view bytes,
               std::filesystem::perms mode) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) throw std::runtime_error("could not write " + path.string());
  std::filesystem::permissions(path, mode);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::map<std::string, std::string> describeTree(const std::filesystem::path& root, bool withTimes) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> items;
  std::error_code error;
  for (auto walk = fs::recursive_directory_iterator(root, error);
       !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
    struct stat info;
    if (::lstat(walk->path().c_str(), &info) != 0) continue;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", info.st_mode & 07777);
    std::string description;
    if (S_ISLNK(info.st_mode)) {
      description = "link -> " + fs::read_symlink(walk->path()).string();
    } else if (S_ISDIR(info.st_mode)) {
      description = std::string("dir ") + mode;
    } else {
      description = std::string("file ") + mode + " ";
      if (withTimes) {
        description +=
            std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + " ";
      }
      description += readFile(walk->path());
    }
    items[walk->path().lexically_relative(root).string()] = description;
  }
  return items;
}

bool waitForFile(const std::filesystem::path& path, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace testsupport
