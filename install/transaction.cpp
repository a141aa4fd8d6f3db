#include "install/transaction.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <new>

#include "codec/crc32.h"
#include "codec/error.h"
#include "install/actions.h"
#include "install/alternative_choice.h"
#include "install/delta_action.h"
#include "install/file_install.h"
#include "install/item_check.h"
#include "install/win32_error.h"
#include "install/win32_handle.h"
#include "package/item_lists.h"
#include "texts/join_text.h"
#include "texts/texts.h"

namespace upkit {

namespace {

std::string_view Pick(const TextPair& pair) { return PickText(pair); }

constexpr char kHex[] = "0123456789ABCDEF";

std::string Hex32(uint32_t value) {
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = kHex[value & 15];
  return text;
}

bool Exists(const std::string& path) {
  return !path.empty() && ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Every move is written through: when it returns, the rename is on disk.
// It never replaces a file: a name someone else took fails the move.
void Move(const std::string& from, const std::string& to) {
  if (!::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) RaiseLastSystemError();
}

// The identity of what `file` is open on (journal.h); "other" for a reparse
// point or a folder, which no identity of a plain file matches.
std::string IdentityOf(HANDLE file, DWORD* links = nullptr) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file, &info)) return std::string();
  if (links) *links = info.nNumberOfLinks;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return "other";
  return JoinText({Hex32(info.dwVolumeSerialNumber), Hex32(info.nFileIndexHigh), Hex32(info.nFileIndexLow)});
}

// True when `name` is the file the journal knows as `identity`.
bool Is(const std::string& name, const std::string& identity) {
  return !identity.empty() && !name.empty() && FileIdentity(name) == identity;
}

// Raises the text `reason` + `name`.
[[noreturn]] void Refuse(const TextPair& reason, const std::string& name) {
  throw Error(JoinText({Pick(reason), name}));
}

// Throws when a folder on the way from the destination (`base`) to `name`,
// or `name` itself, is a link: nothing is done through one.
void NoLinkOnTheWay(const std::string& base, const std::string& name) {
  std::string link = LinkOnTheWay(base, name);
  if (!link.empty()) Refuse(text::kPathHasLink, link);
}

// The owner this process gives the files it makes (its token's
// TokenOwner: Administrators for an elevated administrator, else the user),
// and its user; null where the token does not say.
struct ProcessAccount {
  PSID owner = nullptr;
  PSID user = nullptr;
};
const ProcessAccount& Account() {
  static union {
    TOKEN_OWNER owner;
    BYTE bytes[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
  } owner;
  static union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } user;
  static ProcessAccount account;
  static bool asked = false;
  if (!asked) {
    asked = true;
    HANDLE token;
    DWORD size = 0;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
      if (::GetTokenInformation(token, TokenOwner, &owner, sizeof owner, &size)) account.owner = owner.owner.Owner;
      if (::GetTokenInformation(token, TokenUser, &user, sizeof user, &size)) account.user = user.user.User.Sid;
      ::CloseHandle(token);
    }
  }
  return account;
}

// SYSTEM, Administrators, the owner of this process's files, and its user
// unless those files belong to Administrators (an elevated run then trusts
// no file its account made without elevation). OWNER RIGHTS stands for the
// owner, which is checked on its own.
bool IsTrustedSid(PSID sid) {
  const ProcessAccount& account = Account();
  const bool elevated = account.owner && ::IsWellKnownSid(account.owner, WinBuiltinAdministratorsSid);
  return ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         ::IsWellKnownSid(sid, WinCreatorOwnerRightsSid) ||
         (account.owner && ::EqualSid(sid, account.owner)) || (!elevated && account.user && ::EqualSid(sid, account.user));
}

// Deletes a file of ours, read-only or not; a missing one is no failure.
void Remove(const std::string& path) {
  if (path.empty() || ::DeleteFileA(path.c_str())) return;
  DWORD code = ::GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return;
  ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!::DeleteFileA(path.c_str())) RaiseLastSystemError();
}

// The journal file: written once with the plan, then appended to; each
// write is flushed before the step it announces.
class Journal {
 public:
  explicit Journal(std::string path) : path_(std::move(path)) {}

