// Whether one update item can be applied to its file, without changing
// anything: the checks of the item-by-item loop (existence, size, CRC-32),
// and for all-or-nothing updates (install/transaction.h) the complete
// precondition check that also says when the file is already what the item
// produces.
//
// Failure texts are the item's red line after "]  ...  ", in the current
// language, exactly as the engine writes them.
// Win32 only.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "package/update_file.h"

namespace upkit {

// The existence, size and CRC checks of the item-by-item loop, in that
// order: the red text of the first that fails, or empty when all pass.
// A file another program holds exclusively fails with kFileInUse (its CRC
// cannot be read).
std::string BasicCheckFailure(const std::string& file_name, const TFileItem& item);

// The folder `file_name` goes into (up to its last "\"), or the nearest one
// above it that exists when the update is to create it; empty when none does.
std::string ExistingFolderOf(const std::string& file_name);

// The first folder below `destination` on the way to `file_name`, or the
// file itself, that is a reparse point (a junction, symbolic link or mount
// point), asked without following it; empty when there is none or when
// `file_name` does not lie below `destination`. `attributes` answers as
// GetFileAttributesA does (it is that function unless a test gives another).
std::string LinkOnTheWay(const std::string& destination, const std::string& file_name,
                         uint32_t (*attributes)(const char*) = nullptr);

enum class ItemReadiness {
  kReady,     // the item can be applied
  kUpToDate,  // the file already is what the item produces: nothing to do
  kFailed,    // the item cannot be applied; `reason` says why
};

struct ItemCheck {
  ItemReadiness state = ItemReadiness::kReady;
  std::string reason;      // kFailed: the red text for the item's line
  bool exists = false;     // the file exists
  bool in_use = false;     // kReady: another program holds the file (no delete
                           // sharing); it can be replaced or deleted at restart
  uint64_t new_size = 0;   // kReady: the size of the file the item writes (0: none)
  bool base_goes = false;  // a delta from another file deletes that file afterwards
  bool base_in_use = false;  // kReady: another program holds that base (deleted at restart)
};

// The complete precondition check of one item for `file_name` (its full
// file name), into `check` (as constructed), in this order:
//  1. already up to date: a delta whose file has its head's new size and
//     CRC-32; a replace whose file has the size and CRC-32 of its Data (or
//     of NewSize/NewCRC when stored); a delete whose file is missing; a patch
//     or resource item whose file has the stored NewSize and NewCRC;
//  2. the checks of BasicCheckFailure;
//  3. the payload fits: a delta's base (its head's old size and CRC-32), a
//     patch list that reads whole and whose records lie inside its new
//     size, a resource list that reads whole;
//  4. the folder can be written (a probe file, deleted on close; the
//     nearest existing folder when the item's folder is still to be made);
//  5. a file in use is kReady with `in_use` on a local fixed volume, and
//     fails with kFileInUse elsewhere.
// A delta from another file (`base_file`: the full name of its BaseName)
// need not find its own file; step 3 checks the base, steps 4 and 5 also
// check the base when the item deletes it (BaseMoves), and the item is up
// to date only when that base is gone too.
// The item's Data must be ready (ItemDataInUse). Changes nothing on disk.
// A payload that does not fit the file raises Error with the text that
// follows kSkipped on the item's line; std::bad_alloc passes through.
void CheckItem(const std::string& file_name, const TFileItem& item, ItemCheck* check,
               const std::string& base_file = std::string());

}  // namespace upkit
