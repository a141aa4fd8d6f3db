#include "install/journal.h"

#include <cstring>
#include <string_view>

#include "texts/join_text.h"

namespace upkit {

namespace {

constexpr char kJournalHead[] = "upkit journal 2";
constexpr size_t kIdentityDigits = 24;

constexpr char kHex[] = "0123456789ABCDEF";

std::string Hex32(uint32_t value) {
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = kHex[value & 15];
  return text;
}

// The value of an upper-case hex digit, or -1.
int HexDigit(char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; }

bool IsIdentity(const std::string& text) {
  if (text.size() != kIdentityDigits) return false;
  for (char c : text) {
    if (HexDigit(c) < 0) return false;
  }
  return true;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Names compare as Windows compares them: letter case does not count (ASCII;
// two spellings that differ in other letters count as different names,
// which can only refuse a journal, never widen one).
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// True when `name` lies inside the folder `folder` (given without a final
// "\"), at any depth.
bool Below(const std::string& name, const std::string& folder) {
  return name.size() > folder.size() + 1 && name[folder.size()] == '\\' &&
         SameName(std::string_view(name).substr(0, folder.size()), folder);
}

// "X:\" and one or more parts, each a plain name.
bool IsPlainFullName(const std::string& name) {
  if (name.size() < 4 || Lower(name[0]) < 'a' || Lower(name[0]) > 'z' || name[1] != ':' || name[2] != '\\') {
    return false;
  }
  size_t begin = 3;
  for (;;) {
    size_t end = name.find('\\', begin);
    std::string_view part = std::string_view(name).substr(begin, end == std::string::npos ? end : end - begin);
    if (part.empty() || part.back() == '.' || part.back() == ' ') return false;
    for (char c : part) {
      if (static_cast<unsigned char>(c) < 32 || std::strchr("/:*?\"<>|", c) != nullptr) return false;
    }
    if (end == std::string::npos) return true;
    begin = end + 1;
  }
}

// `name` is `target`'s folder plus "~upk", 8 lower-case hex digits and
// `extension`.
bool IsWorkName(const std::string& name, const std::string& target, const char* extension) {
  const size_t folder = target.rfind('\\') + 1;  // targets are full names
  if (name.size() != folder + 16 || name.compare(0, folder, target, 0, folder) != 0 ||
      name.compare(folder, 4, "~upk") != 0 || name.compare(folder + 12, 4, extension) != 0) {
    return false;
  }
  for (size_t i = folder + 4; i < folder + 12; ++i) {
    if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'f'))) return false;
  }
  return true;
}

}  // namespace

std::string JournalPath(const std::string& destination) {
  const bool ends_folder = !destination.empty() && destination.back() == '\\';
  return JoinText({destination, ends_folder ? "" : "\\", kJournalName});
}

std::string MadeLine(size_t entry, const std::string& identity) {
  char digits[12], *end = digits + sizeof digits, *at = end;
  do *--at = static_cast<char>('0' + entry % 10); while ((entry /= 10) != 0);
  return JoinText({"made ", std::string_view(at, static_cast<size_t>(end - at)), " ", identity, "\n"});
}

std::string FormatJournal(const JournalPlan& plan) {
  std::string text = JoinText({kJournalHead, "\npackage ", Hex32(plan.identity), "\n"});
  for (const std::string& folder : plan.folders) text += JoinText({"folder ", folder, "\n"});
  for (const JournalEntry& e : plan.entries) {
    const char kind[] = {e.kind, ' ', 0};
    text += JoinText({"file ", kind, e.target, "|", e.staged, "|", e.aside, "|", e.original, "\n"});
  }
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    if (!plan.entries[i].made.empty()) text += MadeLine(i, plan.entries[i].made);
  }
  if (plan.staged) text += "staged\n";
  for (int i = 0; i < plan.restarts; ++i) text += "restart\n";
  if (plan.undo) text += "undo\n";
  return text;
}

