// The benchmarks' own numeric flags ("--size_mib=256") taken out of the command line before
// Google Benchmark or the comparison harness reads the rest:
//
//   uint64_t sizeBytes = uint64_t{1024} << 20;
//   if (!bench::initialize(argc, argv, {{"--size_mib=", &sizeBytes, 1 << 20}})) return 1;
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace bench {

struct NumberFlag {
  // The flag with its "=", e.g. "--size_mib=".
  const char* prefix;
  // Set to the flag's value times `unit` when the flag is given; must end up positive.
  uint64_t* value;
  uint64_t unit = 1;
};

// Sets the flags found in argv and puts the other arguments (argv[0] first) in `rest`. False,
// with a message on standard error, when a flag ends up not a positive number.
bool takeNumberFlags(int argc, char** argv, std::initializer_list<NumberFlag> flags,
                     std::vector<char*>* rest);

// Sets the flags found in argv, then initialises Google Benchmark with the other arguments.
// False (with a message on standard error) for an argument nobody knows or a flag that is not a
// positive number.
bool initialize(int argc, char** argv, std::initializer_list<NumberFlag> flags);

}  // namespace bench
