// A program the tests start: a new process that starts the shared experiment manager over the
// stored snapshots, as an application launch does, and prints what it loaded.
//
//   experiments_test_child <sdk name>...
//     registers each SDK without delegate, waits for the start-up, then prints one line
//     "<sdk name> <activated snapshot status>" per SDK and "ids <id> <id> ..."
#include <cstdio>
#include <cstdlib>
#include <string>

#include "measurement/experiments/manager.h"

int main(int argc, char** argv) {
  using measurement::ExperimentManager;
  std::shared_ptr<ExperimentManager> manager = ExperimentManager::sharedInstance();
  for (int i = 1; i < argc; ++i) manager->registerSDKProperty({.name = argv[i]}, {});
  // The start-up runs in one block of the worker queue and reports to the manager's queue,
  // which every synchronous call below waits on.
  manager->taskManager()->workerQueue()->sync([] {});
  for (int i = 1; i < argc; ++i) {
    std::printf("%s %lld\n", argv[i],
                static_cast<long long>(manager->activatedSnapshotStatusOfSDKName(argv[i])));
  }
  std::string ids = "ids";
  for (int64_t id : manager->experimentIDs()) ids += " " + std::to_string(id);
  std::printf("%s\n", ids.c_str());
  std::fflush(stdout);
  // The shared manager lives for the process: leave without tearing its queues down.
  std::_Exit(0);
}
