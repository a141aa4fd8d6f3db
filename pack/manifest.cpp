#include "pack/manifest.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "codec/error.h"
#include "pack/ansi_text.h"
#include "pack/host_fs.h"

namespace upkit::pack {

const char* ActionName(int32_t action) {
  switch (action) {
    case kActionResources: return "resources";
    case kActionPatch: return "patch";
    case kActionReplace: return "replace";
    case kActionDelete: return "delete";
    case kActionOpen: return "open";
    case kActionDelta: return "delta";
    default: return "";
  }
}

std::string KeyToHex(const CipherKey& key) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : key) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 15]);
  }
  return s;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads one table of the manifest, naming the file, line and key in errors.
class Reader {
 public:
  Reader(std::string display, std::string base) : display_(std::move(display)), base_(std::move(base)) {}

  [[noreturn]] void Fail(int line, const std::string& what) const {
    throw Error(display_ + ":" + std::to_string(line) + ": " + what);
  }
  [[noreturn]] void Fail(const toml::node& node, const std::string& what) const {
    Fail(static_cast<int>(node.source().begin.line), what);
  }

  std::string Utf8(const toml::node& node, std::string_view key, std::string_view where) const {
    const auto* s = node.as_string();
    if (!s) Fail(node, "\"" + std::string(key) + "\" in " + std::string(where) + " must be a text");
    return s->get();
  }

  std::string Ansi(const toml::node& node, std::string_view key, std::string_view where) const {
    std::string utf8 = Utf8(node, key, where);
    auto ansi = Utf8ToCp1251(utf8);
    if (!ansi)
      Fail(node, "\"" + std::string(key) + "\" in " + std::string(where) + ": \"" + utf8 +
                     "\" cannot be written in code page 1251");
    return *ansi;
  }

  std::string File(const toml::node& node, std::string_view key, std::string_view where) const {
    std::string utf8 = Utf8(node, key, where);
    if (utf8.empty()) Fail(node, "\"" + std::string(key) + "\" in " + std::string(where) + " is empty");
    std::filesystem::path p = HostPath(utf8);
    if (p.is_relative()) p = HostPath(base_) / p;
    return Utf8Path(p.lexically_normal());
  }

  bool Bool(const toml::node& node, std::string_view key, std::string_view where) const {
    const auto* b = node.as_boolean();
    if (!b) Fail(node, "\"" + std::string(key) + "\" in " + std::string(where) + " must be true or false");
    return b->get();
  }

  int64_t Int(const toml::node& node, std::string_view key, std::string_view where, int64_t lo, int64_t hi) const {
    const auto* i = node.as_integer();
    if (!i || i->get() < lo || i->get() > hi)
      Fail(node, "\"" + std::string(key) + "\" in " + std::string(where) + " must be a whole number from " +
                     std::to_string(lo) + " to " + std::to_string(hi));
    return i->get();
  }

  // A 32-bit value given as signed or unsigned (CRCs are often written in hex).
  int32_t Word(const toml::node& node, std::string_view key, std::string_view where) const {
    return static_cast<int32_t>(static_cast<uint32_t>(Int(node, key, where, INT32_MIN, UINT32_MAX)));
  }

  [[noreturn]] void Unknown(const toml::key& key, std::string_view where) const {
    Fail(static_cast<int>(key.source().begin.line),
         "unknown key \"" + std::string(key.str()) + "\"" + (where.empty() ? "" : " in " + std::string(where)));
  }

  const toml::table& Table(const toml::node& node, std::string_view key, std::string_view where) const {
    const auto* t = node.as_table();
    if (!t) Fail(node, "\"" + std::string(key) + "\" " + std::string(where) + " must be a table");
    return *t;
  }

  // A resource type or name: a number or a text.
  void Id(const toml::node& node, std::string_view key, bool& is_text, uint16_t& number, std::string& text) const {
    if (node.is_integer()) {
      is_text = false;
      number = static_cast<uint16_t>(Int(node, key, "a resource", 0, 0xFFFF));
      return;
    }
    is_text = true;
    text = Ansi(node, key, "a resource");
    if (text.empty() || text.size() > 0xFFFF) Fail(node, "\"" + std::string(key) + "\" of a resource is empty");
  }

