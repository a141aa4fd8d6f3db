// Action 6, delta: the item's Data is a delta stream (delta/delta.h) that
// rebuilds the new file from the old one.
//
// The old file must be the one the stream was made for: its size and CRC-32
// are compared with the stream's head (always, whatever the item's own check
// flags say). The new file is rebuilt into a temporary file beside the old
// one and moved over it only when its size and CRC-32 are the head's. Any
// failure leaves the old file as it was and removes the temporary file.
//
// Neither file is ever held whole in memory: the old one is read through a
// small window at 64-bit offsets, the new one written through a small buffer.
// Win32 only.
#pragma once

#include <windows.h>

#include <string>

#include "install/file_install.h"
#include "package/update_file.h"

namespace upkit {

// Returns how the rebuilt file reached its place (TempFileBeside::MoveOver).
// Raises "Stream read error" for a malformed stream (or a DataSize that does
// not fit Data), kDeltaWrongBase when the file is not the stream's old file,
// kDeltaResultMismatch when the rebuilt file is not the head's new file,
// "System Error..." when a file cannot be opened, read, written or moved.
//
// With a `base_file` (the item's BaseName), the stream applies to that file
// and rebuilds the item's own file, which need not exist (its folders are
// made). When the item's BaseMoves is 1, the base is deleted only after the
// new file is in place: a run that stops in between leaves both files, and
// running the package again rebuilds the new file and then deletes the base.
PlaceOutcome ApplyDeltaItem(const std::string& file_name, const TFileItem& item,
                            const std::string& base_file = std::string());

// The rebuilding alone: checks the old file `file_name` and writes the new
// file through `out` (write access, at its start). Raises as ApplyDeltaItem.
void RebuildDelta(const std::string& file_name, const TFileItem& item, HANDLE out);

}  // namespace upkit
