#include "install/item_check.h"

#include <windows.h>

#include <cstring>

#include "codec/crc32.h"
#include "codec/error.h"
#include "delta/delta.h"
#include "install/actions.h"
#include "install/file_crc.h"
#include "install/file_install.h"
#include "install/item_report.h"
#include "install/win32_error.h"
#include "install/win32_handle.h"
#include "package/item_lists.h"
#include "texts/join_text.h"
#include "texts/texts.h"

namespace upkit {

namespace {

std::string_view Pick(const TextPair& pair) { return PickText(pair); }
std::string Decimal(int32_t value) { return std::to_string(value); }

bool IsFolder(const std::string& path) {
  DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// What the directory listing says of a file, without opening it.
struct Listing {
  bool exists = false;  // a file; a folder of that name counts as missing
  uint64_t size = 0;
};

Listing ListFile(const std::string& file_name) {
  Listing listing;
  DWORD attributes = ::GetFileAttributesA(file_name.c_str());
  listing.exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  WIN32_FIND_DATAA data;
  FindHandle find(::FindFirstFileA(file_name.c_str(), &data));
  if (find) listing.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return listing;
}

// True when another program's handle keeps us from opening the file with
// `access` (every sharing allowed on our side).
bool HeldByOthers(const std::string& file_name, DWORD access) {
  FileHandle probe(::CreateFileA(file_name.c_str(), access,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return !probe && ::GetLastError() == ERROR_SHARING_VIOLATION;
}

// The file's CRC-32, read once however many checks compare it; an empty
// file has CRC 0 here (the item-by-item CRC check still fails it).
class LazyCrc {
 public:
  LazyCrc(const std::string& file_name, const Listing& listing) : name_(file_name), listing_(listing) {}
  // False when the file cannot be read.
  bool Get(uint32_t* crc) {
    if (!done_) {
      done_ = true;
      read_ = listing_.exists && (listing_.size == 0 || FileCrc32(name_, &crc_));
    }
    *crc = crc_;
    return read_;
  }
  bool Matches(uint64_t size, uint32_t crc) {
    uint32_t found = 0;
    return listing_.exists && listing_.size == size && Get(&found) && found == crc;
  }

 private:
  const std::string& name_;
  const Listing& listing_;
  bool done_ = false, read_ = false;
  uint32_t crc_ = 0;
};

}  // namespace

std::string ExistingFolderOf(const std::string& file_name) {
  std::string folder = FolderPart(file_name);
  while (!folder.empty() && !IsFolder(folder)) {
    size_t cut = folder.find_last_of("\\:", folder.size() - 2);
    folder = cut == std::string::npos || folder.size() < 2 ? std::string() : folder.substr(0, cut + 1);
  }
  return folder;
}

std::string LinkOnTheWay(const std::string& destination, const std::string& file_name,
                         uint32_t (*attributes)(const char*)) {
  size_t base = destination.size();
  while (base > 0 && destination[base - 1] == '\\') --base;
  if (file_name.size() <= base + 1 || file_name[base] != '\\' ||
      ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, file_name.c_str(), static_cast<int>(base),
                       destination.c_str(), static_cast<int>(base)) != CSTR_EQUAL) {
    return std::string();
  }
  // Each folder after the destination's own, then the file.
  for (size_t end = base; end != std::string::npos;) {
    end = file_name.find('\\', end + 1);
    std::string part = file_name.substr(0, end);
    const uint32_t found = attributes ? attributes(part.c_str()) : ::GetFileAttributesA(part.c_str());
    if (found == INVALID_FILE_ATTRIBUTES) break;  // not made yet: nothing below it exists
    if (found & FILE_ATTRIBUTE_REPARSE_POINT) return part;
  }
  return std::string();
}

namespace {

// Empty when a file can be made in `folder` (a probe that the system
// deletes when it is closed), else the red text.
std::string FolderWriteFailure(const std::string& folder) {
  // Most items share a folder: the last one found writable is not probed
  // again within the same second.
  static char last_writable[MAX_PATH];
  static DWORD last_tick = 0;
  if (folder == last_writable && ::GetTickCount() - last_tick < 1000) return std::string();
  std::string probe = folder + TempFileName(16, ::GetTickCount() ^ 0x5A5A0000u ^ ::GetCurrentProcessId());
  FileHandle file(::CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  DWORD code = file ? 0 : ::GetLastError();
  if (code == 0 || code == ERROR_FILE_EXISTS) {  // a name taken: the folder is writable too
    if (folder.size() < MAX_PATH) std::memcpy(last_writable, folder.c_str(), folder.size() + 1);
    last_tick = ::GetTickCount();
    return std::string();
  }
  return JoinText({Pick(text::kFolderNotWritable), folder, " (", SystemMessage(code), ")"});
}

// The checks of the item-by-item loop over a listing and a CRC already
// taken (or taken here, once).
std::string BasicCheck(const std::string& file_name, const TFileItem& item, const Listing& listing, LazyCrc& lazy) {
  // A delta from another file makes its file (the base is checked apart).
  const bool makes_file = item.Action == 6 && !item.BaseName.empty();
  if (!listing.exists && item.Action != 3 && item.Action != 4 && item.Action != 5 && !makes_file) {
    return JoinText({Pick(text::kNotFoundIn), FolderPart(file_name)});
  }
  if (item.CheckSize == 1 && item.HasSize64) {
    // The full size: a file 4 GiB larger or smaller than it fails too.
    if (listing.size != item.Size64) {
      return JoinText({Pick(text::kWrongFileSize), std::to_string(listing.size), Pick(text::kNeed),
                       std::to_string(item.Size64)});
    }
  } else if (item.CheckSize == 1) {
    int32_t found = static_cast<int32_t>(static_cast<uint32_t>(listing.size));
    if (found != item.Size) {
      return JoinText({Pick(text::kWrongFileSize), Decimal(found), Pick(text::kNeed), Decimal(item.Size)});
    }
  }
  if (item.CheckCRC == 1) {
    uint32_t crc = 0;
    // An empty file has nothing to check against: it fails, showing -1.
    bool read = listing.size != 0 && lazy.Get(&crc);
    if (!read && listing.exists && HeldByOthers(file_name, GENERIC_READ)) return PickText(text::kFileInUse);
    if (!read || crc != static_cast<uint32_t>(item.CRC)) {
      int32_t shown = read ? static_cast<int32_t>(crc) : -1;
      return JoinText({Pick(text::kWrongFileCrc), Decimal(shown), Pick(text::kNeed), Decimal(item.CRC)});
    }
  }
  return std::string();
}

}  // namespace

std::string BasicCheckFailure(const std::string& file_name, const TFileItem& item) {
  const Listing listing = ListFile(file_name);
  LazyCrc crc(file_name, listing);
  return BasicCheck(file_name, item, listing, crc);
}

namespace {
ItemReadiness Check(const std::string& file_name, const TFileItem& item, const std::string& base_file,
                    ItemCheck* out);
}  // namespace

void CheckItem(const std::string& file_name, const TFileItem& item, ItemCheck* check,
               const std::string& base_file) {
  check->state = Check(file_name, item, base_file, check);
}

namespace {

ItemReadiness Check(const std::string& file_name, const TFileItem& item, const std::string& base_file,
                    ItemCheck* out) {
  ItemCheck& check = *out;
  const Listing listing = ListFile(file_name);
  LazyCrc crc(file_name, listing);
  check.exists = listing.exists;
  // A delta from another file reads that file; the item's own otherwise.
  const bool from_base = item.Action == 6 && !base_file.empty();
  const std::string& old_name = from_base ? base_file : file_name;
  const Listing base_listing = from_base ? ListFile(base_file) : listing;
  LazyCrc base_crc(old_name, base_listing);
  check.base_goes = from_base && item.BaseMoves == 1 && base_listing.exists;
  // A failure leaves its red text in check.reason.
  auto in_use = [&check]() {
    check.reason = PickText(text::kFileInUse);
    return ItemReadiness::kFailed;
  };
  auto up_to_date = []() { return ItemReadiness::kUpToDate; };

  // 1. Already what the item produces.
  const uint8_t* data = item.Data.data();
  const size_t data_size = item.DataSize > 0 ? static_cast<size_t>(item.DataSize) : 0;
  if (data_size > item.Data.size()) throw Error(kStreamReadError);
  DeltaHead head;
  if (item.Action == 6) head = ReadDeltaHead(data, data_size);
  switch (item.Action) {
    case 3: {
      // A payload in the overlay states its 64-bit size and CRC-32 itself.
      const OverlayPayload& overlay = item.Overlay;
      uint64_t size = overlay.Present() ? overlay.size
                      : item.HasNewCheck ? static_cast<uint32_t>(item.NewSize) : data_size;
      uint32_t want = overlay.Present() ? overlay.crc
                      : item.HasNewCheck ? static_cast<uint32_t>(item.NewCRC)
                                         : Crc32Block(data, static_cast<uint32_t>(data_size));
      if (crc.Matches(size, want)) return up_to_date();
      check.new_size = overlay.Present() ? overlay.size : data_size;
      break;
    }
    case 4:
      if (!listing.exists) return up_to_date();
      break;
    case 6:
      // Made already; a base still to go is rebuilt from and deleted again.
      if (crc.Matches(head.new_size, head.new_crc) && !check.base_goes) return up_to_date();
      check.new_size = head.new_size;
      break;
    case 1:
    case 2:
      if (item.HasNewCheck && crc.Matches(static_cast<uint32_t>(item.NewSize), static_cast<uint32_t>(item.NewCRC))) {
        return up_to_date();
      }
      break;
    default:
      break;
  }

  // 2. The checks of the item-by-item loop.
  check.reason = BasicCheck(file_name, item, listing, crc);
  if (!check.reason.empty()) return ItemReadiness::kFailed;

  // 3. The payload fits the file.
  if (item.Action == 6 && !(from_base ? base_crc : crc).Matches(head.old_size, head.old_crc)) {
    if (HeldByOthers(old_name, GENERIC_READ)) return in_use();
    throw Error(PickText(text::kDeltaWrongBase));
  }
  if (item.Action == 2) {
    PatchList list = ReadPatchList(data, data_size);
    for (const PatchRecord& record : list.records) {
      // Inside the new size: a record past it would leave a file of
      // another size than the list says.
      if (record.offset > static_cast<uint32_t>(list.new_size) ||
          record.count > static_cast<uint32_t>(list.new_size) - record.offset) {
        throw Error(kStreamWriteError);
      }
    }
    check.new_size = static_cast<uint32_t>(list.new_size);
  } else if (item.Action == 1) {
    ResourceList list = ReadResourceList(data, data_size);
    if (list.error) throw Error(list.error);
    check.new_size = listing.size + data_size;  // at most the old file and every entry
  }

  // 4 and 5: the folder, and a file in use.
  if (item.Action == 1 || item.Action == 2 || item.Action == 3 || item.Action == 4 || item.Action == 6) {
    std::string folder = ExistingFolderOf(file_name);
    check.reason = FolderWriteFailure(folder);
    if (!check.reason.empty()) return ItemReadiness::kFailed;
    if (listing.exists && HeldByOthers(file_name, DELETE)) {
      if (!OnLocalFixedVolume(file_name)) return in_use();
      check.in_use = true;
    }
    if (check.base_goes) {
      check.reason = FolderWriteFailure(FolderPart(base_file));
      if (!check.reason.empty()) return ItemReadiness::kFailed;
      if (HeldByOthers(base_file, DELETE)) {
        if (!OnLocalFixedVolume(base_file)) return in_use();
        check.base_in_use = true;
      }
    }
  }
  return ItemReadiness::kReady;
}

}  // namespace

}  // namespace upkit