  void Project(const toml::table& t, Manifest& m) const {
    static constexpr std::string_view kWhere = "[project]";
    for (auto&& [key, node] : t) {
      std::string_view k = key.str();
      if (k == "name") m.name = Ansi(node, k, kWhere);
      else if (k == "caption") m.caption = Ansi(node, k, kWhere);
      else if (k == "button") m.button = Ansi(node, k, kWhere);
      else if (k == "default_dir") m.default_dir = Ansi(node, k, kWhere);
      else if (k == "url") m.url = Ansi(node, k, kWhere);
      else if (k == "picture") m.picture = File(node, k, kWhere);
      else if (k == "document") m.document = File(node, k, kWhere);
      else if (k == "language") {
        std::string v = Utf8(node, k, kWhere);
        if (v == "en") m.language = 1;
        else if (v == "ru") m.language = 0;
        else Fail(node, "\"language\" in [project] must be \"en\" or \"ru\", not \"" + v + "\"");
      } else if (k == "document_type") {
        std::string v = Utf8(node, k, kWhere);
        if (v == "licence") m.document_type = 0;
        else if (v == "guide") m.document_type = 1;
        else Fail(node, "\"document_type\" in [project] must be \"licence\" or \"guide\", not \"" + v + "\"");
      } else if (k == "elevation") {
        std::string v = Utf8(node, k, kWhere);
        if (v == "admin") m.elevation = Elevation::kAdmin;
        else if (v == "user") m.elevation = Elevation::kUser;
        else Fail(node, "\"elevation\" in [project] must be \"admin\" or \"user\", not \"" + v + "\"");
      } else if (k == "author") {
        for (auto&& [akey, anode] : Table(node, k, "in [project]")) {
          std::string_view a = akey.str();
          if (a == "name") m.author_name = Ansi(anode, a, "[project.author]");
          else if (a == "mail") m.author_mail = Ansi(anode, a, "[project.author]");
          else if (a == "web") m.author_web = Ansi(anode, a, "[project.author]");
          else Unknown(akey, "[project.author]");
        }
      } else {
        Unknown(key, kWhere);
      }
    }
  }

  void Package(const toml::table& t, Manifest& m) const {
    static constexpr std::string_view kWhere = "[package]";
    for (auto&& [key, node] : t) {
      std::string_view k = key.str();
      if (k == "version") m.version = static_cast<int32_t>(Int(node, k, kWhere, 2, 3));
      else if (k == "enciphered") m.enciphered = Bool(node, k, kWhere);
      else if (k == "compressed") m.compressed = Bool(node, k, kWhere);
      else if (k == "level") m.level = static_cast<int>(Int(node, k, kWhere, 1, 9));
      else if (k == "all_or_nothing") m.all_or_nothing = Bool(node, k, kWhere);
      else if (k == "key") {
        std::string hex = Utf8(node, k, kWhere);
        CipherKey key_bytes{};
        bool ok = hex.size() == 64;
        for (size_t i = 0; ok && i < 32; ++i) {
          int hi = HexDigit(hex[2 * i]), lo = HexDigit(hex[2 * i + 1]);
          ok = hi >= 0 && lo >= 0;
          if (ok) key_bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
        }
        if (!ok) Fail(node, "\"key\" in [package] must be 64 hexadecimal digits");
        m.key = key_bytes;
      } else if (k == "releases") {
        m.releases = Names(node, k, kWhere);
        if (m.releases.size() > 32) Fail(node, "\"releases\" in [package] names more than 32 releases");
      } else {
        Unknown(key, kWhere);
      }
    }
  }

  std::vector<uint8_t> HexBytes(const toml::node& node) const {
    std::string hex = Utf8(node, "bytes", "a patch record");
    std::vector<uint8_t> out;
    int pending = -1;
    for (char c : hex) {
      if (c == ' ' || c == '\t' || c == '\n') continue;
      int d = HexDigit(c);
      if (d < 0) Fail(node, "\"bytes\" of a patch record must be hexadecimal digits");
      if (pending < 0) {
        pending = d;
      } else {
        out.push_back(static_cast<uint8_t>(pending << 4 | d));
        pending = -1;
      }
    }
    if (pending >= 0) Fail(node, "\"bytes\" of a patch record has an odd number of digits");
    return out;
  }

