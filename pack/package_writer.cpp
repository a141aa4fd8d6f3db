#include "pack/package_writer.h"

#include <array>
#include <utility>

#include "codec/error.h"

namespace upkit::pack {

namespace {

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutI32(std::vector<uint8_t>& out, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

int32_t CheckedCount(size_t n, const char* what) {
  if (n > 0x7FFFFFFF) throw Error(std::string(what) + " too large");
  return static_cast<int32_t>(n);
}

// A type or name of a resource entry: kind byte, then the number or the
// length and text.
void PutResourceId(std::vector<uint8_t>& out, bool is_text, uint16_t id, const std::string& text) {
  if (!is_text) {
    out.push_back(0);
    PutU16(out, id);
    return;
  }
  if (text.size() > 0xFFFF) throw Error("resource name longer than 65535 bytes");
  out.push_back(1);
  PutU16(out, static_cast<uint16_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

void ExpectedSize(PackageItem& item, uint64_t size) {
  item.Size = static_cast<int32_t>(static_cast<uint32_t>(size));
  item.Size64.reset();
  if (size > UINT32_MAX) item.Size64 = size;
}

std::vector<ContainerSection> PackageSections(const Package& package) {
  Package copy = package;
  return PackageSections(std::move(copy));
}

std::vector<ContainerSection> PackageSections(Package&& package) {
  std::vector<ContainerSection> sections;
  ContainerSection init;
  init.name = "_Initialize_";
  init.String("ProjectName", package.ProjectName)
      .String("DefaultDir", package.DefaultDir)
      .String("WinURL", package.WinURL);
  if (!package.Picture.empty()) init.Binary("Picture", std::move(package.Picture));
  init.String("FormCaption", package.FormCaption)
      .Integer("Language", package.Language)
      .String("ButtonCaption", package.ButtonCaption)
      .Integer("DocumentType", package.DocumentType);
  if (!package.DocumentText.empty()) init.Binary("DocumentText", std::move(package.DocumentText));
  init.String("AutorName", package.AutorName)
      .String("AutorMail", package.AutorMail)
      .String("AutorWWW", package.AutorWWW)
      .Integer("FileCount", CheckedCount(package.Items.size(), "item list"));
  if (!package.Releases.empty()) init.String("Releases", package.Releases);
  if (package.AllOrNothing) init.Integer("AllOrNothing", 1);
  sections.push_back(std::move(init));

  for (size_t n = 0; n < package.Items.size(); ++n) {
    PackageItem& item = package.Items[n];
    ContainerSection s;
    s.name = "UpdateItem" + std::to_string(n);
    int32_t data_size =
        item.DataSize == -1 ? CheckedCount(item.Data.size(), "item data") : item.DataSize;
    const bool in_overlay = !item.OverlayFile.empty();
    s.String("OriginName", item.OriginName)
        .String("UpdateName", item.UpdateName)
        .String("Path", item.Path)
        .Integer("Action", in_overlay ? 0 : item.Action)
        .Integer("DataSize", in_overlay ? 0 : data_size);
    if (!item.Data.empty()) s.Binary("Data", std::move(item.Data));
    s.Bool("CheckSize", item.CheckSize)
        .Bool("CheckCRC", item.CheckCRC)
        .Integer("Size", item.Size)
        .Integer("CRC", item.CRC);
    if (item.Size64) {
      std::array<uint8_t, 8> raw;
      for (int i = 0; i < 8; ++i) raw[static_cast<size_t>(i)] = static_cast<uint8_t>(*item.Size64 >> (8 * i));
      s.Raw("Size64", ContainerValue::kRaw3, raw);
    }
    if (!item.Alternatives.empty()) s.Binary("Alternatives", std::move(item.Alternatives));
    if (item.HasNewCheck && !in_overlay) s.Integer("NewSize", item.NewSize).Integer("NewCRC", item.NewCRC);
    if (in_overlay) {
      for (const char* name : {"OverlayAt", "OverlayLength", "OverlaySize", "OverlayCRC"})
        s.Raw(name, ContainerValue::kRaw3, {});
    }
    if (!item.BaseName.empty())
      s.String("BaseName", item.BaseName).String("BasePath", item.BasePath).Bool("BaseMoves", item.BaseMoves);
    sections.push_back(std::move(s));
  }
  return sections;
}

std::vector<uint8_t> WritePackage(const Package& package, const ContainerOptions& options) {
  return WriteContainer(PackageSections(package), options);
}

std::vector<uint8_t> WritePackage(Package&& package, const ContainerOptions& options) {
  return WriteContainer(PackageSections(std::move(package)), options);
}

std::vector<uint8_t> ResourceList(const std::vector<ResourceEntry>& entries) {
  std::vector<uint8_t> out;
  PutI32(out, CheckedCount(entries.size(), "resource list"));
  for (const ResourceEntry& e : entries) {
    PutResourceId(out, e.type_is_name, e.type_id, e.type_name);
    PutResourceId(out, e.name_is_text, e.name_id, e.name_text);
    PutU16(out, e.language);
    PutI32(out, CheckedCount(e.data.size(), "resource data"));
    out.insert(out.end(), e.data.begin(), e.data.end());
  }
  return out;
}

std::vector<uint8_t> PatchListRuns(int32_t new_size, const std::vector<PatchRun>& runs) {
  std::vector<uint8_t> out;
  PutI32(out, 0);  // reserved
  PutI32(out, new_size);
  PutI32(out, 1);  // run records
  PutI32(out, CheckedCount(runs.size(), "patch list"));
  for (const PatchRun& run : runs) {
    PutI32(out, run.offset);
    PutI32(out, CheckedCount(run.bytes.size(), "patch run"));
    out.insert(out.end(), run.bytes.begin(), run.bytes.end());
  }
  return out;
}

std::vector<uint8_t> PatchListBytes(int32_t new_size,
                                    const std::vector<std::pair<int32_t, uint8_t>>& bytes) {
  std::vector<uint8_t> out;
  PutI32(out, 0);  // reserved
  PutI32(out, new_size);
  PutI32(out, 0);  // single-byte records
  PutI32(out, CheckedCount(bytes.size(), "patch list"));
  for (const auto& [offset, value] : bytes) {
    PutI32(out, offset);
    out.push_back(value);
  }
  return out;
}

}  // namespace upkit::pack
