// bench_measure: runs one command and reports what it cost, as the kernel counted it for that
// command alone.
//
//   bench_measure -- curl -sSf -o /dev/null http://127.0.0.1:41234/large
//
// Writes "<exit status> <wall seconds> <CPU seconds> <peak resident KiB>" to file descriptor 3
// (an exit status of -1 means a signal ended the command). The command is forked from this
// small process, never from the benchmark itself: the kernel counts a child's peak resident
// memory from the memory of the process it was forked or spawned from, so only a small parent
// gives the command's own peak. CPU time and peak include the command's own children (a shell
// running two commands reports both).
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kResultDescriptor = 3;

double seconds(const timeval& time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; }

double now() {
  timespec time{};
  clock_gettime(CLOCK_MONOTONIC, &time);
  return double(time.tv_sec) + double(time.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], "--") != 0) {
    std::fprintf(stderr, "usage: bench_measure -- command [argument...]\n");
    return 2;
  }
  FILE* result = fdopen(kResultDescriptor, "w");
  if (result == nullptr) {
    std::fprintf(stderr, "bench_measure: descriptor 3 is not open for the result\n");
    return 2;
  }
  const double started = now();
  pid_t child = fork();
  if (child == 0) {
    close(kResultDescriptor);
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "bench_measure: cannot run %s: %s\n", argv[2], std::strerror(errno));
    _exit(127);
  }
  if (child < 0) return 2;
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 2;
  }
  const double wall = now() - started;
  const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::fprintf(result, "%d %.6f %.6f %ld\n", exitStatus, wall,
               seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss);
  return std::fclose(result) == 0 ? 0 : 2;
}