  ManifestItem Item(const toml::table& t) const {
    static constexpr std::string_view kWhere = "[[item]]";
    if (t.contains("from")) return MultiItem(t);
    ManifestItem item;
    item.line = static_cast<int>(t.source().begin.line);
    const toml::node* action_node = nullptr;
    bool has_update_name = false;
    // Keys that carry a payload, with the action they belong to.
    std::vector<std::pair<std::string_view, const toml::node*>> payload;
    for (auto&& [key, node] : t) {
      std::string_view k = key.str();
      if (k == "origin_name") item.origin_name = Ansi(node, k, kWhere);
      else if (k == "update_name") { item.update_name = Ansi(node, k, kWhere); has_update_name = true; }
      else if (k == "path") item.path = Ansi(node, k, kWhere);
      else if (k == "action") action_node = &node;
      else if (k == "check_size") item.check_size = Bool(node, k, kWhere);
      else if (k == "check_crc") item.check_crc = Bool(node, k, kWhere);
      else if (k == "size") item.size = Int(node, k, kWhere, INT32_MIN, INT64_MAX);
      else if (k == "crc") item.crc = Word(node, k, kWhere);
      else if (k == "base_name") item.base_name = Ansi(node, k, kWhere);
      else if (k == "base_path") item.base_path = Ansi(node, k, kWhere);
      else if (k == "base_moves") item.base_moves = Bool(node, k, kWhere);
      else if (k == "file" || k == "old" || k == "new" || k == "stream" || k == "new_size" || k == "records" ||
               k == "resources")
        payload.emplace_back(k, &node);
      else Unknown(key, kWhere);
    }
    if (!action_node) Fail(item.line, "[[item]] needs \"action\"");
    std::string action = Utf8(*action_node, "action", kWhere);
    for (int32_t a = kActionResources; a <= kActionDelta; ++a)
      if (action == ActionName(a)) item.action = a;
    if (!item.action)
      Fail(*action_node, "\"action\" in [[item]] must be one of resources, patch, replace, delete, open, delta; "
                             "not \"" + action + "\"");
    if (item.origin_name.empty()) Fail(item.line, "[[item]] needs a non-empty \"origin_name\"");
    if (!has_update_name) item.update_name = item.origin_name;

    for (auto [k, node] : payload) {
      bool fits = (k == "file" && item.action == kActionReplace) ||
                  ((k == "old" || k == "new" || k == "new_size" || k == "records") && item.action == kActionPatch) ||
                  ((k == "old" || k == "new" || k == "stream") && item.action == kActionDelta) ||
                  (k == "resources" && item.action == kActionResources);
      if (!fits) Fail(*node, "key \"" + std::string(k) + "\" does not belong to a \"" + action + "\" item");
      if (k == "file") item.file = File(*node, k, kWhere);
      else if (k == "old") item.old_file = File(*node, k, kWhere);
      else if (k == "new") item.new_file = File(*node, k, kWhere);
      else if (k == "stream") item.stream_file = File(*node, k, kWhere);
      else if (k == "new_size") item.new_size = static_cast<int32_t>(Int(*node, k, kWhere, 0, INT32_MAX));
      else if (k == "records") Records(*node, item);
      else if (k == "resources") Resources(*node, item);
    }

    if (item.action != kActionDelta && !item.base_name.empty())
      Fail(item.line, "\"base_name\" belongs to a \"delta\" item");
    switch (item.action) {
      case kActionReplace:
        if (item.file.empty()) Fail(item.line, "a \"replace\" item needs \"file\"");
        break;
      case kActionPatch: {
        bool pair = !item.old_file.empty() || !item.new_file.empty();
        bool explicit_records = item.new_size.has_value() || !item.records.empty();
        if (pair && explicit_records)
          Fail(item.line, "a \"patch\" item takes either \"old\" and \"new\" or \"new_size\" and \"records\"");
        if (pair && (item.old_file.empty() || item.new_file.empty()))
          Fail(item.line, "a \"patch\" item needs both \"old\" and \"new\"");
        if (!pair && !item.new_size)
          Fail(item.line, "a \"patch\" item needs \"old\" and \"new\", or \"new_size\" and \"records\"");
        break;
      }
      case kActionResources:
        if (item.resources.empty()) Fail(item.line, "a \"resources\" item needs \"resources\"");
        break;
      case kActionDelta:
        if (item.old_file.empty() || item.new_file.empty())
          Fail(item.line, "a \"delta\" item needs both \"old\" and \"new\"");
        if (item.base_name.empty() && (!item.base_path.empty() || item.base_moves))
          Fail(item.line, "\"base_path\" and \"base_moves\" need \"base_name\"");
        break;
      default:
        break;
    }
    // Expected values come from the old file when the item has one.
    if (item.check_size && !item.size && item.old_file.empty())
      Fail(item.line, "\"check_size\" needs \"size\" in [[item]]");
    if (item.check_crc && !item.crc && item.old_file.empty())
      Fail(item.line, "\"check_crc\" needs \"crc\" in [[item]]");
    return item;
  }

