// The engine's operations that the event road, the upload and the reports fill in. Start-up
// and the facade already call them in their places; until then they do nothing.
#include "measurement/engine/measurement.h"

void APMMeasurement::updateSchedule() {}
void APMMeasurement::uploadData() {}
void APMMeasurement::fetchRemoteConfig() {}
bool APMMeasurement::isNetworkReadyForRequest() { return false; }
void APMMeasurement::resetPSMCounts() {}
