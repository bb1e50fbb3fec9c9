#include "os/format.h"

namespace os {

std::string formatObjects(std::string_view pattern, const Array& args) {
  std::string out;
  out.reserve(pattern.size());
  size_t nextArgument = 0;
  size_t done = 0;
  for (size_t percent = pattern.find('%'); percent != pattern.npos;
       percent = pattern.find('%', done)) {
    out.append(pattern, done, percent - done);
    char directive = percent + 1 < pattern.size() ? pattern[percent + 1] : '\0';
    if (directive == '%') {
      out += '%';
      done = percent + 2;
    } else if (directive == '@') {
      const Value* argument = nextArgument < args.size() ? &args[nextArgument] : nullptr;
      ++nextArgument;
      out += argument == nullptr || argument->isNull() ? "(null)" : argument->description();
      done = percent + 2;
    } else {
      out += '%';
      done = percent + 1;
    }
  }
  out.append(pattern, done);
  return out;
}

}  // namespace os
