// Test hook for the one failure path no package can reach honestly: an
// exception escaping the update engine as a whole. When the executable
// carries the RT_RCDATA resource "UPKITFAULT" (text "<index>:<message>"),
// the results log given to the engine raises Error(<message>) when the engine
// moves the progress bar to <index>, which is outside every per-item guard.
// Only the stub's test build (target upkit-stub-test) has the hook; the
// shipped stub links no_fault_hook.cpp, which hands the log through.
#pragma once

#include <memory>

#include "install/results_log.h"

namespace upkit::app {

// The log to hand to the engine: `log` itself, or a wrapper that raises as
// described when the fault resource is present. `holder` keeps the wrapper.
ResultsLog& WithFaultHook(ResultsLog& log, std::unique_ptr<ResultsLog>& holder);

}  // namespace upkit::app
