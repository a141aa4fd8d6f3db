#include "install/alternative_choice.h"

#include <windows.h>

#include "install/file_crc.h"
#include "texts/texts.h"

namespace upkit {

AlternativeChoice ChooseAlternative(const std::string& file_name, TFileItem& item) {
  InstalledFile file;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (::GetFileAttributesExA(file_name.c_str(), GetFileExInfoStandard, &data)) {
    file.exists = true;
    // A folder of that name is no release of the file: its CRC stays unread.
    const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    file.size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    if (!folder && file.size == 0) {
      file.crc_read = true;  // the CRC-32 of no bytes
    } else if (!folder && AlternativesNeedCrc(item.Alternatives, file)) {
      file.crc_read = FileCrc32(file_name, &file.crc);
    }
  }
  const int pick = PickAlternative(item.Alternatives, file);
  if (pick == kAlreadyNew) return AlternativeChoice::kAlreadyNew;
  if (pick == kNoKnownBase) return AlternativeChoice::kNoKnownRelease;
  UseAlternative(item, static_cast<size_t>(pick));
  return AlternativeChoice::kChosen;
}

bool AlternativeDecides(const std::string& file_name, TFileItem& item, ItemCheck* check) {
  if (item.Alternatives.list.empty()) return false;
  switch (ChooseAlternative(file_name, item)) {
    case AlternativeChoice::kAlreadyNew:
      check->state = ItemReadiness::kUpToDate;
      return true;
    case AlternativeChoice::kNoKnownRelease:
      check->state = ItemReadiness::kFailed;
      check->reason = PickText(text::kNoKnownRelease);
      return true;
    default:
      return false;
  }
}

}  // namespace upkit
