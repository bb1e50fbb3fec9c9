// tessaro-experiment-server: the experiment service on 127.0.0.1 for manual runs and tests that
// drive it as a process (tools/analytics/stand_in_main.h).
//
//   tessaro-experiment-server [--log=PATH] [COMMAND ...]
//
// Commands: "fetch <faults>" (faults: status=N delay-ms=N hold cut=request|response
// body=not-gzip|garbage|bomb content-encoding), "release", "response <file>" (the bytes of an
// ExperimentResponse).
#include "tools/analytics/experiment_server.h"
#include "tools/analytics/stand_in_main.h"

int main(int argc, char** argv) {
  return tools::runStandIn<tools::ExperimentServer>(argc, argv, "tessaro-experiment-server",
                                                    "experiments");
}
