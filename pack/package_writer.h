// Builds an update package (a "cFg" container with "_Initialize_" and
// "UpdateItemN" sections) from a plain description. Used by `upkit build`
// and by tests that need real packages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container/container_writer.h"

namespace upkit::pack {

struct PackageItem {
  std::string OriginName;
  std::string UpdateName;
  std::string Path;
  int32_t Action = 0;
  std::vector<uint8_t> Data;  // "Data" (omitted when empty)
  int32_t DataSize = -1;      // -1: write Data.size()
  uint8_t CheckSize = 0;
  uint8_t CheckCRC = 0;
  int32_t Size = 0;
  int32_t CRC = 0;
  // Extension: the expected size in full, written as the raw 8-byte value
  // "Size64" when set; Size then holds its low 32 bits. Set for size checks
  // of 4 GiB and more (ExpectedSize below).
  std::optional<uint64_t> Size64;
  std::vector<uint8_t> Alternatives;  // "Alternatives" (package/alternatives.h); omitted when empty
  // Extension: the size and CRC-32 of the file the item produces, written as
  // "NewSize" and "NewCRC" when set.
  bool HasNewCheck = false;
  int32_t NewSize = 0;
  int32_t NewCRC = 0;
  // Delta from another file of the product (written only when BaseName is
  // not empty): the base's name and folder, and whether it goes afterwards.
  std::string BaseName, BasePath;
  uint8_t BaseMoves = 0;
  // A replace item whose content goes into the installer file's overlay
  // (written only when OverlayFile is not empty): the file and its size.
  // The item is then written with Action 0, DataSize 0, no Data, no
  // NewSize/NewCRC, and four raw values "OverlayAt", "OverlayLength",
  // "OverlaySize", "OverlayCRC" holding zeros until the overlay is written.
  std::string OverlayFile;
  uint64_t OverlaySize = 0;
};

// Sets the item's expected size: Size alone below 4 GiB (the bits the
// installer has always compared), Size and Size64 from 4 GiB on.
void ExpectedSize(PackageItem& item, uint64_t size);

struct Package {
  std::string ProjectName, DefaultDir, WinURL, FormCaption, ButtonCaption;
  std::string AutorName, AutorMail, AutorWWW;
  int32_t Language = 1;
  int32_t DocumentType = 0;
  std::vector<uint8_t> Picture;       // BMP file bytes; omitted when empty
  std::vector<uint8_t> DocumentText;  // RTF bytes; omitted when empty
  std::vector<PackageItem> Items;     // FileCount = Items.size()
  std::string Releases;               // "Releases": old release names, one per line; omitted when empty
  bool AllOrNothing = false;          // extension "AllOrNothing" = 1, written only when set
};

// The container sections for a package (so callers may add or damage values).
// The second form moves the binaries out of the package instead of copying.
std::vector<ContainerSection> PackageSections(const Package& package);
std::vector<ContainerSection> PackageSections(Package&& package);

// The second form takes the package's bytes and frees each as it is
// written: for packages of hundreds of megabytes.
std::vector<uint8_t> WritePackage(const Package& package, const ContainerOptions& options);
std::vector<uint8_t> WritePackage(Package&& package, const ContainerOptions& options);

// Resource list (action 1) and patch list (action 2) payloads.
struct ResourceEntry {
  bool type_is_name = false;
  uint16_t type_id = 10;  // RT_RCDATA
  std::string type_name;
  bool name_is_text = false;
  uint16_t name_id = 0;
  std::string name_text;
  uint16_t language = 0;
  std::vector<uint8_t> data;  // empty: remove the resource
};
std::vector<uint8_t> ResourceList(const std::vector<ResourceEntry>& entries);

struct PatchRun {
  int32_t offset = 0;
  std::vector<uint8_t> bytes;
};
// Record kind 1 (runs).
std::vector<uint8_t> PatchListRuns(int32_t new_size, const std::vector<PatchRun>& runs);
// Record kind 0 (single bytes).
std::vector<uint8_t> PatchListBytes(int32_t new_size,
                                    const std::vector<std::pair<int32_t, uint8_t>>& bytes);

}  // namespace upkit::pack
