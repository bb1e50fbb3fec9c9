// The process's resident memory, for tests and benchmarks that check a transfer streams instead
// of holding its data.
#pragma once

#include <cstddef>

namespace testsupport {

// Current resident set size in bytes (VmRSS of /proc/self/status); 0 when unreadable.
size_t residentBytes();

}  // namespace testsupport
