#include "testsupport/memory.h"

#include <fstream>
#include <string>
#include <string_view>

namespace testsupport {

namespace {

// A "<field>: <n> kB" line of /proc/self/status, in bytes.
size_t statusBytes(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 &&
        line[field.size()] == ':') {
      return std::stoul(line.substr(field.size() + 1)) * 1024;
    }
  }
  return 0;
}

}  // namespace

size_t residentBytes() { return statusBytes("VmRSS"); }

size_t peakResidentBytes() { return statusBytes("VmHWM"); }

bool resetPeakResidentBytes() {
  // "5" resets the peak resident size to the current one.
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return bool(clear);
}

}  // namespace testsupport
