#include "update/update_file.h"

#include <exception>
#include <new>
#include <string>
#include <unordered_map>

#include "codec/error.h"
#include "container/lame_ini.h"

namespace upkit {

namespace {

// Item sections that a package does not carry still become items (with
// every field at its default). Their number is bounded so that a tiny
// package cannot claim billions of items and exhaust memory.
constexpr int64_t kMaxMissingItemSections = 65536;

std::string ItemError(const std::string& section, const char* what) {
  return "Item \"" + section + "\": \"Data\" " + what;
}

// The expanded bytes of an optional binary setting of the current section
// ("Picture", "DocumentText"), or nothing when it is missing, empty or
// cannot be had; such a setting is never an error.
std::vector<uint8_t> OptionalBinary(TLameIni& ini, const char* name) {
  try {
    int32_t n = ini.GetBinarySize(ini.CurrentSection, name, 0);
    if (!ini.ValueExists(ini.CurrentSection, name) || n <= 0) return {};
    const uint8_t* bytes = ini.GetBinaryData(ini.CurrentSection, name, nullptr);
    if (!bytes) return {};
    return std::vector<uint8_t>(bytes, bytes + n);
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

void TUpdateFile::Clear() {
  ProjectName.clear();
  DefaultDir.clear();
  FormCaption.clear();
  ButtonCaption.clear();
  AutorName.clear();
  AutorMail.clear();
  AutorWWW.clear();
  WinURL.clear();
  Language = 0;
  DocumentType = 0;
  DocumentText.Clear();
  Items.clear();
}

void TUpdateFile::LoadFromStream(Stream& stream) try {
  Clear();
  TLameIni ini;
  ini.LoadFromStream(stream);

  ini.CurrentSection = "_Initialize_";
  ProjectName = ini.ReadString("ProjectName");
  DefaultDir = ini.ReadString("DefaultDir");
  WinURL = ini.ReadString("WinURL");

  // A picture that cannot be had or decoded leaves Picture empty, unreported.
  Picture.Clear();
  if (std::vector<uint8_t> picture = OptionalBinary(ini, "Picture"); !picture.empty())
    Picture.LoadFromMemory(picture.data(), picture.size());

  FormCaption = ini.ReadString("FormCaption");
  Language = ini.ReadInteger("Language");
  ButtonCaption = ini.ReadString("ButtonCaption");
  DocumentType = ini.ReadInteger("DocumentType");

  DocumentText.Assign(OptionalBinary(ini, "DocumentText"));

  AutorName = ini.ReadString("AutorName");
  AutorMail = ini.ReadString("AutorMail");
  AutorWWW = ini.ReadString("AutorWWW");

  int32_t count = ini.ReadInteger("FileCount");
  if (count > 0 && count - static_cast<int64_t>(ini.Sections().size()) > kMaxMissingItemSections) {
    throw Error("\"FileCount\" is " + std::to_string(count) + ", but the package holds only " +
                std::to_string(ini.Sections().size()) + " sections");
  }
  // Values whose bytes were handed to an item and freed in the store.
  std::unordered_map<const TLameIniValue*, size_t> moved_out;
  for (int32_t n = 0; n < count; ++n) {
    ini.CurrentSection = "UpdateItem" + std::to_string(n);
    TFileItem item;
    item.OriginName = ini.ReadString("OriginName");
    item.UpdateName = ini.ReadString("UpdateName");
    item.Path = ini.ReadString("Path");
    item.Action = ini.ReadInteger("Action");
    item.DataSize = ini.ReadInteger("DataSize");
    if (item.DataSize > 0) {
      // Applying an item with the wrong content would damage the product's
      // files, so a "Data" that cannot supply DataSize bytes fails the load.
      TLameIniValue* value = ini.FindValue(ini.CurrentSection, "Data");
      auto earlier = value ? moved_out.find(value) : moved_out.end();
      if (earlier != moved_out.end()) {
        // Section names with equal hashes: the bytes now live in an earlier item.
        const std::vector<uint8_t>& bytes = Items[earlier->second].Data;
        if (bytes.size() < static_cast<size_t>(item.DataSize))
          throw Error(ItemError(ini.CurrentSection, "holds fewer than DataSize bytes"));
        item.Data.assign(bytes.begin(), bytes.begin() + item.DataSize);
      } else {
        if (!value) throw Error(ItemError(ini.CurrentSection, "is missing"));
        if (value->Kind != TLameIniValue::kBinary)
          throw Error(ItemError(ini.CurrentSection, "is not a binary value"));
        int32_t have = ini.GetBinarySize(ini.CurrentSection, "Data", 0);
        if (have < 0) throw Error(ItemError(ini.CurrentSection, "cannot be expanded"));
        if (have < item.DataSize)
          throw Error(ItemError(ini.CurrentSection, "holds fewer than DataSize bytes"));
        const uint8_t* bytes = ini.GetBinaryData(ini.CurrentSection, "Data", nullptr);
        item.Data.assign(bytes, bytes + item.DataSize);
        // The item now holds every byte of the value: free the store's copy
        // so that payloads are not held twice while loading.
        if (have == item.DataSize) {
          ini.ReleaseBinary(*value);
          moved_out.emplace(value, Items.size());
        }
      }
    }
    // A negative DataSize gives no Data; the engine decides what that means.
    item.CheckSize = ini.ReadBool("CheckSize");
    item.CheckCRC = ini.ReadBool("CheckCRC");
    item.Size = ini.ReadInteger("Size");
    item.CRC = ini.ReadInteger("CRC");
    Items.push_back(std::move(item));
  }
} catch (const std::bad_alloc&) {
  throw Error(kOutOfMemory);
}

}  // namespace upkit
