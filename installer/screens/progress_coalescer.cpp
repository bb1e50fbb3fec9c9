#include "installer/screens/progress_coalescer.h"

bool TSRProgressCoalescer::offer(double percent, double now) {
  os::MutexLock lock(mutex_);
  latest_ = percent;
  if (waiting_) return false;
  const int wholePercent = static_cast<int>(percent);
  const bool due = !posted_ || percent >= 100 || wholePercent != lastWholePercent_ ||
                   (frameSeconds_ > 0 && now - lastPost_ >= frameSeconds_);
  if (!due) return false;
  waiting_ = true;
  posted_ = true;
  lastPost_ = now;
  lastWholePercent_ = wholePercent;
  return true;
}

double TSRProgressCoalescer::take() {
  os::MutexLock lock(mutex_);
  waiting_ = false;
  return latest_;
}
