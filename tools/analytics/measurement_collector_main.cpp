// tessaro-measurement-collector: the measurement service on 127.0.0.1 for the demo, manual runs
// and tests that drive it as a process (tools/analytics/stand_in_main.h).
//
//   tessaro-measurement-collector [--log=PATH] [COMMAND ...]
//
// Commands: "upload <faults>", "config <faults>" (faults: status=N delay-ms=N hold
// cut=request|response), "release", "configuration <app id> <file>".
#include "tools/analytics/measurement_collector.h"
#include "tools/analytics/stand_in_main.h"

int main(int argc, char** argv) {
  return tools::runStandIn<tools::MeasurementCollector>(argc, argv, "tessaro-measurement-collector",
                                                        "measurement");
}