bool ParseJournal(const std::string& text, JournalPlan* plan) {
  size_t at = 0;
  bool head = false;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = text.substr(at, end - at);
    if (!head) {
      if (line != kJournalHead) return false;
      head = true;
    } else if (line.rfind("package ", 0) == 0 && line.size() == 16) {
      for (size_t k = 8; k < 16; ++k) {
        int digit = HexDigit(line[k]);
        if (digit < 0) return false;
        plan->identity = plan->identity << 4 | static_cast<uint32_t>(digit);
      }
    } else if (line.rfind("folder ", 0) == 0) {
      plan->folders.push_back(line.substr(7));
    } else if (line.rfind("file ", 0) == 0 && line.size() > 7 && line[6] == ' ') {
      JournalEntry entry;
      entry.kind = line[5];
      size_t bar[3], from = 7;
      for (size_t& b : bar) {
        b = line.find('|', from);
        if (b == std::string::npos) return false;
        from = b + 1;
      }
      if (std::strchr("RNDrd", entry.kind) == nullptr || entry.kind == 0) return false;
      entry.target = line.substr(7, bar[0] - 7);
      entry.staged = line.substr(bar[0] + 1, bar[1] - bar[0] - 1);
      entry.aside = line.substr(bar[1] + 1, bar[2] - bar[1] - 1);
      entry.original = line.substr(bar[2] + 1);
      plan->entries.push_back(std::move(entry));
    } else if (line.rfind("made ", 0) == 0) {
      // "made <entry> <identity>": only for an entry already read, once.
      size_t space = line.find(' ', 5), index = 0;
      if (space == std::string::npos || space == 5 || space > 5 + 9) return false;
      for (size_t k = 5; k < space; ++k) {
        if (line[k] < '0' || line[k] > '9') return false;
        index = index * 10 + static_cast<size_t>(line[k] - '0');
      }
      if (index >= plan->entries.size() || !plan->entries[index].made.empty()) return false;
      plan->entries[index].made = line.substr(space + 1);
      if (plan->entries[index].made.empty()) return false;
    } else if (line == "staged") {
      plan->staged = true;
    } else if (line == "restart") {
      plan->restart = true;
      ++plan->restarts;
    } else if (line == "undo") {
      plan->undo = true;
    } else {
      return false;
    }
  }
  // A journal cut short before its plan was complete (even an empty file)
  // is one whose update never staged anything: it reads as such.
  return true;
}

bool JournalIsSound(const JournalPlan& plan, const std::string& destination,
                    const std::vector<std::string>& package_targets) {
  std::string base = destination;
  while (!base.empty() && base.back() == '\\') base.pop_back();
  if (!IsPlainFullName(base)) return false;
  if ((plan.restart && (!plan.staged || plan.undo))) return false;
  bool waits = false;
  for (const JournalEntry& e : plan.entries) {
    if (!IsPlainFullName(e.target)) return false;
    bool named = false;
    for (const std::string& own : package_targets) named = named || SameName(own, e.target);
    if (!named && !Below(e.target, base)) return false;
    // Which fields each kind has: staged, aside, original.
    const bool has_staged = e.kind == 'R' || e.kind == 'N' || e.kind == 'r';
    const bool has_aside = e.kind == 'R' || e.kind == 'D';
    const bool has_original = e.kind != 'N';
    if (has_staged ? !IsWorkName(e.staged, e.target, ".tmp") : !e.staged.empty()) return false;
    if (has_aside ? !IsWorkName(e.aside, e.target, ".old") : !e.aside.empty()) return false;
    if (has_original ? !IsIdentity(e.original) : !e.original.empty()) return false;
    if (!e.made.empty() && (!has_staged || !IsIdentity(e.made))) return false;
    if (plan.staged && has_staged && e.made.empty()) return false;
    waits = waits || e.kind == 'r' || e.kind == 'd';
  }
  if (plan.restart && !waits) return false;
  for (const std::string& folder : plan.folders) {
    if (!IsPlainFullName(folder)) return false;
    bool above = false;
    // Below the destination, or above a file outside it that the package names.
    for (const JournalEntry& e : plan.entries) {
      above = above || (Below(e.target, folder) && (Below(folder, base) || !Below(e.target, base)));
    }
    if (!above) return false;
  }
  return true;
}

}  // namespace upkit
