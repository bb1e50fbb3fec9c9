#include "measurement/foundation/monitor_capture.h"

#include <algorithm>

namespace measurement {

MonitorCapture::MonitorCapture(Monitor& monitor) : monitor_(monitor) {
  os::MutexLock lock(monitor_.captureMutex_);
  monitor_.capture_ = this;
  monitor_.capturing_.store(true);
}

MonitorCapture::~MonitorCapture() {
  os::MutexLock lock(monitor_.captureMutex_);
  monitor_.capture_ = nullptr;
  monitor_.capturing_.store(false);
}

std::vector<MonitorRecord> MonitorCapture::records() const {
  os::MutexLock lock(mutex_);
  return records_;
}

bool MonitorCapture::contains(int64_t code) const {
  os::MutexLock lock(mutex_);
  return std::any_of(records_.begin(), records_.end(),
                     [code](const MonitorRecord& record) { return record.code == code; });
}

void MonitorCapture::record(MonitorRecord record) {
  os::MutexLock lock(mutex_);
  records_.push_back(std::move(record));
}

}  // namespace measurement