  // A list of texts (release names), each non-empty.
  std::vector<std::string> Names(const toml::node& node, std::string_view key, std::string_view where) const {
    const auto* arr = node.as_array();
    if (!arr) Fail(node, "\"" + std::string(key) + "\" in " + std::string(where) + " must be a list of texts");
    std::vector<std::string> names;
    for (const toml::node& el : *arr) {
      names.push_back(Utf8(el, key, where));
      if (names.back().empty()) Fail(el, "\"" + std::string(key) + "\" in " + std::string(where) + " holds an empty name");
    }
    return names;
  }

  // An item with [[item.from]] tables: one alternative per old content.
  ManifestItem MultiItem(const toml::table& t) const {
    static constexpr std::string_view kWhere = "a multi-release [[item]]";
    ManifestItem item;
    item.line = static_cast<int>(t.source().begin.line);
    bool has_update_name = false;
    for (auto&& [key, node] : t) {
      std::string_view k = key.str();
      if (k == "origin_name") item.origin_name = Ansi(node, k, kWhere);
      else if (k == "update_name") { item.update_name = Ansi(node, k, kWhere); has_update_name = true; }
      else if (k == "path") item.path = Ansi(node, k, kWhere);
      else if (k == "new") item.new_file = File(node, k, kWhere);
      else if (k == "full_fallback") item.full_fallback = Bool(node, k, kWhere);
      else if (k == "from") From(node, item);
      else if (k == "action" || k == "check_size" || k == "check_crc" || k == "size" || k == "crc" || k == "file" ||
               k == "old" || k == "stream" || k == "new_size" || k == "records" || k == "resources")
        Fail(node, "key \"" + std::string(k) + "\" does not belong to " + std::string(kWhere) +
                       " (each [[item.from]] has its own)");
      else Unknown(key, kWhere);
    }
    if (item.origin_name.empty()) Fail(item.line, "[[item]] needs a non-empty \"origin_name\"");
    if (!has_update_name) item.update_name = item.origin_name;
    if (item.from.empty()) Fail(item.line, "a multi-release [[item]] needs at least one [[item.from]]");
    for (const ManifestAlternative& a : item.from) {
      const bool removes = item.new_file.empty();
      if (removes != (a.action == kActionDelete))
        Fail(a.line, removes ? "an [[item]] without \"new\" removes the file: each [[item.from]] must be \"delete\""
                             : "an [[item]] with \"new\" cannot \"delete\" the file");
    }
    return item;
  }

