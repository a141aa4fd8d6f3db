// upkit inspect: prints a package (a raw container, or the LR5 resource of
// an installer executable) as JSON: the container's header and every
// section and value, or with --description the update description the
// installer would load from it.
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "codec/crc32.h"
#include "codec/error.h"
#include "container/lame_ini.h"
#include "delta/delta.h"
#include "pack/ansi_text.h"
#include "pack/elevation.h"
#include "pack/pe_reader.h"
#include "package/update_file.h"
#include "tools/upkit/cli.h"

namespace upkit::cli {
namespace {

const char kUsage[] =
    "usage: upkit inspect [--description] FILE\n"
    "\n"
    "FILE is a package container, or an installer executable carrying one as\n"
    "its RCDATA resource LR5. Prints JSON (UTF-8; package texts are read as\n"
    "code page 1251):\n"
    "  default        the container: version, flags, key, and every section\n"
    "                 and value with its hash, name (known names are filled in\n"
    "                 for version-3 containers, which store only hashes), kind\n"
    "                 and value. Binary values (kind 2) show their expanded\n"
    "                 \"size\" (-1 when they cannot be expanded) and \"crc32\";\n"
    "                 kinds 3 and 4 show their 8 bytes as 16 hex digits;\n"
    "                 booleans (kind 5) show true/false for 0/1 and the byte\n"
    "                 as a number otherwise.\n"
    "  --description  the loaded update description: settings and items; a\n"
    "                 delta item (action 6) also shows its stream's head: the\n"
    "                 old file's size and crc32 it needs, the new file's it makes;\n"
    "                 a multi-release item shows its alternatives: the base each\n"
    "                 applies to, its action, where its payload lies, its releases.\n"
    "An installer executable's JSON starts with \"elevation\": \"admin\" or \"user\",\n"
    "the rights its manifest asks Windows for.\n"
    "A package that fails to load prints the loader's message and exits 1.\n";

std::string Hex32(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

std::string HexBytes(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

// A JSON string literal of UTF-8 text.
std::string Quote(std::string_view utf8) {
  std::string out = "\"";
  for (char ch : utf8) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[7];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

// Package texts are 8-bit code page 1251.
std::string Text(std::string_view ansi) { return Quote(pack::Cp1251ToUtf8(ansi)); }

// The names the installer asks for, to label values of version-3
// containers, which store only name hashes.
const std::unordered_map<int32_t, std::string>& KnownNames() {
  static const std::unordered_map<int32_t, std::string> names = [] {
    std::unordered_map<int32_t, std::string> m;
    for (const char* n :
         {"ProjectName", "DefaultDir", "WinURL", "Picture", "FormCaption", "Language",
          "ButtonCaption", "DocumentType", "DocumentText", "AutorName", "AutorMail", "AutorWWW",
          "FileCount", "OriginName", "UpdateName", "Path", "Action", "DataSize", "Data",
          "CheckSize", "CheckCRC", "Size", "Size64", "CRC", "AllOrNothing", "NewSize", "NewCRC", "Alternatives", "OverlayAt",
          "OverlayLength", "OverlaySize", "OverlayCRC",
          "Releases"})
      m.emplace(NameHash(n), n);
    return m;
  }();
  return names;
}

// The package, and for an executable the JSON field of its elevation.
std::vector<uint8_t> PackageBytes(const std::string& path, std::string& elevation_field) {
  std::vector<uint8_t> bytes = ReadImageOrFile(path);
  if (bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z') {
    std::string elevation = pack::ReadElevation(bytes);
    if (!elevation.empty()) elevation_field = "\"elevation\":" + Quote(elevation) + ",";
    return pack::ReadLr5Resource(bytes);
  }
  return bytes;
}

std::string SizeAndCrc(int64_t size, const uint8_t* data) {
  std::string crc = size >= 0 ? Quote(Hex32(Crc32Block(size > 0 ? data : nullptr,
                                                       static_cast<uint32_t>(size))))
                              : "null";
  return "{\"size\":" + std::to_string(size) + ",\"crc32\":" + crc + "}";
}

void PrintContainer(const std::vector<uint8_t>& bytes, const std::string& head) {
  TLameIni ini;
  MemoryStream stream(bytes.data(), bytes.size());
  ini.LoadFromStream(stream);

  std::string out = "{" + head + "\"version\":" + std::to_string(ini.Version()) +
                    ",\"enciphered\":" + (ini.Enciphered() == 1 ? "true" : "false") +
                    ",\"compressed\":" + (ini.Compressed() == 1 ? "true" : "false") +
                    ",\"key\":" + Quote(HexBytes(ini.Key().data(), ini.Key().size())) +
                    ",\"sections\":[";
  bool first_section = true;
  for (const auto& section : ini.Sections()) {
    out += first_section ? "" : ",";
    first_section = false;
    out += "{\"name\":" + Text(section->Name) +
           ",\"hash\":" + Quote(Hex32(static_cast<uint32_t>(section->Hash))) + ",\"values\":[";
    bool first_value = true;
    for (const auto& value : section->Values) {
      out += first_value ? "" : ",";
      first_value = false;
      std::string name = value->Name;
      if (name.empty()) {
        auto known = KnownNames().find(value->Hash);
        if (known != KnownNames().end()) name = known->second;
      }
      out += "{\"hash\":" + Quote(Hex32(static_cast<uint32_t>(value->Hash))) +
             ",\"name\":" + Text(name) + ",\"kind\":" + std::to_string(value->Kind);
      switch (value->Kind) {
        case TLameIniValue::kInteger: out += ",\"value\":" + std::to_string(value->IntValue); break;
        case TLameIniValue::kString: out += ",\"value\":" + Text(value->StrValue); break;
        case TLameIniValue::kBinary:
          ini.UnpackBinary(*value);
          out += "," + SizeAndCrc(value->BinSize, value->BinData).substr(1);
          out.pop_back();
          break;
        case TLameIniValue::kRaw3: out += ",\"value\":" + Quote(HexBytes(value->Raw3.data(), 8)); break;
        case TLameIniValue::kRaw4: out += ",\"value\":" + Quote(HexBytes(value->Raw4.data(), 8)); break;
        case TLameIniValue::kBool:
          out += ",\"value\":";
          out += value->BoolValue == 0 ? "false"
                 : value->BoolValue == 1 ? "true"
                                         : std::to_string(value->BoolValue);
          break;
      }
      out += "}";
    }
    out += "]}";
  }
  out += "]}\n";
  std::fputs(out.c_str(), stdout);
}

// The head of an action-6 item's delta stream: the old file it was made for
// and the file it rebuilds; null when the stream is malformed.
std::string DeltaHeadJson(const TFileItem& item) {
  DeltaHead head;
  try {
    if (item.DataSize < 0 || static_cast<size_t>(item.DataSize) > item.Data.size()) return "null";
    head = ReadDeltaHead(item.Data.data(), static_cast<size_t>(item.DataSize));
  } catch (const Error&) {
    return "null";
  }
  return "{\"old_size\":" + std::to_string(head.old_size) + ",\"old_crc32\":" + Quote(Hex32(head.old_crc)) +
         ",\"new_size\":" + std::to_string(head.new_size) + ",\"new_crc32\":" + Quote(Hex32(head.new_crc)) + "}";
}

// The release names a bit set stands for ("Releases", one per line).
std::string ReleasesJson(uint32_t bits, const std::string& names) {
  std::string out = "[";
  size_t start = 0;
  for (uint32_t r = 0; r < 32 && start <= names.size(); ++r) {
    size_t end = names.find('\n', start);
    if (end == std::string::npos) end = names.size();
    if (bits >> r & 1) out += (out.size() > 1 ? "," : "") + Text(names.substr(start, end - start));
    start = end + 1;
  }
  return out + "]";
}

std::string AlternativesJson(const ItemAlternatives& t, const std::string& names) {
  std::string out = "{\"new\":" + (t.new_present ? "{\"size\":" + std::to_string(t.new_size) + ",\"crc32\":" +
                                                     Quote(Hex32(t.new_crc)) + "}"
                                               : std::string("\"removed\"")) +
                    ",\"from\":[";
  for (size_t i = 0; i < t.list.size(); ++i) {
    const ItemAlternative& a = t.list[i];
    std::string base = a.base == kBaseAbsent ? "\"absent\""
                       : a.base == kBaseAny  ? "\"any (fallback)\""
                                             : "{\"size\":" + std::to_string(a.base_size) +
                                                   ",\"crc32\":" + Quote(Hex32(a.base_crc)) + "}";
    out += (i ? "," : "") + std::string("{\"base\":") + base + ",\"action\":" + std::to_string(a.action) +
           ",\"data_item\":" + std::to_string(a.data_item) + ",\"offset\":" + std::to_string(a.offset) +
           ",\"length\":" + std::to_string(a.length) + ",\"releases\":" + ReleasesJson(a.releases, names) + "}";
  }
  return out + "]}";
}

void PrintDescription(const std::vector<uint8_t>& bytes, const std::string& head) {
  TUpdateFile file;
  MemoryStream stream(bytes.data(), bytes.size());
  file.LoadFromStream(stream);

  auto field = [](const char* name, const std::string& json) {
    return std::string("\"") + name + "\":" + json;
  };
  std::string picture = "null";
  if (!file.Picture.Empty()) {
    picture = "{\"width\":" + std::to_string(file.Picture.Width()) +
              ",\"height\":" + std::to_string(file.Picture.Height()) +
              ",\"bits\":" + std::to_string(file.Picture.BitsPerPixel()) + "}";
  }
  const auto& doc = file.DocumentText.Bytes();
  std::string out = "{" + head + field("ProjectName", Text(file.ProjectName)) + "," +
                    field("DefaultDir", Text(file.DefaultDir)) + "," +
                    field("WinURL", Text(file.WinURL)) + "," + field("Picture", picture) + "," +
                    field("FormCaption", Text(file.FormCaption)) + "," +
                    field("Language", std::to_string(file.Language)) + "," +
                    field("ButtonCaption", Text(file.ButtonCaption)) + "," +
                    field("DocumentType", std::to_string(file.DocumentType)) + "," +
                    field("DocumentText", SizeAndCrc(static_cast<int64_t>(doc.size()), doc.data())) + "," +
                    field("AutorName", Text(file.AutorName)) + "," +
                    field("AutorMail", Text(file.AutorMail)) + "," +
                    field("AutorWWW", Text(file.AutorWWW)) + "," +
                    field("AllOrNothing", file.AllOrNothing ? "true" : "false") + ",";
  if (!file.Releases.empty()) out += field("Releases", Text(file.Releases)) + ",";
  out += "\"Items\":[";
  for (size_t i = 0; i < file.Items.size(); ++i) {
    TFileItem& item = file.Items[i];
    ItemDataInUse data(file, item);
    out += i ? "," : "";
    out += "{" + field("OriginName", Text(item.OriginName)) + "," +
           field("UpdateName", Text(item.UpdateName)) + "," + field("Path", Text(item.Path)) + "," +
           field("Action", std::to_string(item.Action)) + "," +
           field("DataSize", std::to_string(item.DataSize)) + "," +
           field("Data", SizeAndCrc(static_cast<int64_t>(item.Data.size()), item.Data.data())) + "," +
           field("CheckSize", std::to_string(item.CheckSize)) + "," +
           field("CheckCRC", std::to_string(item.CheckCRC)) + "," +
           field("Size", std::to_string(item.Size)) + "," +
           (item.HasSize64 ? field("Size64", std::to_string(item.Size64)) + "," : std::string()) +
           field("CRC", Quote(Hex32(static_cast<uint32_t>(item.CRC))));
    if (item.HasNewCheck) {
      out += "," + field("NewSize", std::to_string(item.NewSize)) + "," +
             field("NewCRC", Quote(Hex32(static_cast<uint32_t>(item.NewCRC))));
    }
    if (item.Action == 6) out += "," + field("Delta", DeltaHeadJson(item));
    if (item.Overlay.Present()) {
      const OverlayPayload& o = item.Overlay;
      out += "," + field("Overlay", "{" + field("At", std::to_string(o.at)) + "," +
                                        field("Length", std::to_string(o.length)) + "," +
                                        field("Size", std::to_string(o.size)) + "," +
                                        field("CRC", Quote(Hex32(o.crc))) + "," +
                                        field("Block", std::to_string(o.block)) + "}");
    }
    if (!item.Alternatives.list.empty())
      out += "," + field("Alternatives", AlternativesJson(item.Alternatives, file.Releases));
    out += "}";
  }
  out += "]}\n";
  std::fputs(out.c_str(), stdout);
}

int RunInspect(const Args& args);

const Command kCommand = {"inspect", "print a package or installer's package as JSON", kUsage,
                          &RunInspect};

int RunInspect(const Args& args) {
  bool description = false;
  std::string path;
  for (const std::string& a : args) {
    if (a == "--description") {
      description = true;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return UsageError(kCommand, "unknown option " + a);
    } else if (path.empty()) {
      path = a;
    } else {
      return UsageError(kCommand, "only one FILE, please");
    }
  }
  if (path.empty()) return UsageError(kCommand, "FILE missing");
  std::string head;
  std::vector<uint8_t> bytes = PackageBytes(path, head);
  if (description) PrintDescription(bytes, head);
  else PrintContainer(bytes, head);
  return 0;
}

}  // namespace

UPKIT_COMMAND(kCommand);

}  // namespace upkit::cli
