// The measurement engine's worker queue: the one serial queue on which its database, remote
// configuration, audiences and uploads run. Every block carries an identifier, the submitting
// class's name, a colon and a number ("APMMeasurement:611"), which the log names when the block
// misbehaves.
//
//   Scheduler scheduler("com.vedodo.vuve.worker");
//   scheduler.scheduleOnWorkerQueue("APMMeasurement:611", [] { uploadOnWorkerQueue(); });
//   scheduler.dispatchSyncOnWorkerQueue("APMMeasurement:88", [&] { count = countOnWorkerQueue(); });
//
//   void Database::insertOnWorkerQueue() {
//     if (!Scheduler::checkOnBackgroundThread(__func__)) return;
//
// Blocks run one at a time in submission order. A block that throws (os::Exception or any other
// exception) is caught and logged through the monitor with its identifier; its remaining work is
// lost and the queue goes on with the next block.
//
// Threads: every member may be called from any thread, except that dispatchSyncOnWorkerQueue
// must not be called from the worker queue itself (it then runs nothing and logs 30004).
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "os/dispatch/dispatch.h"

namespace measurement {

inline constexpr const char* kWorkerQueueLabel = "com.vedodo.vuve.worker";

class Scheduler {
 public:
  // Creates the serial worker queue `workerQueueLabel`, of background priority.
  explicit Scheduler(std::string_view workerQueueLabel);

  const std::shared_ptr<os::DispatchQueue>& workerQueue() const { return workerQueue_; }

  // Runs `block` later on the worker queue. An empty block is logged (30005) and dropped; an
  // exception it throws is logged (30000).
  void scheduleOnWorkerQueue(std::string_view blockID, std::function<void()> block);
  // Runs `block` on the worker queue and waits for it. An empty block is logged (30002); an
  // exception it throws is logged (30003), and a block that did not finish, for that reason or
  // because the caller is on the worker queue, is logged again (30004).
  void dispatchSyncOnWorkerQueue(std::string_view blockID, const std::function<void()>& block);

  // True off the main thread; on it, logs that `methodName` should run in the background (30001)
  // and answers false, so that the caller can return early.
  static bool checkOnBackgroundThread(std::string_view methodName);

 private:
  const std::shared_ptr<os::DispatchQueue> workerQueue_;
};

}  // namespace measurement
