// Named places where the crash tests kill the process. A test sets
// TESSARO_KILL_AT=<name>[:<pass>] in the environment of the process it starts; that process
// kills itself with SIGKILL, as a crash or a forced quit would, on the given pass (the first when
// none is given) through the point of that name. The variable is read once, on the first pass
// through any point; without it every point does nothing.
//
//   measurement::killPoint("bundling-transaction");
//
// Any thread.
#pragma once

#include <string_view>

namespace measurement {

void killPoint(std::string_view name);

}  // namespace measurement
