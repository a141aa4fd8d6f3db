// What the item-by-item run and the all-or-nothing run (install/transaction.h)
// share: an item's full file name, the lead and the closing lines of the
// log, the backup option, and the counts a run ends with. Below both runs, so
// neither includes the other's engine. Win32 only.
#pragma once

#include <cstdint>
#include <string>

#include "install/results_log.h"
#include "package/update_file.h"

namespace upkit {

struct TextPair;

// The process-wide backup option: off at start; the wizard sets it when the
// destination folder is confirmed.
void SetBackupOption(bool on);
bool BackupOption();

// What a run did, for callers that report it beyond the log (exit codes).
struct UpdateCounts {
  int32_t items = 0;
  int32_t failed = 0;     // items that did not end "OK"
  int32_t scheduled = 0;  // items done only when Windows restarts (counted as done)
};

// The item's full file name below `destination`: the destination folder with
// a final "\", the item's trimmed and expanded Path with a final "\" (a Path
// that starts with a path macro names its folder on its own), then OriginName
// exactly as stored.
std::string FullFileName(const std::string& destination, const TFileItem& item);
// The same for a name and Path given apart (a delta item's base file).
std::string FullFileName(const std::string& destination, const std::string& item_path, const std::string& name);

// The lead of an item's log line: "Updating [", the trimmed name, "]  ...  ".
void LogItemLead(ResultsLog& log, const TFileItem& item);

// The end of a run that applied nothing: an empty line, `line` in `colour`;
// returns `counts`.
UpdateCounts CloseEarly(ResultsLog& log, const TextPair& line, uint32_t colour, UpdateCounts counts);

// The end of a run that applied its items: an empty line, the closing line
// (every item "OK", or how many failed), the restart line when items wait
// for it; returns `counts`.
UpdateCounts CloseRun(ResultsLog& log, UpdateCounts counts);

// Everything up to and including the last "\" or ":" (empty if neither).
std::string FolderPart(const std::string& file_name);

}  // namespace upkit
