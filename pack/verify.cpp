#include "pack/verify.h"

#include <system_error>

#include "codec/crc32.h"
#include "codec/error.h"
#include "delta/delta.h"
#include "pack/ansi_text.h"
#include "pack/host_fs.h"
#include "pack/manifest.h"
#include "package/alternatives.h"
#include "texts/texts.h"

namespace upkit::pack {
namespace {

std::string Trim(std::string s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

bool StartsWithMacro(const std::string& path) {
  for (const char* macro : {"$DRIVE$\\", "$SETDIR$\\", "$PATH$\\"}) {
    std::string m = macro;
    if (path.size() < m.size()) continue;
    bool same = true;
    for (size_t i = 0; i < m.size() && same; ++i) {
      char c = path[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      char d = m[i];
      if (d >= 'A' && d <= 'Z') d = static_cast<char>(d - 'A' + 'a');
      same = c == d;
    }
    if (same) return true;
  }
  return false;
}

// The item's sub-folder as the engine forms it: trimmed, one leading "\"
// dropped, "\" taken as empty; empty when there is none.
std::string SubFolder(const std::string& raw) {
  std::string p = Trim(raw);
  if (p == "\\") return "";
  if (!p.empty() && p[0] == '\\') p = Trim(p.substr(1));
  return p;
}

std::string Signed(int64_t v) { return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(v))); }

// CRC-32 of a whole host file, of any size, read in bounded pieces; false
// when it cannot be read.
bool FileCrc(const std::filesystem::path& file, uint32_t* crc) {
  try {
    *crc = SourceCrc(FileByteSource(Utf8Path(file)), 0);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// What the delta action finds before it rebuilds anything: a readable head
// whose old size and CRC-32 are the file's. Empty when it would go ahead.
std::string DeltaProblem(const TFileItem& item, const std::filesystem::path& file, uint64_t size) {
  DeltaHead head;
  try {
    if (item.DataSize < 0 || static_cast<size_t>(item.DataSize) > item.Data.size()) throw Error(kStreamReadError);
    head = ReadDeltaHead(item.Data.data(), static_cast<size_t>(item.DataSize));
  } catch (const Error& e) {
    return "skip: " + e.Message();
  }
  uint32_t crc = 0;
  if (size == head.old_size && FileCrc(file, &crc) && crc == head.old_crc) return "";
  return std::string("skip: ") + text::kDeltaWrongBase.english + " (it needs size " + std::to_string(head.old_size) +
         " CRC " + Signed(head.old_crc) + ")";
}

// The releases a bit set names ("Releases", one per line), joined by ", ".
std::string ReleaseList(uint32_t bits, const std::string& names) {
  std::string out;
  size_t start = 0;
  for (uint32_t r = 0; r < 32 && start <= names.size(); ++r) {
    size_t end = names.find('\n', start);
    if (end == std::string::npos) end = names.size();
    if (bits >> r & 1) out += (out.empty() ? "" : ", ") + Cp1251ToUtf8(names.substr(start, end - start));
    start = end + 1;
  }
  return out.empty() ? "a known release" : out;
}

// A multi-release item: picks the alternative the installer would, turns
// the item into it and says which release the file is in `matched`; false
// with `r` filled when the item is done without an action or cannot apply.
bool ChooseOnHost(TFileItem& item, const std::filesystem::path& file, const std::string& names, VerifyResult& r,
                  std::string& matched) {
  InstalledFile found;
  std::error_code ec;
  found.exists = std::filesystem::exists(file, ec);
  if (found.exists && std::filesystem::is_regular_file(file, ec)) {
    found.size = std::filesystem::file_size(file, ec);
    found.crc_read = !ec && FileCrc(file, &found.crc);
  }
  const int pick = PickAlternative(item.Alternatives, found);
  if (pick == kAlreadyNew) {
    r.applies = true;
    r.outcome = "already new";
    return false;
  }
  if (pick == kNoKnownBase) {
    r.outcome = "skip: no known release";
    return false;
  }
  const ItemAlternative& a = item.Alternatives.list[static_cast<size_t>(pick)];
  matched = a.base == kBaseAny ? "no known release, fallback" : "release " + ReleaseList(a.releases, names);
  UseAlternative(item, static_cast<size_t>(pick));
  return true;
}

}  // namespace

std::vector<VerifyResult> VerifyUpdate(TUpdateFile& update, const std::string& dir) {
  std::vector<VerifyResult> out;
  for (TFileItem& item : update.Items) {
    VerifyResult r;
    std::string sub = SubFolder(item.Path);
    r.name = Cp1251ToUtf8(sub.empty() ? item.OriginName : sub + "\\" + item.OriginName);
    if (!sub.empty() && StartsWithMacro(sub)) {
      r.outcome = "path starts with a path macro; cannot be checked here";
      out.push_back(std::move(r));
      continue;
    }
    auto in_folder = [&](const std::string& sub_folder, const std::string& name) {
      std::filesystem::path f = HostPath(dir);
      std::string host_sub = Cp1251ToUtf8(sub_folder);
      for (char& c : host_sub)
        if (c == '\\') c = '/';
      if (!host_sub.empty()) f /= HostPath(host_sub);
      return f / HostPath(Cp1251ToUtf8(name));
    };
    std::filesystem::path file = in_folder(sub, item.OriginName);
    std::string matched;
    if (!item.Alternatives.list.empty() && !ChooseOnHost(item, file, update.Releases, r, matched)) {
      out.push_back(std::move(r));
      continue;
    }
    // A loaded item holds its payload only while it is looked at.
    ItemDataInUse data(update, item);
    // A delta from another file of the product reads that file and makes its own.
    const bool from_base = item.Action == kActionDelta && !item.BaseName.empty();
    const std::filesystem::path base = from_base ? in_folder(SubFolder(item.BasePath), item.BaseName) : file;

    std::error_code ec;
    bool exists = std::filesystem::is_regular_file(file, ec);
    bool waived =
        item.Action == kActionReplace || item.Action == kActionDelete || item.Action == kActionOpen || from_base;
    if (!exists && !waived) {
      r.outcome = "skip: not found in " + Utf8Path(file.parent_path());
      out.push_back(std::move(r));
      continue;
    }
    uint64_t size = exists ? std::filesystem::file_size(file, ec) : 0;
    if (ec) size = 0;
    // The full size with "Size64", else its low 32 bits, as the installer compares.
    const bool wrong_size = item.HasSize64 ? size != item.Size64
                                           : static_cast<int32_t>(static_cast<uint32_t>(size)) != item.Size;
    if (item.CheckSize == 1 && wrong_size) {
      r.outcome = item.HasSize64 ? "skip: wrong file size " + std::to_string(size) + " need " + std::to_string(item.Size64)
                                 : "skip: wrong file size " + Signed(size) + " need " + std::to_string(item.Size);
      out.push_back(std::move(r));
      continue;
    }
    if (item.CheckCRC == 1) {
      int32_t found = -1;  // a missing or empty file cannot be mapped by the installer
      uint32_t crc = 0;
      const bool read = exists && size > 0 && FileCrc(file, &crc);
      if (read) found = static_cast<int32_t>(crc);
      if (!read || found != item.CRC) {
        r.outcome = "skip: wrong file CRC " + std::to_string(found) + " need " + std::to_string(item.CRC);
        out.push_back(std::move(r));
        continue;
      }
    }
    if (item.Action == kActionDelta) {
      uint64_t base_size = from_base ? std::filesystem::file_size(base, ec) : size;
      if (from_base && ec) {
        r.outcome = "skip: base " + Utf8Path(base) + " not found";
        out.push_back(std::move(r));
        continue;
      }
      r.outcome = DeltaProblem(item, base, base_size);
      if (!r.outcome.empty()) {
        out.push_back(std::move(r));
        continue;
      }
    }
    r.applies = true;
    const char* name = ActionName(item.Action);
    r.outcome = *name ? name : "nothing to do (action " + std::to_string(item.Action) + ")";
    if (item.Action == kActionDelete && !exists) r.outcome = "delete (already absent)";
    if (item.Action == kActionReplace && !exists) {
      // The installer creates the missing folders of a new file's path.
      bool folder_there = std::filesystem::is_directory(file.parent_path(), ec);
      r.outcome = folder_there ? "replace (new file)"
                               : "replace (new file; creates folder " + Utf8Path(file.parent_path()) + ")";
    }
    if (item.Action == kActionDelta) {
      DeltaHead head = ReadDeltaHead(item.Data.data(), static_cast<size_t>(item.DataSize));
      r.outcome = "delta (rebuilds the file: " + std::to_string(head.new_size) + " bytes)";
      if (from_base)
        r.outcome = "delta from " + Cp1251ToUtf8(item.BaseName) + " (makes the file: " + std::to_string(head.new_size) +
                    " bytes" + (item.BaseMoves == 1 ? ", then deletes the base)" : ")");
    }
    if (!matched.empty()) r.outcome = matched + ": " + r.outcome;
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace upkit::pack
