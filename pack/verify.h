// Dry run of an update against a folder (`upkit verify`): the installer's
// item checks (existence, size, CRC-32; for a delta item also the old size
// and CRC-32 its stream was made for) made on the host without changing
// anything, reporting per item what the installer would do or why it would
// skip the item. Names are shown in UTF-8.
#pragma once

#include <string>
#include <vector>

#include "package/update_file.h"

namespace upkit::pack {

struct VerifyResult {
  std::string name;     // Path\OriginName as the installer sees it, UTF-8
  bool applies = false; // every check passes
  std::string outcome;  // "patch", "replace", "delta (...)", ... or why it is skipped
};

// Checks every item of `update` against the folder `dir` (UTF-8 path).
// Items whose Path starts with a path macro cannot be placed on the host and
// are reported as not checkable.
std::vector<VerifyResult> VerifyUpdate(TUpdateFile& update, const std::string& dir);

}  // namespace upkit::pack
