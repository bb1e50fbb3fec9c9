#include "testsupport/memory.h"

#include <fstream>
#include <string>

namespace testsupport {

size_t residentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  }
  return 0;
}

}  // namespace testsupport
