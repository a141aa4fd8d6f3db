#include "install/item_report.h"

#include <string>

#include "install/path_macros.h"
#include "texts/texts.h"

namespace upkit {

namespace {

bool g_backup = false;

// Removes leading and trailing characters with codes 0 to 32.
std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

// The text of the current language, as a string that can be concatenated.
std::string Pick(const TextPair& pair) { return PickText(pair); }

// The message text with each "%d" replaced by the next value in turn, as
// printf would; the stub carries no printf (its formatter is ~25 KiB).
std::string FillDecimals(const char* format, int32_t first, int32_t second) {
  const int32_t values[2] = {first, second};
  int used = 0;
  std::string text;
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 'd' && used < 2) {
      text += std::to_string(values[used++]);
      ++p;
    } else {
      text += *p;
    }
  }
  return text;
}

}  // namespace

UpdateCounts CloseEarly(ResultsLog& log, const TextPair& line, uint32_t colour, UpdateCounts counts) {
  log.AppendLogLine("", kLogWhite);
  log.AppendLogLine(Pick(line), colour);
  log.SetProgressPosition(0);
  log.MarkForRepaint();
  return counts;
}

void LogItemLead(ResultsLog& log, const TFileItem& item) {
  log.AppendLogText(Pick(text::kUpdating), kLogWhite);
  log.AppendLogText(Trim(item.OriginName), kLogNameColour);
  log.AppendLogText(text::kItemNameEnd, kLogWhite);
}

UpdateCounts CloseRun(ResultsLog& log, UpdateCounts counts) {
  log.AppendLogLine("", kLogWhite);
  if (counts.failed == 0) {
    log.AppendLogLine(Pick(text::kUpdateInstalled), kLogWhite);
  } else {
    log.AppendLogLine(FillDecimals(PickText(text::kUpdateFinishedWithErrors), counts.failed, counts.items),
                      kLogRed);
  }
  if (counts.scheduled != 0) log.AppendLogLine(Pick(text::kRestartNeeded), kLogWhite);
  log.SetProgressPosition(0);
  log.MarkForRepaint();
  return counts;
}

void SetBackupOption(bool on) { g_backup = on; }
bool BackupOption() { return g_backup; }

std::string FolderPart(const std::string& file_name) {
  size_t end = file_name.find_last_of("\\:");
  return end == std::string::npos ? std::string() : file_name.substr(0, end + 1);
}

std::string FullFileName(const std::string& destination, const TFileItem& item) {
  return FullFileName(destination, item.Path, item.OriginName);
}

std::string FullFileName(const std::string& destination, const std::string& item_path, const std::string& name) {
  std::string folder = destination;
  if (folder.empty() || folder.back() != '\\') folder += '\\';
  std::string path = Trim(item_path);
  if (path == "\\") path.clear();
  if (!path.empty()) {
    // A macro names an absolute folder: the item lives there, not below the
    // destination folder (appending it would give no usable name).
    const bool absolute = StartsWithPathMacro(path);
    path = ExpandPathMacros(path);
    if (!absolute && !path.empty() && path.front() == '\\') path.erase(0, 1);
    path = Trim(path);
    if (!path.empty()) {
      if (path.back() != '\\') path += '\\';
      folder = absolute ? path : folder + path;
    }
  }
  return folder + name;
}

}  // namespace upkit
