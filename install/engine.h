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

#include "update/results_log.h"
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

// Applies all items of `update` to the folder update.DefaultDir, writing to
// `log`. Failures of an item's action are reported on its line; any other
// exception leaves RunUpdate and is for the caller to report. When an item
// waits for a restart of Windows, a line after the closing line says so.
UpdateCounts RunUpdate(TUpdateFile& update, ResultsLog& log);

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
