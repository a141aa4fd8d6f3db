// The item actions, each given the item's full file name and the item.
//
//   1 resource update   WriteResourceList  Data is a resource list
//   2 byte patch        ApplyPatchList     Data is a patch list
//   3 replace           ReplaceItemFile    Data is the whole new content
//   4 delete            DeleteItemFile
//   5 open              OpenWithShell
//   6 delta             ApplyDeltaItem (update/delta_action.h)
//
// Byte formats (little-endian, no gaps):
//   resource list: int32 count, then per entry: type (u8 kind, u16 number or
//     length L + L name bytes), name (same), u16 language, u32 size S, S bytes.
//     S = 0 removes that resource.
//   patch list: u32 reserved, int32 new size, int32 record kind, int32 count,
//     then records: kind 0 {int32 offset, u8 value}, kind 1 {int32 offset,
//     int32 length L, L bytes}; any other kind applies no record.
//
// A failing action raises upkit::Error with the run-time layer's message
// ("Stream read error", "Stream write error", "Cannot open file "..". ..",
// "System Error.  Code: %d.\r\n%s"); the engine writes it on the item's line.
// Win32 only.
#pragma once

#include <cstdint>
#include <string>

#include "update/file_install.h"
#include "update/results_log.h"
#include "update/update_file.h"

namespace upkit {

// Action 1. Begins a resource update of the file (keeping its resources),
// passes every entry to UpdateResourceA, and always ends and commits the
// update; when the thread's last error is then non-zero, appends the red line
// "Resources error writing: " + system message. Raises the failure of a step
// (after that line): "System Error..." when the update cannot be begun,
// "Stream read error" when Data ends early (also for an entry whose size
// exceeds what is left), "Stream write error" for a negative DataSize.
void WriteResourceList(const std::string& file_name, const TFileItem& item, ResultsLog& log);

// Action 2. Opens the existing file (others may read it, not write it), sets
// its size to the new size when it differs, applies the records in order.
// Raises "Stream read error" when Data ends early (earlier records stay
// applied), "Cannot open file "<absolute name>". <message>" when the file
// cannot be opened, "System Error..." when the size cannot be set, "Stream
// write error" when a byte cannot be written, for a negative record offset,
// a negative new size or a negative DataSize (nothing is written then).
void ApplyPatchList(const std::string& file_name, const TFileItem& item);

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

// Action 4. Deletes the file. A missing file is no failure; a file in use is
// deleted when Windows restarts (kScheduledForRestart); an existing file that
// cannot be deleted otherwise raises "System Error...".
PlaceOutcome DeleteItemFile(const std::string& file_name);

// Action 5. Asks the shell to "open" the file (working folder: the file's
// folder, SW_SHOWNORMAL) and returns without waiting. Raises "System
// Error..." when the shell reports failure (result 32 or less).
void OpenWithShell(const std::string& file_name);

// Runs the action `item.Action` selects; any other value does nothing.
// Returns whether the change is done now or waits for a restart.
PlaceOutcome PerformAction(const std::string& file_name, const TFileItem& item, ResultsLog& log);

}  // namespace upkit
