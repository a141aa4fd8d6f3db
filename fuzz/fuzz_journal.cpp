// Feeds arbitrary text to the all-or-nothing journal reader and its checks
// for the destination C:\App. No crash, and every journal the checks accept
// names only files and folders below the destination, or the one file
// outside it that the package itself names (and names beside that file).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "install/journal.h"

namespace {

std::string Lowered(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

// Inside `folder` (lower case, ending in "\"), with no part that climbs or
// names a stream, device path or share.
bool Inside(const std::string& name, const std::string& folder) {
  const std::string low = Lowered(name);
  if (low.compare(0, folder.size(), folder) != 0 || low.size() == folder.size()) return false;
  const std::string rest = "\\" + low.substr(folder.size()) + "\\";
  return rest.find("\\..\\") == std::string::npos && rest.find("\\.\\") == std::string::npos &&
         rest.find("\\\\") == std::string::npos && rest.find(':') == std::string::npos &&
         rest.find('/') == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte: whether the package names a file outside the destination.
  const bool outside = data[0] & 1;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::vector<std::string> targets = outside ? std::vector<std::string>{"D:\\Shared\\lib.dll"}
                                                   : std::vector<std::string>{};
  upkit::JournalPlan plan;
  if (!upkit::ParseJournal(text, &plan) || !upkit::JournalIsSound(plan, "C:\\App\\", targets)) return 0;
  auto allowed = [&](const std::string& name, bool folder) {
    if (Inside(name, "c:\\app\\")) return true;
    if (!outside) return false;
    const std::string low = Lowered(name);
    if (folder) return low == "d:\\shared";
    return low == "d:\\shared\\lib.dll" || (Inside(name, "d:\\shared\\") && low.find('\\', 10) == std::string::npos);
  };
  for (const std::string& folder : plan.folders) {
    if (!allowed(folder, true)) __builtin_trap();
  }
  for (const upkit::JournalEntry& entry : plan.entries) {
    for (const std::string* name : {&entry.target, &entry.staged, &entry.aside}) {
      if (!name->empty() && !allowed(*name, false)) __builtin_trap();
    }
  }
  // A restart state always has an in-use entry to wait for.
  if (plan.restart) {
    bool waits = false;
    for (const upkit::JournalEntry& entry : plan.entries) waits = waits || entry.kind == 'r' || entry.kind == 'd';
    if (!waits) __builtin_trap();
  }
  return 0;
}