  void From(const toml::node& node, ManifestItem& item) const {
    static constexpr std::string_view kWhere = "[[item.from]]";
    const auto* arr = node.as_array();
    if (!arr) Fail(node, "\"from\" must be written as [[item.from]] tables");
    for (const toml::node& el : *arr) {
      const auto* t = el.as_table();
      if (!t) Fail(el, "\"from\" must be written as [[item.from]] tables");
      ManifestAlternative a;
      a.line = static_cast<int>(t->source().begin.line);
      const toml::node* action_node = nullptr;
      for (auto&& [key, v] : *t) {
        std::string_view k = key.str();
        if (k == "old") a.old_file = File(v, k, kWhere);
        else if (k == "absent") a.absent = Bool(v, k, kWhere);
        else if (k == "action") action_node = &v;
        else if (k == "stream") a.stream_file = File(v, k, kWhere);
        else if (k == "releases") a.releases = Names(v, k, kWhere);
        else Unknown(key, kWhere);
      }
      if (!action_node) Fail(a.line, "[[item.from]] needs \"action\"");
      std::string action = Utf8(*action_node, "action", kWhere);
      for (int32_t c : {kActionPatch, kActionReplace, kActionDelete, kActionDelta})
        if (action == ActionName(c)) a.action = c;
      if (!a.action)
        Fail(*action_node, "\"action\" in [[item.from]] must be one of patch, replace, delete, delta; not \"" +
                               action + "\"");
      if (a.absent == !a.old_file.empty())
        Fail(a.line, "[[item.from]] needs either \"old\" or \"absent = true\"");
      if (a.absent && a.action != kActionReplace)
        Fail(a.line, "an absent file can only be added: \"action\" must be \"replace\"");
      if (!a.stream_file.empty() && a.action != kActionDelta)
        Fail(a.line, "\"stream\" belongs to a \"delta\" [[item.from]] only");
      item.from.push_back(std::move(a));
    }
  }

  void Records(const toml::node& node, ManifestItem& item) const {
    const auto* arr = node.as_array();
    if (!arr) Fail(node, "\"records\" in [[item]] must be a list of { offset, bytes }");
    for (const toml::node& el : *arr) {
      const auto* t = el.as_table();
      if (!t) Fail(el, "each of \"records\" must be a table { offset, bytes }");
      ManifestPatchRecord r;
      bool has_offset = false, has_bytes = false;
      for (auto&& [key, v] : *t) {
        if (key.str() == "offset") { r.offset = static_cast<int32_t>(Int(v, "offset", "a patch record", 0, INT32_MAX)); has_offset = true; }
        else if (key.str() == "bytes") { r.bytes = HexBytes(v); has_bytes = true; }
        else Unknown(key, "a patch record");
      }
      if (!has_offset || !has_bytes) Fail(el, "a patch record needs \"offset\" and \"bytes\"");
      item.records.push_back(std::move(r));
    }
  }

  void Resources(const toml::node& node, ManifestItem& item) const {
    const auto* arr = node.as_array();
    if (!arr) Fail(node, "\"resources\" in [[item]] must be a list of { type, name, language, file }");
    for (const toml::node& el : *arr) {
      const auto* t = el.as_table();
      if (!t) Fail(el, "each of \"resources\" must be a table { type, name, language, file }");
      ManifestResource r;
      bool has_type = false, has_name = false;
      for (auto&& [key, v] : *t) {
        std::string_view k = key.str();
        if (k == "type") { Id(v, k, r.type_is_name, r.type_id, r.type_name); has_type = true; }
        else if (k == "name") { Id(v, k, r.name_is_text, r.name_id, r.name_text); has_name = true; }
        else if (k == "language") r.language = static_cast<uint16_t>(Int(v, k, "a resource", 0, 0xFFFF));
        else if (k == "file") r.file = File(v, k, "a resource");
        else if (k == "remove") r.remove = Bool(v, k, "a resource");
        else Unknown(key, "a resource");
      }
      if (!has_type || !has_name) Fail(el, "a resource needs \"type\" and \"name\"");
      if (r.remove == !r.file.empty()) Fail(el, "a resource needs either \"file\" or \"remove = true\"");
      item.resources.push_back(std::move(r));
    }
  }

 private:
  std::string display_;
  std::string base_;
};

// ---- writing ----

std::string Quote(std::string_view utf8) {
  std::string out = "\"";
  for (char ch : utf8) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '"') out += "\\\"";
    else if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", c);
      out += buf;
    } else {
      out.push_back(ch);
    }
  }
  return out + "\"";
}

std::string QuoteAnsi(std::string_view ansi) { return Quote(Cp1251ToUtf8(ansi)); }

