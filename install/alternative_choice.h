// Picks the alternative of a multi-release item (package/alternatives.h) that
// fits the installed file, measuring the file once: whether it exists, its
// size, and its CRC-32 when a base or the new content has that size.
// Win32 only.
#pragma once

#include <string>

#include "install/item_check.h"
#include "package/update_file.h"

namespace upkit {

enum class AlternativeChoice {
  kChosen,          // the item now is an ordinary item of the chosen alternative
  kAlreadyNew,      // the file already is what the update makes: nothing to do
  kNoKnownRelease,  // the file matches no base and there is no fallback
};

// For an item with alternatives: picks one for `file_name` and, when one
// fits, turns the item into it (UseAlternative). Raises nothing; a file that
// cannot be read matches no present base.
AlternativeChoice ChooseAlternative(const std::string& file_name, TFileItem& item);

// The first part of an all-or-nothing precondition check (CheckItem) for an
// item with alternatives: true when the choice decides the check by itself,
// with *check kUpToDate (already new) or kFailed (no known release); false
// when the item, now its chosen alternative, goes on to CheckItem. Items
// without alternatives always go on.
bool AlternativeDecides(const std::string& file_name, TFileItem& item, ItemCheck* check);

}  // namespace upkit
