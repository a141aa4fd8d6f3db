// The item actions, each given the item's full file name and the item.
//
//   1 resource update   WriteResourceList  Data is a resource list
//   2 byte patch        ApplyPatchList     Data is a patch list
//   3 replace           ReplaceItemFile    Data is the whole new content
//   4 delete            DeleteItemFile (install/file_install.h)
//   5 open              OpenWithShell
//   6 delta             ApplyDeltaItem (install/delta_action.h)
//
// The byte formats of the resource list and the patch list, and their
// readers, are in package/item_lists.h.
//
// A failing action raises upkit::Error with the run-time layer's message
// ("Stream read error", "Stream write error", "Cannot open file "..". ..",
// "System Error.  Code: %d.\r\n%s"); the engine writes it on the item's line.
// Win32 only.
#pragma once

#include <cstdint>
#include <string>

#include "install/file_install.h"
#include "install/results_log.h"
#include "package/item_lists.h"
#include "package/update_file.h"

namespace upkit {

// Action 1. Reads the resource list, begins a resource update of the file
// (keeping its resources), passes every entry read to UpdateResourceA, and
// always ends and commits the update; when that fails with a non-zero last
// error, appends the red line "Resources error writing: " + system message.
// Raises the failure of a step (after that line): "System Error..." when the
// update cannot be begun, "Stream read error" when Data ends early (also for
// an entry whose size exceeds what is left; the entries before it are
// committed), "Stream write error" for a negative DataSize, and "System
// Error..." with the end step's code when only the end step failed.
void WriteResourceList(const std::string& file_name, const TFileItem& item, ResultsLog& log);

// Action 2. Reads and checks the whole patch list, then opens the existing
// file (others may read it, not write it), sets its size to the new size
// when it differs and applies the records in order. A malformed list fails
// before the file is opened: "Stream read error" when Data ends early or a
// run length is negative, "Stream write error" for a negative record offset,
// a negative new size or a negative DataSize. Then raises "Cannot open file
// "<absolute name>". <message>" when the file cannot be opened, "System
// Error..." when the size cannot be set, "Stream write error" when a byte
// cannot be written.
void ApplyPatchList(const std::string& file_name, const TFileItem& item);

// The resize and the records of a checked patch list, applied to an open
// file (read and write access). Raises as ApplyPatchList does after opening.
void ApplyPatchTo(HANDLE file, const PatchList& list);

// The number of bytes a replace item writes: DataSize, 0 when negative.
// Raises "Stream read error" when Data holds fewer.
size_t ReplaceSize(const TFileItem& item);

// Creates the file (or empties it), without sharing, and writes `size` bytes
// in one request. Returns the number of bytes written; 0 when the file cannot
// be created or the write fails. Raises nothing.
int32_t WriteFileFromMemory(const std::string& file_name, const void* data, int32_t size);

// Action 3. Creates the target's missing folders, writes Data to a temporary
// file in the same folder and moves it over the target in one step, so the
// old file is never lost. A target in use is replaced when Windows restarts
// (kScheduledForRestart). On failure removes the temporary file, leaves the
// target as it was and raises "System Error..." with the failing call's
// code. DataSize 0 (or negative) leaves an empty file.
PlaceOutcome ReplaceItemFile(const std::string& file_name, const TFileItem& item);

// Action 5. Asks the shell to "open" the file (working folder: the file's
// folder, SW_SHOWNORMAL) and returns without waiting. Raises "System
// Error..." when the shell reports failure (result 32 or less).
void OpenWithShell(const std::string& file_name);

// Runs the action `item.Action` selects; any other value does nothing.
// Returns whether the change is done now or waits for a restart.
// `base_file` is the full name of a delta item's BaseName (empty without).
PlaceOutcome PerformAction(const std::string& file_name, const TFileItem& item, ResultsLog& log,
                           const std::string& base_file = std::string());

}  // namespace upkit
