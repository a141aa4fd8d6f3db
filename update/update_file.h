// The update description: everything the installer knows about the update
// it carries, loaded once from the package container and kept to the end.
// Settings come from the section "_Initialize_", items from "UpdateItem0",
// "UpdateItem1", ... After loading nothing of the container store survives:
// TUpdateFile owns copies of the picture, the document and every payload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "container/stream.h"
#include "update/bitmap.h"

namespace upkit {

// One update item. Fields are named after their package keys.
struct TFileItem {
  std::string OriginName;  // file name relative to the item's folder
  std::string UpdateName;  // loaded and kept, read by nothing
  std::string Path;        // sub-folder below the destination, may start with a macro
  int32_t Action = 0;      // 1 resources, 2 patch, 3 replace, 4 delete, 5 open, 6 delta
  std::vector<uint8_t> Data;  // DataSize bytes of "Data"; empty when DataSize <= 0
  int32_t DataSize = 0;
  uint8_t CheckSize = 0;   // stored byte as is; only 1 switches the check on
  uint8_t CheckCRC = 0;
  int32_t Size = 0;
  int32_t CRC = 0;         // expected CRC-32, its 32 bits held as int32
};

class TUpdateFile {
 public:
  TUpdateFile() { Clear(); }

  // Clear, then load the whole description from a container at the stream's
  // current position. Raises Error with the container reader's messages, or
  // with a message naming the item section whose "Data" cannot supply
  // "DataSize" bytes (missing, not binary, not expandable or too short), or
  // when "FileCount" exceeds the container's sections by more than 65536
  // (items without a section are made with defaults, so that bound keeps a
  // tiny package from claiming billions of them). A picture or document that
  // cannot be had is left empty and not reported.
  void LoadFromStream(Stream& stream);

  // Empties every text, sets Language and DocumentType to 0, empties the
  // document and releases every item.
  void Clear();

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
};

}  // namespace upkit