  // A new journal (the name must be free), that only SYSTEM, Administrators
  // and its owner may touch: the folder's rights are not inherited.
  void Create(const JournalPlan& plan) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)", SDDL_REVISION_1,
                                                           &descriptor, nullptr);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    file_.Reset(::CreateFileA(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &attributes, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD code = ::GetLastError();
    ::LocalFree(descriptor);
    if (!file_) RaiseSystemError(code);
    Write(FormatJournal(plan));
  }
  // Continues the journal found on disk through the handle it was read
  // with, at its end.
  void Continue(FileHandle file) {
    file_ = std::move(file);
    if (::SetFilePointer(file_.Get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
        ::GetLastError() != NO_ERROR) {
      RaiseLastSystemError();
    }
  }
  // `state` with its line end.
  void Append(const std::string& state) { Write(state); }
  // A line that needs no flush of its own: the next state line's flush
  // takes it to disk ("made" lines; one lost to a power cut leaves only a
  // staged file that no undo deletes).
  void Note(const std::string& line) { WriteAll(file_.Get(), line.data(), line.size()); }
  void Delete() {
    file_.Reset();
    Remove(path_);
  }
  void Close() { file_.Reset(); }
  bool IsOpen() const { return static_cast<bool>(file_); }
  const std::string& Path() const { return path_; }

 private:
  void Write(std::string_view text) {
    WriteAll(file_.Get(), text.data(), text.size());
    FlushToDisk(file_.Get());
  }
  std::string path_;
  FileHandle file_;
};

bool Deferred(const JournalEntry& entry) { return entry.kind == 'r' || entry.kind == 'd'; }

// Step 5 for one entry, decided from which files exist and what they are:
// can be repeated. Only the files the journal knows by their identity are
// moved, never over a name someone else holds; a staged file that is gone
// before its move is a failure, not a step done.
void CommitEntry(const JournalEntry& entry, const std::string& base) {
  if (Deferred(entry)) return;  // 'r', 'd': at restart
  NoLinkOnTheWay(base, entry.target);
  if (entry.kind == 'D') {
    if (Is(entry.target, entry.original)) Move(entry.target, entry.aside);
    else if (Exists(entry.target)) Refuse(text::kFileChanged, entry.target);
    return;
  }
  if (Is(entry.target, entry.made)) return;  // done
  if (!Is(entry.staged, entry.made)) Refuse(text::kStagedMissing, entry.staged);
  if (entry.kind == 'R' && !Is(entry.aside, entry.original)) {
    if (!Is(entry.target, entry.original)) Refuse(text::kFileChanged, entry.target);
    Move(entry.target, entry.aside);
  }
  Move(entry.staged, entry.target);
}

// Step U for one entry; `committed`: the commit point was passed, so an
// aside may exist. Only a file with the identity the journal recorded is
// moved back or deleted: before the commit point that leaves nothing to move.
void UndoEntry(const JournalEntry& entry, bool committed, const std::string& base) {
  NoLinkOnTheWay(base, entry.target);
  const bool back = committed && Is(entry.aside, entry.original);
  // The new file, moved in: deleted first, so the original never replaces a file.
  if (committed && (back || entry.kind == 'N') && Is(entry.target, entry.made)) Remove(entry.target);
  if (back) Move(entry.aside, entry.target);
  if (Is(entry.staged, entry.made)) Remove(entry.staged);
}

void RemoveFolders(const JournalPlan& plan) {
  for (size_t i = plan.folders.size(); i-- > 0;) ::RemoveDirectoryA(plan.folders[i].c_str());
}

void Undo(const JournalPlan& plan, Journal& journal) {
  const std::string base = FolderPart(journal.Path());
  for (size_t i = plan.entries.size(); i-- > 0;) UndoEntry(plan.entries[i], plan.staged, base);
  RemoveFolders(plan);
  journal.Delete();
}

// Step 7: the originals go (copied to ".bak" first when asked). Every file
// is in place by now, so nothing here undoes: an original that cannot be
// deleted (a running program's image can be renamed, not deleted) is
// deleted at the next restart, or left, and `log` (when given) names it.
void RemoveAsides(const JournalPlan& plan, bool backup, ResultsLog* log) {
  for (const JournalEntry& entry : plan.entries) {
    if (!Is(entry.aside, entry.original)) continue;
    if (backup) {
      // Made anew, never written through a name that is there already.
      const std::string copy = entry.target + text::kBackupSuffix;
      ::DeleteFileA(copy.c_str());
      ::CopyFileA(entry.aside.c_str(), copy.c_str(), TRUE);
    }
    ::SetFileAttributesA(entry.aside.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (::DeleteFileA(entry.aside.c_str())) continue;
    const DWORD code = ::GetLastError();
    const bool later = OnLocalFixedVolume(entry.aside) &&
                       ::MoveFileExA(AbsoluteFileName(entry.aside).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    if (log) {
      log->AppendLogLine(JoinText({entry.aside, ": ", later ? Pick(text::kDeletedAtRestart) : SystemErrorText(code)}),
                         kLogWhite);
    }
  }
}

// The in-use entries that still wait: an 'r' whose staged file is there,
// a 'd' whose target is.
bool Waits(const JournalEntry& entry) {
  return (entry.kind == 'r' && Is(entry.staged, entry.made)) || (entry.kind == 'd' && Is(entry.target, entry.original));
}

// Asks Windows to carry out every waiting entry at the next restart, then
// to delete the journal after them, and takes the request to disk.
void ScheduleWaiting(const JournalPlan& plan, Journal& journal) {
  for (const JournalEntry& entry : plan.entries) {
    if (Waits(entry)) ScheduleAtRestart(entry.kind == 'r' ? entry.staged : entry.target, entry.kind == 'r' ? entry.target : std::string());
  }
  // The journal goes after the files it names.
  journal.Close();
  ScheduleAtRestart(journal.Path(), std::string());
  FlushRestartQueue();
}

// Steps 5 and 6 from wherever they stopped (a failure raises: the caller
// undoes). Returns the number of entries left for the restart.
int32_t Commit(JournalPlan& plan, Journal& journal) {
  const std::string base = FolderPart(journal.Path());
  for (const JournalEntry& entry : plan.entries) CommitEntry(entry, base);
  int32_t deferred = 0;
  for (const JournalEntry& entry : plan.entries) deferred += Deferred(entry);
  if (deferred != 0 && !plan.restart) {
    journal.Append("restart\n");
    plan.restart = true;
    ++plan.restarts;
    ScheduleWaiting(plan, journal);
  }
  return deferred;
}

// Step 7, once every file is in place; the journal stays when entries wait
// for the restart.
void CleanUp(const JournalPlan& plan, Journal& journal, bool backup, ResultsLog* log) {
  RemoveAsides(plan, backup, log);
  if (!plan.restart) journal.Delete();
}

// A journal in the restart state: what Windows has not done yet is done now
// where the file is free; what still waits must be in Windows' queue, and
// what the queue lacks (a crash before it was asked for, a power cut before
// the registry reached the disk) is asked for again, once. When it is still
// missing after that, a restart came and went without it: kStuck.
Recovery RecoverRestart(JournalPlan& plan, Journal& journal, std::string* name) {
  RemoveAsides(plan, false, nullptr);
  const JournalEntry* waiting = nullptr;
  bool missing = false;
  for (const JournalEntry& entry : plan.entries) {
    if (!Waits(entry)) continue;
    if (Is(entry.target, entry.original) &&
        (entry.kind == 'r' ? ::MoveFileExA(entry.staged.c_str(), entry.target.c_str(),
                                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                           : ::DeleteFileA(entry.target.c_str()))) {
      continue;
    }
    waiting = &entry;
    missing = missing || !QueuedForRestart(entry.kind == 'r' ? entry.staged : entry.target);
  }
  if (waiting == nullptr) {
    // Windows has carried out the moves; only the journal may be left.
    journal.Delete();
    return Recovery::kFinished;
  }
  if (!missing) return Recovery::kWaitsForRestart;
  if (plan.restarts >= 2) {
    *name = JoinText({Pick(text::kNotReplacedAtRestart), waiting->target});
    return Recovery::kStuck;
  }
  journal.Append("restart\n");
  ++plan.restarts;
  ScheduleWaiting(plan, journal);
  return Recovery::kWaitsForRestart;
}

// Opens the journal itself, never what a link points to, for reading and
// appending, and reads it whole. *trusted when it is a plain file with one
// name whose owner and rights pass JournalSecurityTrusted. False (nothing
// read) while another run holds it.
bool OpenJournal(const std::string& path, FileHandle* file, std::string* text, bool* trusted) {
  *trusted = false;
  for (DWORD access : {GENERIC_READ | GENERIC_WRITE | READ_CONTROL, GENERIC_READ | READ_CONTROL}) {
    file->Reset(::CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (*file || ::GetLastError() == ERROR_SHARING_VIOLATION) break;
  }
  if (!*file) return ::GetLastError() != ERROR_SHARING_VIOLATION;  // not even readable: not trusted
  DWORD links = 0;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const bool plain = IdentityOf(file->Get(), &links).size() == 24 && links == 1;
  *trusted = plain &&
             ::GetSecurityInfo(file->Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
             JournalSecurityTrusted(descriptor);
  ::LocalFree(descriptor);
  LARGE_INTEGER size;
  if (!*trusted || !::GetFileSizeEx(file->Get(), &size) || size.QuadPart > (64 << 20)) {
    *trusted = false;
    return true;
  }
  text->assign(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  *trusted = text->empty() ||
             (::ReadFile(file->Get(), text->data(), static_cast<DWORD>(text->size()), &got, nullptr) &&
              got == text->size());
  return true;
}

// A name in `folder` that nothing holds yet: "~upk" + 8 hex digits +
// `extension`.
std::string FreeNameIn(const std::string& folder, const char* extension, uint32_t* serial) {
  for (;;) {
    std::string name = folder + TempFileName(16, (*serial)++);
    name.replace(name.size() - 4, 4, extension);
    if (!Exists(name)) return name;
  }
}

// The folders down to `folder` (ending in "\\") that do not exist, outermost
// first.
void AddMissingFolders(const std::string& folder, std::vector<std::string>* folders) {
  // Each folder below the nearest existing one, down to `folder`; a drive's
  // root is never one.
  size_t end = ExistingFolderOf(folder).size();
  for (end = end > 3 ? end : 3; (end = folder.find('\\', end)) != std::string::npos; ++end) {
    std::string missing = folder.substr(0, end);
    bool known = false;
    for (const std::string& f : *folders) known = known || f == missing;
    if (!known) folders->push_back(std::move(missing));
  }
}

// Writes the item's complete new file through `file` (the staged file,
// created with read and write access). Resource updates work on a name: the
// original's copy is closed, rewritten by name and flushed again.
// A delta reads `base` (its BaseName's full name) when that is not empty.
void StageContent(TFileItem& item, const JournalEntry& entry, const std::string& base, FileHandle& file,
                  ResultsLog& log) {
  switch (item.Action) {
    case 1:
      CopyContent(entry.target, file.Get());
      file.Reset();  // flushed once rewritten, below
      WriteResourceList(entry.staged, item, log);
      file.Reset(::CreateFileA(entry.staged.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (!file) RaiseLastSystemError();
      if (IdentityOf(file.Get()) != entry.made) Refuse(text::kStagedMissing, entry.staged);
      break;
    case 2:
      CopyContent(entry.target, file.Get());
      ApplyPatchTo(file.Get(), ReadPatchList(item.Data.data(), static_cast<size_t>(item.DataSize)));
      break;
    case 3:
      WriteReplaceContent(file.Get(), item);
      break;
    case 6:
      RebuildDelta(base.empty() ? entry.target : base, item, file.Get());
      break;
    default:
      break;
  }
  FlushToDisk(file.Get());
  file.Reset();
}

// After a failure: the red line, everything undone, the closing line.
// What cannot be undone now (a file locked meanwhile) stays in the journal
// for the next run to undo.
UpdateCounts Undone(ResultsLog& log, JournalPlan& plan, Journal& journal, const std::string& line, int32_t count) {
  log.AppendLogLine(line, kLogRed);
  const TextPair* closing = &text::kUpdateUndone;
  try {
    if (plan.undo) journal.Append("undo\n");
    Undo(plan, journal);
  } catch (const std::exception&) {
    closing = &text::kUpdateStoppedPartWay;
  }
  return CloseEarly(log, *closing, kLogRed, {count, 1, 0});
}

}  // namespace

std::string FileIdentity(const std::string& name) {
  FileHandle file(::CreateFileA(name.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file ? IdentityOf(file.Get()) : std::string();
}

bool JournalSecurityTrusted(const void* descriptor) {
  PSECURITY_DESCRIPTOR sd = const_cast<void*>(descriptor);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  if (!sd || !::GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !owner || !IsTrustedSid(owner) ||
      !::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl) {
    return false;
  }
  // Rights that let someone change what the journal says or swap it.
  constexpr ACCESS_MASK kSteering = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER |
                                    GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;  // every kind of entry starts with a header and a mask
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) return false;
    const BYTE type = ace->Header.AceType;
    if ((ace->Header.AceFlags & INHERIT_ONLY_ACE) || !(ace->Mask & kSteering)) continue;
    if (type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
        type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE) {
      continue;
    }
    if (type != ACCESS_ALLOWED_ACE_TYPE || !IsTrustedSid(&ace->SidStart)) return false;
  }
  return true;
}

std::vector<std::string> PackageTargets(const TUpdateFile& update) {
  std::vector<std::string> targets;
  for (const TFileItem& item : update.Items) {
    targets.push_back(FullFileName(update.DefaultDir, item));
    if (item.Action == 6 && !item.BaseName.empty()) {
      targets.push_back(FullFileName(update.DefaultDir, item.BasePath, item.BaseName));
    }
  }
  return targets;
}

uint32_t PackageIdentity(const TUpdateFile& update) {
  uint32_t crc = 0;
  for (const TFileItem& item : update.Items) {
    const int32_t numbers[] = {item.Action, item.DataSize, item.Size, item.CRC, item.NewSize, item.NewCRC};
    for (const std::string* text : {&item.Path, &item.OriginName}) {
      crc = Crc32Update(crc, text->data(), static_cast<uint32_t>(text->size() + 1));  // with its terminator
    }
    crc = Crc32Update(crc, numbers, sizeof numbers);
    if (item.HasSize64) crc = Crc32Update(crc, &item.Size64, sizeof item.Size64);  // packages without it as before
  }
  return crc;
}

Recovery RecoverJournal(const std::string& destination, uint32_t identity,
                        const std::vector<std::string>& package_targets, bool* own, std::string* name) {
  *own = false;
  Journal journal(JournalPath(destination));
  if (!Exists(journal.Path())) return Recovery::kNone;
  FileHandle file;
  std::string text;
  JournalPlan plan;
  bool trusted = false;
  if (!OpenJournal(journal.Path(), &file, &text, &trusted)) return Recovery::kUnreadable;
  if (!trusted || !ParseJournal(text, &plan) || !JournalIsSound(plan, destination, package_targets)) {
    // Set aside under a new name, so this run and later ones go on without it.
    file.Reset();
    *name = JoinText({journal.Path(), ".", Hex32(::GetTickCount() ^ ::GetCurrentProcessId() << 16), ".refused"});
    if (::MoveFileExA(journal.Path().c_str(), name->c_str(), MOVEFILE_WRITE_THROUGH)) return Recovery::kRefused;
    *name = journal.Path();
    return Recovery::kRefusedKept;
  }
  *own = plan.identity == identity;
  try {
    journal.Continue(std::move(file));
    if (plan.restart) return RecoverRestart(plan, journal, name);
    if (plan.staged && !plan.undo) {
      // Past the commit point: finished, never undone.
      try {
        Commit(plan, journal);
        CleanUp(plan, journal, false, nullptr);
      } catch (const std::exception& error) {
        *name = error.what();
        return Recovery::kStuck;
      }
      return plan.restart ? Recovery::kWaitsForRestart : Recovery::kFinished;
    }
    Undo(plan, journal);
    return Recovery::kUndone;
  } catch (const std::exception&) {
    return Recovery::kUnreadable;
  }
}

UpdateCounts RunAllOrNothing(TUpdateFile& update, ResultsLog& log) {
  const int32_t count = static_cast<int32_t>(update.Items.size());
  // Of the items as loaded: choosing alternatives below rewrites them.
  const uint32_t identity = PackageIdentity(update);
  // Per item: its file, its check, its journal entry, and the bytes its
  // volume needs when it is the first item on that volume.
  struct Step {
    std::string name;
    std::string base;  // a delta's other base file, when it names one
    ItemCheck check;
    int entry = -1;
    std::string volume;
    uint64_t volume_bytes = 0;
    bool first_on_volume = false;
  };
  std::vector<Step> steps(update.Items.size());

  // Step 1: check every item; nothing is written.
  int32_t failed = 0;
  for (int32_t i = 0; i < count; ++i) {
    TFileItem& item = update.Items[static_cast<size_t>(i)];
    log.SetProgressPosition(i);
    log.MarkForRepaint();
    Step& step = steps[static_cast<size_t>(i)];
    step.name = FullFileName(update.DefaultDir, item);
    if (item.Action == 6 && !item.BaseName.empty())
      step.base = FullFileName(update.DefaultDir, item.BasePath, item.BaseName);
    try {
      for (const std::string* name : {&step.name, &step.base}) NoLinkOnTheWay(update.DefaultDir, *name);
      if (!AlternativeDecides(step.name, item, &step.check)) {
        ItemDataInUse data(update, item);
        CheckItem(step.name, item, &step.check, step.base);
      }
    } catch (const std::exception& error) {
      step.check.state = ItemReadiness::kFailed;
      step.check.reason = JoinText({Pick(text::kSkipped), error.what()});
    }
    failed += step.check.state == ItemReadiness::kFailed;
  }

  // The plan, and the free space it needs on each volume.
  JournalPlan plan;
  plan.identity = identity;
  uint32_t serial = ::GetTickCount() ^ (::GetCurrentProcessId() << 16);
  for (int32_t i = 0; i < count && failed == 0; ++i) {
    const TFileItem& item = update.Items[static_cast<size_t>(i)];
    Step& step = steps[static_cast<size_t>(i)];
    const ItemCheck& check = step.check;
    if (check.state != ItemReadiness::kReady) continue;
    JournalEntry entry;
    entry.target = step.name;
    const std::string folder = FolderPart(entry.target);
    entry.original = FileIdentity(entry.target);
    if (item.Action == 4) {
      entry.kind = check.in_use ? 'd' : 'D';
    } else if (item.Action == 1 || item.Action == 2 || item.Action == 3 || item.Action == 6) {
      entry.kind = check.in_use ? 'r' : (check.exists ? 'R' : 'N');
      if (entry.kind == 'N') entry.original.clear();
      RemoveLeftoverTempFiles(folder);
      entry.staged = FreeNameIn(folder, ".tmp", &serial);
      AddMissingFolders(folder, &plan.folders);
      char volume[MAX_PATH] = {};
      if (::GetVolumePathNameA(folder.empty() ? "." : folder.c_str(), volume, MAX_PATH)) {
        step.volume = volume;
        Step* first = steps.data();
        while (first->volume != step.volume) ++first;
        first->first_on_volume = true;
        first->volume_bytes += check.new_size;
      }
    } else {
      continue;
    }
    if (entry.kind == 'R' || entry.kind == 'D') entry.aside = FreeNameIn(folder, ".old", &serial);
    step.entry = static_cast<int>(plan.entries.size());
    plan.entries.push_back(std::move(entry));
    if (check.base_goes) {  // the base of a delta goes with the rest, after its file is made
      JournalEntry base{check.base_in_use ? 'd' : 'D', step.base, std::string(), std::string(),
                        FileIdentity(step.base), std::string()};
      if (base.kind == 'D') base.aside = FreeNameIn(FolderPart(base.target), ".old", &serial);
      plan.entries.push_back(std::move(base));
    }
  }
  std::string space_failure;
  for (const Step& step : steps) {
    const uint64_t bytes = step.volume_bytes;
    if (!step.first_on_volume) continue;
    const std::string& volume = step.volume;
    ULARGE_INTEGER free_bytes;
    // A margin for the journal and the file system's own records.
    if (::GetDiskFreeSpaceExA(volume.c_str(), &free_bytes, nullptr, nullptr) &&
        free_bytes.QuadPart < bytes + (1u << 20)) {
      space_failure = JoinText({Pick(text::kNotEnoughSpace), volume, Pick(text::kNeed),
                                std::to_string(static_cast<int32_t>((bytes >> 20) + 1)), " MiB"});
    }
  }

  // The plan must be one that a later run will carry out: plain full names
  // (not a share, not relative).
  std::vector<std::string> targets;
  for (const Step& step : steps) {
    for (const std::string* name : {&step.name, &step.base}) {
      if (!name->empty()) targets.push_back(*name);
    }
  }
  if (failed == 0 && space_failure.empty() && !JournalIsSound(plan, update.DefaultDir, targets)) {
    log.AppendLogLine(std::string(Pick(text::kNamesNotPlain)), kLogRed);
    return CloseEarly(log, text::kNoFileChanged, kLogRed, {count, count, 0});
  }
  if (failed != 0 || !space_failure.empty()) {
    for (int32_t i = 0; i < count; ++i) {
      const ItemCheck& check = steps[static_cast<size_t>(i)].check;
      if (check.state != ItemReadiness::kFailed) continue;
      LogItemLead(log, update.Items[static_cast<size_t>(i)]);
      log.AppendLogLine(check.reason, kLogRed);
    }
    if (!space_failure.empty()) log.AppendLogLine(space_failure, kLogRed);
    return CloseEarly(log, text::kNoFileChanged, kLogRed, {count, failed != 0 ? failed : count, 0});
  }

  // Steps 2 and 3: the plan on disk, then every new file staged.
  Journal journal(JournalPath(update.DefaultDir));
  int32_t i = 0;
  try {
    journal.Create(plan);
    for (const std::string& folder : plan.folders) CreateFolders(folder);
    for (i = 0; i < count; ++i) {
      TFileItem& item = update.Items[static_cast<size_t>(i)];
      LogItemLead(log, item);
      log.SetProgressPosition(i);
      log.MarkForRepaint();
      const Step& step = steps[static_cast<size_t>(i)];
      const TextPair* after_ok = nullptr;
      if (step.check.state == ItemReadiness::kUpToDate) after_ok = &text::kAlreadyUpToDate;
      if (step.entry >= 0) {
        JournalEntry& entry = plan.entries[static_cast<size_t>(step.entry)];
        if (!entry.staged.empty()) {
          ItemDataInUse data(update, item);
          NoLinkOnTheWay(update.DefaultDir, entry.staged);  // its folders may have been made just now
          FileHandle file(::CreateFileA(entry.staged.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
          if (!file) RaiseLastSystemError();
          entry.made = IdentityOf(file.Get());
          journal.Note(MadeLine(static_cast<size_t>(step.entry), entry.made));
          StageContent(item, entry, step.base, file, log);
        }
        if (Deferred(entry)) after_ok = entry.kind == 'd' ? &text::kDeletedAtRestart : &text::kReplacedAtRestart;
      }
      log.AppendLogLine(after_ok ? JoinText({text::kOk, ", ", Pick(*after_ok)}) : std::string(text::kOk), kLogWhite);
    }
  } catch (const std::bad_alloc&) {
    return Undone(log, plan, journal, JoinText({Pick(text::kSkipped), kOutOfMemory}), count);
  } catch (const std::exception& error) {
    return Undone(log, plan, journal, JoinText({Pick(text::kSkipped), error.what()}), count);
  }

  // Steps 4 to 6: the commit point, then the commit; a failed rename
  // undoes, a failure once the restart is asked for does not.
  int32_t deferred = 0, open_failed = 0;
  try {
    journal.Append("staged\n");
    plan.staged = true;
    deferred = Commit(plan, journal);
  } catch (const std::exception& error) {
    if (!plan.restart) {
      plan.undo = true;
      return Undone(log, plan, journal, error.what(), count);
    }
    log.AppendLogLine(error.what(), kLogRed);
    open_failed = 1;
  }
  // Step 7: every file is in place, so nothing from here on undoes.
  try {
    CleanUp(plan, journal, BackupOption(), &log);
  } catch (const std::exception& error) {
    log.AppendLogLine(error.what(), kLogRed);
    open_failed = 1;
  }

  // Only once the update stands: the items that open a file.
  for (int32_t k = 0; k < count; ++k) {
    TFileItem& item = update.Items[static_cast<size_t>(k)];
    if (item.Action != 5 || steps[static_cast<size_t>(k)].check.state != ItemReadiness::kReady) continue;
    try {
      OpenWithShell(steps[static_cast<size_t>(k)].name);
    } catch (const std::exception& error) {
      LogItemLead(log, item);
      log.AppendLogLine(JoinText({Pick(text::kSkipped), error.what()}), kLogRed);
      ++open_failed;
    }
  }
  // The closing line agrees with the exit code: not every item ended "OK".
  return CloseRun(log, {count, open_failed, deferred});
}

}  // namespace upkit
