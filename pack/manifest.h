// The vendor's package manifest (upkit.toml): what `upkit diff` writes and
// `upkit build` reads. A TOML file with three parts:
//   [project]  texts and pictures the installer shows, and its elevation
//   [package]  container version, encipherment, compression, optional key
//   [[item]]   one update item each, in order, with its payload by reference
// Texts are UTF-8 in the file and held here in code page 1251 (the package's
// 8-bit form); a text that code page 1251 cannot hold is an error. Payload
// paths are resolved against the manifest's folder and held as UTF-8 host
// paths. Every error raises upkit::Error as "<file>:<line>: <what>", naming
// the key, e.g. `upkit.toml:12: unknown key "foo" in [[item]]`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/cipher.h"
#include "pack/elevation.h"

namespace upkit::pack {

// Action codes of an item, by their manifest names.
enum ItemAction : int32_t {
  kActionResources = 1,
  kActionPatch = 2,
  kActionReplace = 3,
  kActionDelete = 4,
  kActionOpen = 5,
  kActionDelta = 6,  // upkit's own: a delta stream that rebuilds the new file from the old one
};
const char* ActionName(int32_t action);  // "resources", ... ; "" for others

// One entry of a resources item: a number or a (code page 1251) name for
// the type and the resource name, a language, and the content file, or
// `remove` to delete that resource from the target.
struct ManifestResource {
  bool type_is_name = false;
  uint16_t type_id = 0;
  std::string type_name;
  bool name_is_text = false;
  uint16_t name_id = 0;
  std::string name_text;
  uint16_t language = 0;
  std::string file;  // host path; empty with remove
  bool remove = false;
};

struct ManifestPatchRecord {
  int32_t offset = 0;
  std::vector<uint8_t> bytes;
};

// One known old content of a multi-release item's file: the release(s)
// having it, and the action that turns it into the new content.
struct ManifestAlternative {
  int line = 0;                       // line of the [[item.from]] header
  bool absent = false;                // those releases have no such file
  std::string old_file;               // else its content there (host path)
  int32_t action = 0;                 // patch, replace, delete or delta
  std::string stream_file;            // delta: a stream made earlier, optional
  std::vector<std::string> releases;  // names from [package] releases, UTF-8
};

struct ManifestItem {
  int line = 0;              // line of the [[item]] header, for messages
  std::string origin_name;   // code page 1251
  std::string update_name;   // code page 1251; defaults to origin_name
  std::string path;          // code page 1251, sub-folder with "\"
  int32_t action = 0;
  bool check_size = false;
  bool check_crc = false;
  // The expected size; when absent, taken from `old_file` at build time.
  // A negative value is the signed 32-bit form of a size from 2 to 4 GiB.
  std::optional<int64_t> size;
  std::optional<int32_t> crc;
  // replace
  std::string file;
  // patch and delta: an old/new pair (the records or the delta stream are
  // computed at build time) ...
  std::string old_file, new_file;
  // ... for delta, optionally a stream made earlier (`upkit diff` writes
  // one), used when it rebuilds new_file from old_file exactly.
  std::string stream_file;
  // ... and, for a delta from another file of the product, that file's name
  // and sub-folder (code page 1251) as the installer finds it, and whether
  // it is deleted once the new file is in place. `old_file` is its content.
  std::string base_name, base_path;
  bool base_moves = false;
  // ... or, for patch only, explicit run records with the size the file has afterwards.
  std::optional<int32_t> new_size;
  std::vector<ManifestPatchRecord> records;
  // resources
  std::vector<ManifestResource> resources;
  // A multi-release item ([[item.from]] tables, no "action"): `new_file` is
  // the content after the update (empty: the update removes the file), and
  // `full_fallback` replaces (or removes) a file that is no known release.
  std::vector<ManifestAlternative> from;
  bool full_fallback = false;
};

// The file size an item's `size` stands for (see ManifestItem::size).
inline uint64_t ExpectedSizeOf(int64_t size) {
  return size < 0 ? static_cast<uint32_t>(size) : static_cast<uint64_t>(size);
}

struct Manifest {
  // [project], texts in code page 1251
  std::string name, caption, button, default_dir, url;
  std::string author_name, author_mail, author_web;
  int32_t language = 1;       // "en" 1, "ru" 0
  std::string picture;        // host path of a BMP file, or empty
  std::string document;       // host path of an RTF file, or empty
  int32_t document_type = 0;  // "licence" 0, "guide" 1
  Elevation elevation = Elevation::kAdmin;  // "admin" or "user": the rights the installer asks for
  // [package]
  int32_t version = 3;
  bool enciphered = true;
  bool compressed = true;
  int level = 9;
  bool all_or_nothing = false;  // apply the update as one transaction
  std::optional<CipherKey> key;  // absent: a fresh random key per build
  std::vector<std::string> releases;  // old releases of a multi-release package, UTF-8, at most 32

  std::vector<ManifestItem> items;
};

// Reads and checks a manifest file. `display` is the name used in messages
// (defaults to the path as given).
Manifest LoadManifest(const std::string& path);

// Parses manifest text; relative paths resolve against `base_dir` (UTF-8).
Manifest ParseManifest(std::string_view text, const std::string& display, const std::string& base_dir);

// Writes a manifest as TOML (UTF-8). Host paths are written relative to
// `base_dir` when they lie below or beside it, else absolute.
std::string FormatManifest(const Manifest& manifest, const std::string& base_dir);

// Hex form of a key (64 digits) and back; the parser raises on bad digits.
std::string KeyToHex(const CipherKey& key);

}  // namespace upkit::pack
