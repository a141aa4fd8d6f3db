// Test hook for the one failure path no package can reach honestly: an
// exception escaping the update engine as a whole. When the executable
// carries the RT_RCDATA resource "UPKITFAULT" (text "<index>:<message>"),
// the results log given to the engine raises Error(<message>) when the engine
// moves the progress bar to <index>, which is outside every per-item guard.
// Release packages never carry the resource; only the end-to-end tests add
// it to their copy of the stub.
#pragma once

#include <memory>

#include "update/results_log.h"

namespace upkit::app {

// The log to hand to the engine: `log` itself, or a wrapper that raises as
// described when the fault resource is present. `holder` keeps the wrapper.
ResultsLog& WithFaultHook(ResultsLog& log, std::unique_ptr<ResultsLog>& holder);

}  // namespace upkit::app
