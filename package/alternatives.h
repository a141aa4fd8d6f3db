// Items that update several old releases of one file (the package value
// "Alternatives" of an item section; docs/package-format.md gives its bytes).
//
// Each alternative names a base (the file absent, the file with a given
// size and CRC-32, or any file at all: the whole-file fallback), the action
// that turns that base into the new content, and where its payload lies: a
// byte range of the "Data" of this item or of an earlier one, so that a
// payload shared by several alternatives or items is stored once. The table
// also holds the state the file has after the update, so that a file that
// already has it counts as done.
//
// The installer picks the alternative whose base matches the installed file
// and then runs it as an ordinary item of that action (UseAlternative, package/update_file.h).
// Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace upkit {

struct TLameIniValue;

enum AlternativeBase : uint8_t {
  kBaseAbsent = 0,   // the file does not exist
  kBasePresent = 1,  // the file exists with base_size bytes and CRC-32 base_crc
  kBaseAny = 2,      // any file, present or not: the fallback; only last
};

struct ItemAlternative {
  uint8_t base = kBaseAbsent;
  uint64_t base_size = 0;
  uint32_t base_crc = 0;
  int32_t action = 0;     // 2 patch, 3 replace, 4 delete, 6 delta
  int32_t data_item = 0;  // item whose "Data" holds the payload: this one or an earlier one
  uint32_t offset = 0;    // payload range in that Data, after unpacking
  uint32_t length = 0;
  uint32_t releases = 0;  // bit r: old release r has this base (for the tools)
  // The package value of data_item's "Data", set by the loader.
  TLameIniValue* value = nullptr;
};

struct ItemAlternatives {
  bool new_present = true;  // false: the update removes the file
  uint64_t new_size = 0;
  uint32_t new_crc = 0;
  std::vector<ItemAlternative> list;
};

inline constexpr uint8_t kAlternativesFormat = 1;
inline constexpr size_t kAlternativesHeadSize = 16;  // format, new state, size, CRC, count
inline constexpr size_t kAlternativeSize = 30;

// Reads the value's bytes into *table; false when the format is unknown, the
// count is 0 or does not fill the bytes exactly, a base or action is not one
// of those above, a fallback is not last, or data_item is negative or after
// `own_index`. Payload ranges are checked by the loader. Raises nothing but
// std::bad_alloc.
bool ReadAlternatives(const uint8_t* data, size_t size, int32_t own_index, ItemAlternatives* table);

// The bytes of a table (the authoring side writes them; tests read them back).
std::vector<uint8_t> WriteAlternatives(const ItemAlternatives& table);

// What is known of the installed file. `crc` counts only when `crc_read`.
struct InstalledFile {
  bool exists = false;
  uint64_t size = 0;
  bool crc_read = false;
  uint32_t crc = 0;
};

inline constexpr int kAlreadyNew = -1;     // the file already is what the update makes
inline constexpr int kNoKnownBase = -2;    // no alternative applies: nothing may change

// True when telling the file's alternative needs its CRC-32 (some base or
// the new content has the file's size).
bool AlternativesNeedCrc(const ItemAlternatives& table, const InstalledFile& file);

// The index of the first alternative whose base matches the file, after
// checking whether the file already holds the new content; kAlreadyNew or
// kNoKnownBase otherwise.
int PickAlternative(const ItemAlternatives& table, const InstalledFile& file);

}  // namespace upkit
