// The bilingual text table and the process-wide language flag.
//
// Every text the installer itself shows exists in Russian and in English; the
// flag (0 Russian, 1 English) decides which one PickText hands out. Texts that
// come from the package or from the operating system are not in this table.
//
// The Russian texts are code page 1251 bytes, ready for the ANSI window and
// message-box functions. They are written here as readable UTF-8 literals and
// converted to code page 1251 at compile time (Cp1251<"..."> below); a
// character that code page 1251 cannot hold stops the build.
//
// Portable: no <windows.h>, builds natively and for Win32.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "codec/cp1251.h"

namespace upkit {

// ---- Language flag ----------------------------------------------------------

// 0 selects Russian, 1 English; any other value leaves the flag unchanged.
void SetLanguage(uint32_t value);
// The current flag (1, English, until SetLanguage(0) is called).
uint32_t LanguageFlag();

// The English text when the flag is not 0, else the Russian text. Evaluated
// when a text is built: nothing already on screen follows a later change.
const char* PickText(const char* russian, const char* english);

struct TextPair {
  const char* russian;  // code page 1251
  const char* english;
};
const char* PickText(const TextPair& pair);

// ---- UTF-8 -> code page 1251 at compile time --------------------------------

// The code page 1251 byte for a Unicode code point, or -1 when the code page
// has none. ASCII maps to itself; 0x98 is the code page's one unused byte.
constexpr int Cp1251FromCodePoint(char32_t c) { return cp1251::FromCodePoint(c); }

namespace texts_detail {

// A string literal as a structural type, so it can be a template argument.
template <size_t N>
struct Utf8Literal {
  char bytes[N]{};
  consteval Utf8Literal(const char (&text)[N]) {
    for (size_t i = 0; i < N; ++i) bytes[i] = text[i];
  }
};

// Decodes one UTF-8 sequence at bytes[i]; advances i. Malformed input is not
// a constant expression (the throw), so it fails the build.
template <size_t N>
constexpr char32_t DecodeUtf8(const char (&bytes)[N], size_t& i) {
  auto unit = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  unsigned char lead = unit(i);
  if (lead < 0x80) return static_cast<char32_t>(bytes[i++]);
  size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
  if (extra == 0 || extra >= N - 1 - i) throw "malformed UTF-8";
  char32_t c = lead & (0x3F >> extra);
  for (size_t k = 1; k <= extra; ++k) {
    if ((unit(i + k) & 0xC0) != 0x80) throw "malformed UTF-8";
    c = (c << 6) | (unit(i + k) & 0x3F);
  }
  i += extra + 1;
  return c;
}

template <Utf8Literal S>
consteval size_t CodePointCount() {
  size_t count = 0;
  for (size_t i = 0; i + 1 < sizeof(S.bytes);) {
    DecodeUtf8(S.bytes, i);
    ++count;
  }
  return count;
}

template <Utf8Literal S>
consteval std::array<char, CodePointCount<S>() + 1> ConvertToCp1251() {
  std::array<char, CodePointCount<S>() + 1> out{};
  size_t o = 0;
  for (size_t i = 0; i + 1 < sizeof(S.bytes);) {
    int byte = Cp1251FromCodePoint(DecodeUtf8(S.bytes, i));
    if (byte < 0) throw "character not in code page 1251";
    out[o++] = static_cast<char>(byte);
  }
  out[o] = '\0';
  return out;
}

}  // namespace texts_detail

// The code page 1251 bytes of a UTF-8 literal, zero-terminated.
template <texts_detail::Utf8Literal S>
inline constexpr std::array<char, texts_detail::CodePointCount<S>() + 1> Cp1251 =
    texts_detail::ConvertToCp1251<S>();

// ---- The text table ---------------------------------------------------------

namespace text {

// Run-sequence and message-box texts.
inline constexpr TextPair kError{Cp1251<"Ошибка">.data(), "Error"};
inline constexpr TextPair kException{Cp1251<"Исключение: ">.data(), "Exception: "};
inline constexpr TextPair kConfirmation{Cp1251<"Подтверждение">.data(), "Confirmation"};
inline constexpr TextPair kBrowseTitle{Cp1251<"Обзор">.data(), "Browse"};
inline constexpr TextPair kErrorPrefix{Cp1251<"Ошибка: ">.data(), "Error: "};
inline constexpr TextPair kOperationCanceled{Cp1251<"Операция отменена. Обновление невозможно">.data(),
                                             "Operation canceled, and Update is incomplete"};

// Document dialog.
inline constexpr TextPair kLicenseAgreement{Cp1251<"Лицензионное соглашение">.data(),
                                            "License agreement"};
inline constexpr TextPair kLicenseAgreementHeading{Cp1251<"Лицензионное соглашение:">.data(),
                                                   "License agreement:"};
inline constexpr TextPair kAcceptLicense{Cp1251<"Я принимаю условия соглашения">.data(),
                                         "I accept the terms in the License Agreement"};
inline constexpr TextPair kUserGuide{Cp1251<"Руководство пользователя">.data(), "User Guide"};
inline constexpr TextPair kUserGuideHeading{Cp1251<"Руководство пользователя:">.data(),
                                            "User Guide:"};
inline constexpr TextPair kNext{Cp1251<"Далее>">.data(), "Next>"};
inline constexpr TextPair kExit{Cp1251<"Выход">.data(), "Exit"};

// Wizard window.
inline constexpr TextPair kUpdateProgramFor{Cp1251<"Вы запустили программу обновления для">.data(),
                                            "This is the Update program for"};
inline constexpr TextPair kAuthorInformation{Cp1251<"Информация об авторе">.data(),
                                             "Author information"};
inline constexpr TextPair kChooseDestination{Cp1251<"Выбор папки для установки">.data(),
                                             "Choose Destination Location"};
inline constexpr TextPair kDestinationFolder{Cp1251<"Папка установки:">.data(),
                                             "Destination folder:"};
inline constexpr TextPair kBrowseLink{Cp1251<"Выбрать">.data(), "Browse"};
inline constexpr TextPair kUpdateFileCount{Cp1251<"Обновляемых файлов: ">.data(),
                                           "Update file count: "};
inline constexpr TextPair kBackupFiles{Cp1251<"Создать резервные копии файлов">.data(),
                                       "Backup the files that will be modified"};
inline constexpr TextPair kCancel{Cp1251<"Отмена">.data(), "Cancel"};
inline constexpr TextPair kWrongFolder{Cp1251<"Папка для установки не существует !">.data(),
                                       "Wrong folder selected !"};

// Results window.
inline constexpr TextPair kUpdateResults{Cp1251<"Процесс обновления:">.data(), "Update results:"};
inline constexpr TextPair kQuitQuestion{
    Cp1251<"Обновление не завершено. Если выйти сейчас, программа не будет обновлена.\r\n"
           "Для завершения обновления потребуется запустить этот патч ещё раз.\r\n"
           "Вы настаиваете на выходе?">
        .data(),
    "Update is not complete.  If you quit now, the program will not be installed.\r\n"
    "You may run this program again at a later time to complete the Update.\r\n"
    "Are you sure to quit?"};
inline constexpr TextPair kClose{Cp1251<"Закрыть">.data(), "Close"};

// Engine log lines.
inline constexpr TextPair kUpdating{Cp1251<"Обновление [">.data(), "Updating ["};
inline constexpr TextPair kNotFoundIn{Cp1251<"не найден в ">.data(), "not found in "};
inline constexpr TextPair kWrongFileSize{Cp1251<"не верный размер файла ">.data(),
                                         "wrong file size "};
inline constexpr TextPair kNeed{Cp1251<" надо ">.data(), " need "};
inline constexpr TextPair kWrongFileCrc{Cp1251<"не верная контрольная сумма(CRC) файла ">.data(),
                                        "wrong file CRC "};
// The English text begins with a blank, the Russian one does not.
inline constexpr TextPair kSkipped{Cp1251<"пропущен из-за ошибки: ">.data(),
                                   " has been skipped, error: "};
inline constexpr TextPair kUpdateInstalled{Cp1251<"Файлы успешно обновлены !">.data(),
                                           "Update installed successfully !"};
// printf format: files not updated, then the item count.
inline constexpr TextPair kUpdateFinishedWithErrors{
    Cp1251<"Обновление завершено с ошибками: не обновлено файлов: %d из %d.">.data(),
    "Update finished with errors: %d of %d files were not updated."};
inline constexpr TextPair kResourcesErrorWriting{Cp1251<"Ошибка записи ресурсов: ">.data(),
                                                 "Resources error writing: "};
// Delta action failures, shown after kSkipped.
inline constexpr TextPair kDeltaWrongBase{
    Cp1251<"файл не тот, для которого сделана эта дельта">.data(),
    "the file is not the one this delta was made for"};
inline constexpr TextPair kDeltaResultMismatch{
    Cp1251<"восстановленный файл не совпадает с ожидаемым">.data(),
    "the rebuilt file does not match"};
// A multi-release item whose file is none of the releases it updates.
inline constexpr TextPair kNoKnownRelease{
    Cp1251<"файл не совпадает ни с одной известной версией">.data(),
    "the file matches no release this update knows"};

// Files in use: the item's line after "OK, ", then the line after the
// closing line.
inline constexpr TextPair kReplacedAtRestart{
    Cp1251<"файл занят и будет заменён при перезагрузке Windows">.data(),
    "the file is in use and will be replaced when Windows restarts"};
inline constexpr TextPair kDeletedAtRestart{
    Cp1251<"файл занят и будет удалён при перезагрузке Windows">.data(),
    "the file is in use and will be deleted when Windows restarts"};
inline constexpr TextPair kRestartNeeded{
    Cp1251<"Перезагрузите Windows, чтобы завершить обновление.">.data(),
    "Restart Windows to complete the update."};

// All-or-nothing updates (install/transaction.h): an item already done, the
// check failures of their own, and the closing lines.
inline constexpr TextPair kAlreadyUpToDate{Cp1251<"уже обновлён">.data(), "already up to date"};
inline constexpr TextPair kFileInUse{Cp1251<"файл занят другой программой">.data(),
                                     "the file is in use by another program"};
inline constexpr TextPair kFolderNotWritable{Cp1251<"нельзя записывать в папку ">.data(),
                                             "cannot write to the folder "};
// Followed by the volume, kNeed and the byte count.
inline constexpr TextPair kNotEnoughSpace{Cp1251<"мало места на диске ">.data(),
                                          "not enough free space on "};
inline constexpr TextPair kNoFileChanged{
    Cp1251<"Обновление не установлено: ни один файл не изменён.">.data(),
    "The update was not installed: no file was changed."};
inline constexpr TextPair kUpdateUndone{
    Cp1251<"Обновление отменено: все файлы остались прежними.">.data(),
    "The update was undone: every file is as it was."};
// When undoing failed too (a file locked meanwhile): the journal stays.
inline constexpr TextPair kUpdateStoppedPartWay{
    Cp1251<"Обновление прервано: следующий запуск установщика завершит или отменит его.">.data(),
    "The update stopped part-way: the next run of the installer finishes or undoes it."};
inline constexpr TextPair kPreviousFinished{
    Cp1251<"Прерванное ранее обновление завершено.">.data(),
    "An interrupted earlier update was finished."};
inline constexpr TextPair kPreviousUndone{
    Cp1251<"Прерванное ранее обновление отменено.">.data(),
    "An interrupted earlier update was undone."};
inline constexpr TextPair kCompletesAtRestart{
    Cp1251<"Обновление завершится при перезагрузке Windows.">.data(),
    "The update completes when Windows restarts."};
inline constexpr TextPair kJournalUnreadable{
    Cp1251<"Журнал прерванного обновления не читается: ">.data(),
    "The journal of an interrupted update cannot be read: "};

// Command line: the switch list, its box caption, and the lines for a bad
// switch, a missing destination folder and a log file that cannot be made.
inline constexpr TextPair kCommandLine{Cp1251<"Командная строка">.data(), "Command line"};
inline constexpr TextPair kSwitchList{
    Cp1251<"Ключи (регистр не важен):\r\n"
           "/S\tбез окон и вопросов; лицензия считается принятой\r\n"
           "/D=ПАПКА\tпапка установки; последним ключом, без кавычек\r\n"
           "/LOG=ФАЙЛ\tписать журнал также в ФАЙЛ (UTF-8)\r\n"
           "/?\tэтот список\r\n\r\n"
           "Коды завершения с /S: 0 готово, 1 пакет не читается, 3 есть ошибки,\r\n"
           "4 нет папки установки, 6 неверный ключ, 3010 нужна перезагрузка.">
        .data(),
    "Switches (letter case does not matter):\r\n"
    "/S\tsilent: no window, no question; the licence is taken as accepted\r\n"
    "/D=FOLDER\tdestination folder; the last switch, without quotes\r\n"
    "/LOG=FILE\talso write the log to FILE (UTF-8)\r\n"
    "/?\tthis list\r\n\r\n"
    "Exit codes with /S: 0 done, 1 package unreadable, 3 errors,\r\n"
    "4 no destination folder, 6 bad switch, 3010 restart needed."};
inline constexpr TextPair kUnknownSwitch{Cp1251<"Неизвестный ключ: ">.data(), "Unknown switch: "};
inline constexpr TextPair kNoDestination{Cp1251<"Папка для установки не существует: ">.data(),
                                         "The destination folder does not exist: "};
inline constexpr TextPair kLogFileFailed{Cp1251<"Не удаётся создать файл журнала: ">.data(),
                                         "Cannot create the log file: "};

// Shown the same in both languages.
inline constexpr const char kItemNameEnd[] = "]  ...  ";
inline constexpr const char kOk[] = "OK";
inline constexpr const char kBackupSuffix[] = ".bak";

}  // namespace text
}  // namespace upkit