std::string RelativeTo(const std::string& file, const std::string& base_dir) {
  std::filesystem::path p = std::filesystem::absolute(HostPath(file)).lexically_normal();
  std::filesystem::path base = std::filesystem::absolute(HostPath(base_dir)).lexically_normal();
  std::filesystem::path rel = p.lexically_relative(base);
  if (rel.empty() || p.root_name() != base.root_name()) rel = p;
  std::u8string s = rel.generic_u8string();
  return std::string(s.begin(), s.end());
}

std::string Hex32(int32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08" PRIX32, static_cast<uint32_t>(v));
  return buf;
}

std::string IdValue(bool is_text, uint16_t number, const std::string& text) {
  return is_text ? QuoteAnsi(text) : std::to_string(number);
}

std::string QuoteList(const std::vector<std::string>& utf8) {
  std::string s = "[";
  for (size_t i = 0; i < utf8.size(); ++i) s += (i ? ", " : "") + Quote(utf8[i]);
  return s + "]";
}

std::string FormatMultiItem(const ManifestItem& it, const std::string& base_dir) {
  std::string s = "\n[[item]]\norigin_name = " + QuoteAnsi(it.origin_name) + "\n";
  if (it.update_name != it.origin_name) s += "update_name = " + QuoteAnsi(it.update_name) + "\n";
  if (!it.path.empty()) s += "path = " + QuoteAnsi(it.path) + "\n";
  if (!it.new_file.empty()) s += "new = " + Quote(RelativeTo(it.new_file, base_dir)) + "\n";
  if (it.full_fallback) s += "full_fallback = true\n";
  for (const ManifestAlternative& a : it.from) {
    s += "[[item.from]]\n";
    if (!a.releases.empty()) s += "releases = " + QuoteList(a.releases) + "\n";
    s += a.absent ? "absent = true\n" : "old = " + Quote(RelativeTo(a.old_file, base_dir)) + "\n";
    s += std::string("action = \"") + ActionName(a.action) + "\"\n";
    if (!a.stream_file.empty()) s += "stream = " + Quote(RelativeTo(a.stream_file, base_dir)) + "\n";
  }
  return s;
}

}  // namespace

Manifest ParseManifest(std::string_view text, const std::string& display, const std::string& base_dir) {
  Reader reader(display, base_dir);
  toml::table root;
  try {
    root = toml::parse(text, display);
  } catch (const toml::parse_error& e) {
    reader.Fail(static_cast<int>(e.source().begin.line), std::string(e.description()));
  }
  Manifest m;
  for (auto&& [key, node] : root) {
    std::string_view k = key.str();
    if (k == "project") {
      reader.Project(reader.Table(node, k, ""), m);
    } else if (k == "package") {
      reader.Package(reader.Table(node, k, ""), m);
    } else if (k == "item") {
      const auto* arr = node.as_array();
      if (!arr) reader.Fail(node, "\"item\" must be written as [[item]] tables");
      for (const toml::node& el : *arr) {
        const auto* t = el.as_table();
        if (!t) reader.Fail(el, "\"item\" must be written as [[item]] tables");
        m.items.push_back(reader.Item(*t));
      }
    } else {
      reader.Unknown(key, "");
    }
  }
  // Release names of the alternatives must be those of [package].
  for (const ManifestItem& it : m.items)
    for (const ManifestAlternative& a : it.from)
      for (const std::string& name : a.releases)
        if (std::find(m.releases.begin(), m.releases.end(), name) == m.releases.end())
          reader.Fail(a.line, "release \"" + name + "\" of [[item.from]] is not in \"releases\" of [package]");
  return m;
}

Manifest LoadManifest(const std::string& path) {
  std::vector<uint8_t> bytes = ReadHostFile(path);
  std::string base = Utf8Path(HostPath(path).parent_path());
  if (base.empty()) base = ".";
  return ParseManifest(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), path, base);
}

