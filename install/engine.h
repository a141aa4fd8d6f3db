// install/: the Win32 installer engine: this item-by-item run, the
// all-or-nothing run (transaction.h), the item check, the actions, file
// installation, path macros, file streams, Win32 error and handle helpers,
// and the results-log interface the windows implement.
//
// The update engine: applies every item of an update description to the
// destination folder, in load order, writing one coloured log line per item.
//
// Per item: the name is shown, the progress bar moves, the full file name is
// built, the file is tested (existence, then size, then CRC-32), copied to
// ".bak" when the backup option is on, and the action runs. A failing step
// ends the item's line with a red text and the loop goes on; nothing is
// undone. The closing line says whether every item ended "OK". A file in use
// is replaced or deleted when Windows restarts; its line says so.
// Win32 only.
#pragma once

#include <cstdint>
#include <string>

#include "install/item_report.h"
#include "install/results_log.h"
#include "package/update_file.h"

namespace upkit {

// Applies all items of `update` to the folder update.DefaultDir, writing to
// `log`. Failures of an item's action are reported on its line; any other
// exception leaves RunUpdate and is for the caller to report. When an item
// waits for a restart of Windows, a line after the closing line says so.
UpdateCounts RunUpdate(TUpdateFile& update, ResultsLog& log);

}  // namespace upkit
