// Renamed and moved files for `upkit diff`: a file only in NEW often is an
// old file under a new name (libfoo-8.18.6.dll -> libfoo-8.18.7.dll). Each
// such file is paired with the removed or unchanged file it most resembles,
// first by name with the digits taken out, then by sampling their content,
// and shipped as a delta from that file when that is smaller stored than
// the file itself.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace upkit::pack {

struct RenameBase {
  std::string rel;             // the base file's relative UTF-8 path (in OLD)
  std::filesystem::path path;  // where it lies in OLD
  bool removed = false;        // NEW no longer has it: the item deletes it afterwards
  std::vector<uint8_t> stream; // the delta stream from it
};

// For each file of `added` (relative path -> path in NEW), the base it is
// best shipped from, when one wins. `removed` and `unchanged` map relative
// paths to their paths in OLD. A removed file is the base of at most one
// added file, since that item deletes it. `level` and `compressed` are the
// package's compression, by which the sizes are compared.
std::map<std::string, RenameBase> PairRenamedFiles(const std::map<std::string, std::filesystem::path>& added,
                                                   const std::map<std::string, std::filesystem::path>& removed,
                                                   const std::map<std::string, std::filesystem::path>& unchanged,
                                                   int level, bool compressed);

// The file name of a relative path in lower case with its digits taken out:
// "bin/libFoo-8.18.6.dll" -> "libfoo-...dll".
std::string NameWithoutDigits(const std::string& rel);

}  // namespace upkit::pack