std::string FormatManifest(const Manifest& m, const std::string& base_dir) {
  std::string s = "# upkit manifest: `upkit build` turns it into an update executable.\n\n[project]\n";
  auto text = [&](const char* key, const std::string& v) {
    if (!v.empty()) s += std::string(key) + " = " + QuoteAnsi(v) + "\n";
  };
  text("name", m.name);
  text("caption", m.caption);
  text("button", m.button);
  s += "default_dir = " + QuoteAnsi(m.default_dir) + "\n";
  s += std::string("language = ") + (m.language == 0 ? "\"ru\"" : "\"en\"") + "\n";
  text("url", m.url);
  if (m.elevation == Elevation::kUser) s += "elevation = \"user\"\n";
  if (!m.picture.empty()) s += "picture = " + Quote(RelativeTo(m.picture, base_dir)) + "\n";
  if (!m.document.empty()) {
    s += "document = " + Quote(RelativeTo(m.document, base_dir)) + "\n";
    s += std::string("document_type = ") + (m.document_type == 1 ? "\"guide\"" : "\"licence\"") + "\n";
  }
  if (!m.author_name.empty() || !m.author_mail.empty() || !m.author_web.empty()) {
    s += "\n[project.author]\n";
    text("name", m.author_name);
    text("mail", m.author_mail);
    text("web", m.author_web);
  }
  s += "\n[package]\nversion = " + std::to_string(m.version) + "\n";
  s += std::string("enciphered = ") + (m.enciphered ? "true" : "false") + "\n";
  s += std::string("compressed = ") + (m.compressed ? "true" : "false") + "\n";
  s += "level = " + std::to_string(m.level) + "\n";
  if (m.all_or_nothing) s += "all_or_nothing = true\n";
  if (m.key) s += "key = \"" + KeyToHex(*m.key) + "\"\n";
  if (!m.releases.empty()) s += "releases = " + QuoteList(m.releases) + "\n";

  for (const ManifestItem& it : m.items) {
    if (!it.from.empty()) {
      s += FormatMultiItem(it, base_dir);
      continue;
    }
    s += "\n[[item]]\n";
    s += "origin_name = " + QuoteAnsi(it.origin_name) + "\n";
    if (it.update_name != it.origin_name) s += "update_name = " + QuoteAnsi(it.update_name) + "\n";
    if (!it.path.empty()) s += "path = " + QuoteAnsi(it.path) + "\n";
    s += std::string("action = \"") + ActionName(it.action) + "\"\n";
    if (it.check_size) s += "check_size = true\n";
    if (it.size) s += "size = " + std::to_string(*it.size) + "\n";
    if (it.check_crc) s += "check_crc = true\n";
    if (it.crc) s += "crc = " + Hex32(*it.crc) + "\n";
    if (!it.file.empty()) s += "file = " + Quote(RelativeTo(it.file, base_dir)) + "\n";
    if (!it.old_file.empty()) s += "old = " + Quote(RelativeTo(it.old_file, base_dir)) + "\n";
    if (!it.new_file.empty()) s += "new = " + Quote(RelativeTo(it.new_file, base_dir)) + "\n";
    if (!it.stream_file.empty()) s += "stream = " + Quote(RelativeTo(it.stream_file, base_dir)) + "\n";
    if (!it.base_name.empty()) {
      s += "base_name = " + QuoteAnsi(it.base_name) + "\n";
      if (!it.base_path.empty()) s += "base_path = " + QuoteAnsi(it.base_path) + "\n";
      if (it.base_moves) s += "base_moves = true\n";
    }
    if (it.new_size) s += "new_size = " + std::to_string(*it.new_size) + "\n";
    if (!it.records.empty()) {
      s += "records = [\n";
      for (const auto& r : it.records) {
        s += "  { offset = " + std::to_string(r.offset) + ", bytes = \"";
        for (uint8_t b : r.bytes) {
          char buf[3];
          std::snprintf(buf, sizeof buf, "%02x", b);
          s += buf;
        }
        s += "\" },\n";
      }
      s += "]\n";
    }
    if (!it.resources.empty()) {
      s += "resources = [\n";
      for (const auto& r : it.resources) {
        s += "  { type = " + IdValue(r.type_is_name, r.type_id, r.type_name) +
             ", name = " + IdValue(r.name_is_text, r.name_id, r.name_text) +
             ", language = " + std::to_string(r.language);
        s += r.remove ? ", remove = true },\n" : ", file = " + Quote(RelativeTo(r.file, base_dir)) + " },\n";
      }
      s += "]\n";
    }
  }
  return s;
}

}  // namespace upkit::pack
