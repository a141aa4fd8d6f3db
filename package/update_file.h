// package/: the update description and everything that reads an item's
// payload: this description, the BMP decoder, alternatives, the resource and
// patch lists and the payload itself. Portable.
//
// The update description: everything the installer knows about the update
// it carries, loaded once from the package container and kept to the end.
// Settings come from the section "_Initialize_", items from "UpdateItem0",
// "UpdateItem1", ... TUpdateFile owns copies of the picture and the
// document. Item payloads are not copied: the container store is kept after
// loading (its bytes are the one copy of the package body, or none when the
// package lies plain in the executable's own memory), and an item's "Data"
// is made ready just before its action and released after it, so at most
// one expanded payload exists at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "container/stream.h"
#include "package/alternatives.h"
#include "package/bitmap.h"
#include "package/item_payload.h"
#include "package/overlay_payload.h"

namespace upkit {

class TLameIni;
struct TLameIniValue;

// One update item. Fields are named after their package keys.
struct TFileItem {
  std::string OriginName;  // file name relative to the item's folder
  std::string UpdateName;  // loaded and kept, read by nothing
  std::string Path;        // sub-folder below the destination, may start with a macro
  int32_t Action = 0;      // 1 resources, 2 patch, 3 replace, 4 delete, 5 open, 6 delta
  // DataSize bytes of "Data" while the item's payload is ready (always, for
  // an item made by hand); empty when DataSize <= 0.
  ItemPayload Data;
  int32_t DataSize = 0;
  uint8_t CheckSize = 0;   // stored byte as is; only 1 switches the check on
  uint8_t CheckCRC = 0;
  int32_t Size = 0;
  int32_t CRC = 0;         // expected CRC-32, its 32 bits held as int32
  // Extension value "Size64" (raw 8 bytes): the expected size in full, for
  // files of 4 GiB and more. With it, the size check compares all 64 bits
  // of the file's size; Size still holds the low 32 (what an installer that
  // does not know the value compares). An alternative in use sets it too.
  bool HasSize64 = false;
  uint64_t Size64 = 0;
  // Extension values "NewSize" and "NewCRC": the size and CRC-32 of the file
  // the item produces, when the package says (upkit build does for patch and
  // replace items). HasNewCheck is true when both are present.
  bool HasNewCheck = false;
  int32_t NewSize = 0;
  int32_t NewCRC = 0;
  // A delta item whose stream applies to another file of the product (the
  // item's own file need not exist): that file's name and folder (as
  // OriginName and Path), and whether it is deleted once the new file is in
  // place. Empty BaseName: the stream applies to the item's own file.
  std::string BaseName, BasePath;
  uint8_t BaseMoves = 0;
  // The package value "Data" comes from, in the store of the description
  // that loaded the item; null for items made by hand.
  TLameIniValue* DataValue = nullptr;
  // Where the payload starts in that value (after unpacking): 0 but for an
  // alternative in use, whose payload may lie anywhere in it.
  int32_t DataOffset = 0;
  // The item's alternatives for several old releases ("Alternatives"; empty
  // list: an ordinary item). The engine picks one before the item's checks.
  ItemAlternatives Alternatives;
  // A replace item whose content lies in the installer file's overlay
  // ("OverlayAt" and its three companions; Present() false otherwise). Such
  // an item is stored with Action 0 and no Data, so that an installer that
  // does not know the values changes nothing; loading makes it Action 3.
  OverlayPayload Overlay;
};

class TUpdateFile {
 public:
  TUpdateFile();
  ~TUpdateFile();
  TUpdateFile(const TUpdateFile&) = delete;
  TUpdateFile& operator=(const TUpdateFile&) = delete;

  // Clear, then load the whole description from a container at the stream's
  // current position. Raises Error with the container reader's messages, or
  // with a message naming the item section whose "Data" cannot supply
  // "DataSize" bytes (missing, not binary, not expandable or too short), or
  // when "FileCount" exceeds the container's sections by more than 65536
  // (items without a section are made with defaults, so that bound keeps a
  // tiny package from claiming billions of them). Every item's "Data" is
  // checked here (a packed one is expanded and its result dropped), but
  // left in the package. A picture or document that is missing or cannot be
  // decoded is left empty and not reported; running out of memory while
  // expanding either fails the load with "Out of memory", and a picture
  // that cannot be decoded for lack of memory is left empty. A stream with
  // lasting memory is read in place: its bytes must outlive the description.
  void LoadFromStream(Stream& stream);

  // Empties every text, sets Language and DocumentType to 0, empties the
  // document and releases every item and the kept package.
  void Clear();

  // Just before the item's action: fills item.Data with its DataSize bytes,
  // lending a stored value where it lies and expanding a packed one into a
  // buffer of its own. Items made by hand keep what they hold. Raises "Out
  // of memory" when the expansion cannot have its buffer.
  void MakeDataReady(TFileItem& item);
  // After the item's action: empties item.Data of a loaded item, freeing an
  // expanded buffer. Items made by hand keep what they hold.
  void ReleaseData(TFileItem& item);

  std::vector<TFileItem> Items;
  std::string ProjectName;
  std::string DefaultDir;
  TBitmap Picture;
  std::string FormCaption;
  int32_t Language = 0;
  std::string ButtonCaption;
  int32_t DocumentType = 0;
  BufferStream DocumentText;  // positioned at 0 after loading
  std::string AutorName;
  std::string AutorMail;
  std::string AutorWWW;
  std::string WinURL;
  // Names of the old releases a multi-release package updates, one per line
  // ("Releases"; for the tools: alternatives name theirs by bit number).
  std::string Releases;
  // Extension value "AllOrNothing" (integer, 1 switches it on): apply the
  // update as one transaction (install/transaction.h). Absent: false.
  bool AllOrNothing = false;

 private:
  std::unique_ptr<TLameIni> store_;  // the loaded package, holding item payloads
};

// Keeps an item's Data ready for the life of the object.
class ItemDataInUse {
 public:
  ItemDataInUse(TUpdateFile& update, TFileItem& item) : update_(update), item_(item) {
    update_.MakeDataReady(item_);
  }
  ~ItemDataInUse() { update_.ReleaseData(item_); }
  ItemDataInUse(const ItemDataInUse&) = delete;
  ItemDataInUse& operator=(const ItemDataInUse&) = delete;

 private:
  TUpdateFile& update_;
  TFileItem& item_;
};

// Turns the item into an ordinary item of alternative `index`: its action,
// its size and CRC checks (a present base; CRC only for a non-empty one), and
// its payload range. The table stays, so the choice can be made again.
void UseAlternative(TFileItem& item, size_t index);

}  // namespace upkit
