#include "bench/flags.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

bool takeNumberFlags(int argc, char** argv, std::initializer_list<NumberFlag> flags,
                     std::vector<char*>* rest) {
  for (int i = 0; i < argc; ++i) {
    const NumberFlag* matched = nullptr;
    for (const NumberFlag& flag : flags) {
      if (std::strncmp(argv[i], flag.prefix, std::strlen(flag.prefix)) == 0) matched = &flag;
    }
    if (matched) {
      *matched->value =
          std::strtoull(argv[i] + std::strlen(matched->prefix), nullptr, 10) * matched->unit;
    } else {
      rest->push_back(argv[i]);
    }
  }
  for (const NumberFlag& flag : flags) {
    if (*flag.value == 0) {
      std::fprintf(stderr, "%s must be a positive number\n", flag.prefix);
      return false;
    }
  }
  return true;
}

bool initialize(int argc, char** argv, std::initializer_list<NumberFlag> flags) {
  std::vector<char*> arguments;
  if (!takeNumberFlags(argc, argv, flags, &arguments)) return false;
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  return !benchmark::ReportUnrecognizedArguments(count, arguments.data());
}

}  // namespace bench
