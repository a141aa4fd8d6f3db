#include "package/update_file.h"

#include <exception>
#include <new>
#include <string>

#include "codec/error.h"
#include "codec/unpack.h"
#include "container/lame_ini.h"

namespace upkit {

namespace {

// Item sections that a package does not carry still become items (with
// every field at its default). Their number is bounded so that a tiny
// package cannot claim billions of items and exhaust memory.
constexpr int64_t kMaxMissingItemSections = 65536;

// The failure of an item's value: Item "<section>": "<value>" <what>.
// One out-of-line copy of the message's making (a smaller stub).
[[gnu::noinline]] Error ItemError(const std::string& section, const char* value, const char* what) {
  return Error("Item \"" + section + "\": \"" + value + "\" " + what);
}

// The value of an optional binary setting of the current section
// ("Picture", "DocumentText"), expanded, or null when it is missing, empty
// or its packed form is not valid; such a setting is never an error.
// Running out of memory while expanding is: it raises "Out of memory".
TLameIniValue* OptionalBinary(TLameIni& ini, const char* name) {
  int32_t n = ini.GetBinarySize(ini.CurrentSection, name, 0);
  if (!ini.ValueExists(ini.CurrentSection, name) || n <= 0) return nullptr;
  if (!ini.GetBinaryData(ini.CurrentSection, name, nullptr)) return nullptr;
  return ini.FindValue(ini.CurrentSection, name);
}

// The expanded size of a packed value: expanded (which checks the header,
// both CRCs and every token) and dropped at once. -1 when it cannot be.
int32_t ExpandedSize(const TLameIniValue& value) {
  int32_t size = value.BinSize;
  std::unique_ptr<uint8_t[]> expanded = DecompressBuffer(value.BinData, size);
  return expanded || size == 0 ? size : -1;
}

// Checks that the current section's "Data" can supply `data_size` bytes,
// as the item's action will need them; gives the value, deciphered.
TLameIniValue* CheckedData(TLameIni& ini, int32_t data_size) {
  TLameIniValue* value = ini.FindValue(ini.CurrentSection, "Data");
  if (!value) throw ItemError(ini.CurrentSection, "Data", "is missing");
  if (value->Kind != TLameIniValue::kBinary)
    throw ItemError(ini.CurrentSection, "Data", "is not a binary value");
  ini.DecipherBinary(*value);
  int32_t have = value->BinSize;
  if (value->Flags & TLameIniValue::kCompressedMark) have = ExpandedSize(*value);
  if (have < 0) throw ItemError(ini.CurrentSection, "Data", "cannot be expanded");
  if (have < data_size) throw ItemError(ini.CurrentSection, "Data", "holds fewer than DataSize bytes");
  return value;
}

// Reads the current section's "Alternatives" for item `index`. Each
// alternative's payload must lie inside the "Data" of the item it names, by
// the unpacked size its packed header states (the bytes themselves are
// checked in full when the payload is made ready for its action).
void LoadAlternatives(TLameIni& ini, int32_t index, TFileItem& item) {
  const std::string& section = ini.CurrentSection;
  if (!ini.FindValue(section, "Alternatives")) return;
  int32_t size = ini.GetBinarySize(section, "Alternatives", -1);
  const uint8_t* bytes = ini.GetBinaryData(section, "Alternatives");
  bool usable = size > 0 && bytes && ReadAlternatives(bytes, static_cast<size_t>(size), index, &item.Alternatives);
  for (ItemAlternative& a : item.Alternatives.list) {
    if (!usable || a.length == 0) continue;  // a delete takes no payload
    TLameIniValue* data = ini.FindValue("UpdateItem" + std::to_string(a.data_item), "Data");
    int32_t have = -1;
    if (data && data->Kind == TLameIniValue::kBinary) {
      ini.DecipherBinary(*data);
      have = data->Flags & TLameIniValue::kCompressedMark ? UnpackedSizeFromHeader(data->BinData, data->BinSize)
                                                          : data->BinSize;
    }
    // SAFETY_CHECK: offset + length <= have, in subtraction form.
    usable = have >= 0 && a.offset <= static_cast<uint32_t>(have) && a.length <= static_cast<uint32_t>(have) - a.offset;
    a.value = data;
  }
  if (!usable) throw ItemError(section, "Alternatives", "cannot be used");
}

// Reads the current section's overlay record into item `item` (an item with
// "OverlayAt"). The four values must all be raw 8-byte values describing a
// payload, and the item must carry no payload of its own: Action 0, no
// DataSize, no alternatives. It then becomes a replace item.
void LoadOverlay(TLameIni& ini, TFileItem& item) {
  const std::string& section = ini.CurrentSection;
  const char* const names[] = {"OverlayAt", "OverlayLength", "OverlaySize", "OverlayCRC"};
  const TLameIniValue* values[4];
  bool usable = item.Action == 0 && item.DataSize == 0 && item.Alternatives.list.empty();
  for (int i = 0; i < 4; ++i) {
    values[i] = ini.FindValue(section, names[i]);
    usable = usable && values[i] && values[i]->Kind == TLameIniValue::kRaw3;
  }
  if (!usable || !ReadOverlayRecord(values[0]->Raw3, values[1]->Raw3, values[2]->Raw3, values[3]->Raw3, &item.Overlay))
    throw ItemError(section, "OverlayAt", "cannot be used");
  item.Overlay.enciphered = ini.Enciphered() == 1;
  item.Overlay.key = ini.Key();
  item.Action = 3;
}

// Reads the current section's "Size64" into `item` (an item with the
// value). It must be a raw 8-byte value whose low 32 bits are the item's
// Size, so that an installer that compares only Size checks the same bits.
void LoadSize64(TLameIni& ini, TFileItem& item) {
  const TLameIniValue* value = ini.FindValue(ini.CurrentSection, "Size64");
  uint64_t size = 0;
  if (value && value->Kind == TLameIniValue::kRaw3)
    for (int i = 7; i >= 0; --i) size = size << 8 | value->Raw3[i];
  if (!value || value->Kind != TLameIniValue::kRaw3 || static_cast<uint32_t>(size) != static_cast<uint32_t>(item.Size))
    throw ItemError(ini.CurrentSection, "Size64", "cannot be used");
  item.HasSize64 = true;
  item.Size64 = size;
}

// A string setting of the current section into `to`: one out-of-line copy
// of the string assignment for every setting read (a smaller stub).
[[gnu::noinline]] void ReadInto(TLameIni& ini, std::string_view name, std::string& to) { to = ini.ReadString(name); }

}  // namespace

TUpdateFile::TUpdateFile() { Clear(); }
TUpdateFile::~TUpdateFile() = default;

void TUpdateFile::Clear() {
  ProjectName.clear();
  DefaultDir.clear();
  FormCaption.clear();
  ButtonCaption.clear();
  AutorName.clear();
  AutorMail.clear();
  AutorWWW.clear();
  WinURL.clear();
  Releases.clear();
  AllOrNothing = false;
  Language = 0;
  DocumentType = 0;
  DocumentText.Clear();
  Items.clear();
  store_.reset();
}

void TUpdateFile::LoadFromStream(Stream& stream) try {
  Clear();
  // Kept from the start, so that items loaded before a failure keep their values.
  store_ = std::make_unique<TLameIni>();
  TLameIni& ini = *store_;
  ini.LoadFromStream(stream);

  ini.CurrentSection = "_Initialize_";
  ReadInto(ini, "ProjectName", ProjectName);
  ReadInto(ini, "DefaultDir", DefaultDir);
  ReadInto(ini, "WinURL", WinURL);

  // A picture that is missing or cannot be decoded, also for lack of
  // memory, leaves Picture empty, unreported. The expanded bytes are freed
  // at once: the store outlives loading.
  Picture.Clear();
  if (TLameIniValue* picture = OptionalBinary(ini, "Picture")) {
    try {
      Picture.LoadFromMemory(picture->BinData, static_cast<size_t>(picture->BinSize));
    } catch (const std::bad_alloc&) {
      Picture.Clear();
    }
    ini.ReleaseBinary(*picture);
  }

  ReadInto(ini, "FormCaption", FormCaption);
  Language = ini.ReadInteger("Language");
  ReadInto(ini, "ButtonCaption", ButtonCaption);
  DocumentType = ini.ReadInteger("DocumentType");

  if (TLameIniValue* document = OptionalBinary(ini, "DocumentText")) {
    DocumentText.Assign(std::vector<uint8_t>(document->BinData, document->BinData + document->BinSize));
    ini.ReleaseBinary(*document);
  }

  ReadInto(ini, "AutorName", AutorName);
  ReadInto(ini, "AutorMail", AutorMail);
  ReadInto(ini, "AutorWWW", AutorWWW);

  ReadInto(ini, "Releases", Releases);
  AllOrNothing = ini.ReadInteger("AllOrNothing") == 1;
  int32_t count = ini.ReadInteger("FileCount");
  if (count > 0 && count - static_cast<int64_t>(ini.Sections().size()) > kMaxMissingItemSections) {
    throw Error("\"FileCount\" is " + std::to_string(count) + ", but the package holds only " +
                std::to_string(ini.Sections().size()) + " sections");
  }
  for (int32_t n = 0; n < count; ++n) {
    ini.CurrentSection = "UpdateItem" + std::to_string(n);
    TFileItem item;
    ReadInto(ini, "OriginName", item.OriginName);
    ReadInto(ini, "UpdateName", item.UpdateName);
    ReadInto(ini, "Path", item.Path);
    item.Action = ini.ReadInteger("Action");
    item.DataSize = ini.ReadInteger("DataSize");
    // Applying an item with the wrong content would damage the product's
    // files, so a "Data" that cannot supply DataSize bytes fails the load.
    // A negative DataSize gives no Data; the engine decides what that means.
    if (item.DataSize > 0) item.DataValue = CheckedData(ini, item.DataSize);
    item.CheckSize = ini.ReadBool("CheckSize");
    item.CheckCRC = ini.ReadBool("CheckCRC");
    item.Size = ini.ReadInteger("Size");
    item.CRC = ini.ReadInteger("CRC");
    if (ini.ValueExists(ini.CurrentSection, "Size64")) LoadSize64(ini, item);
    LoadAlternatives(ini, n, item);
    if (ini.ValueExists(ini.CurrentSection, "OverlayAt")) LoadOverlay(ini, item);
    item.HasNewCheck = ini.ValueExists(ini.CurrentSection, "NewSize") &&
                       ini.ValueExists(ini.CurrentSection, "NewCRC");
    item.NewSize = ini.ReadInteger("NewSize");
    item.NewCRC = ini.ReadInteger("NewCRC");
    if (item.Action == 6 && item.Alternatives.list.empty()) {  // alternatives name no base
      ReadInto(ini, "BaseName", item.BaseName);
      ReadInto(ini, "BasePath", item.BasePath);
      item.BaseMoves = ini.ReadBool("BaseMoves");
    }
    Items.push_back(std::move(item));
  }
} catch (const std::bad_alloc&) {
  throw Error(kOutOfMemory);
}

void TUpdateFile::MakeDataReady(TFileItem& item) {
  const TLameIniValue* value = item.DataValue;
  if (!value || item.DataSize <= 0) return;
  const size_t size = static_cast<size_t>(item.DataSize);
  if (!(value->Flags & TLameIniValue::kCompressedMark)) {
    item.Data.Borrow(value->BinData + item.DataOffset, size);  // checked when loading
    return;
  }
  int32_t expanded_size = value->BinSize;
  std::unique_ptr<uint8_t[]> expanded;
  try {
    expanded = DecompressBuffer(value->BinData, expanded_size);
  } catch (const std::bad_alloc&) {
    throw Error(kOutOfMemory);
  }
  // The same bytes expanded when loading; only damaged memory fails here.
  if (!expanded || expanded_size - item.DataOffset < item.DataSize) throw Error(kStreamReadError);
  item.Data.Own(std::move(expanded), static_cast<size_t>(item.DataOffset), size);
}

void TUpdateFile::ReleaseData(TFileItem& item) {
  if (item.DataValue) item.Data.Release();
}

void UseAlternative(TFileItem& item, size_t index) {
  const ItemAlternative& a = item.Alternatives.list[index];
  item.Action = a.action;
  item.CheckSize = a.base == kBasePresent ? 1 : 0;
  item.Size = static_cast<int32_t>(static_cast<uint32_t>(a.base_size));
  // The table holds the base's size in full, as the choice compared it.
  item.HasSize64 = true;
  item.Size64 = a.base_size;
  // An empty file fails every CRC check: its size says enough.
  item.CheckCRC = a.base == kBasePresent && a.base_size != 0 ? 1 : 0;
  item.CRC = static_cast<int32_t>(a.base_crc);
  item.DataValue = a.value;
  item.DataOffset = a.offset;
  item.DataSize = static_cast<int32_t>(a.length);
}

}  // namespace upkit
