// The process's resident memory, for tests and benchmarks that check a transfer streams instead
// of holding its data.
#pragma once

#include <cstddef>

namespace testsupport {

// Current resident set size in bytes (VmRSS of /proc/self/status); 0 when unreadable.
size_t residentBytes();
// The highest resident set size since the process started or since the last
// resetPeakResidentBytes() (VmHWM); 0 when unreadable.
size_t peakResidentBytes();
// Starts the peak over from the current resident size; false when the kernel refuses.
bool resetPeakResidentBytes();

// False under AddressSanitizer, whose quarantine keeps freed memory resident on purpose, and
// under ThreadSanitizer, whose allocator and shadow memory grow with every allocation: there a
// resident-memory bound would measure the sanitizer, not the code. The normal build checks it.
constexpr bool residentMemoryIsMeaningful() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return false;
#else
  return true;
#endif
#else
  return true;
#endif
}

}  // namespace testsupport
