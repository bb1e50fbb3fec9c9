// The engine's search-ad attribution: one reporter per run, while attribution is still open.
#include "measurement/engine/measurement.h"
#include "measurement/engine/search_ad_reporter.h"

void APMMeasurement::startSearchAdReporterOnWorkerQueue() {
  measurement::Scheduler::checkOnBackgroundThread("startSearchAdReporterOnWorkerQueue");
  searchAdReporter_ = APMSearchAdReporter::create(scheduler_->workerQueue(), persistedConfig_,
                                                  searchAdTokenProvider_);
  if (!searchAdReporter_) return;
  searchAdReporter_->setSearchAdReporterEnabled(true);
  searchAdReporter_->start();
}
