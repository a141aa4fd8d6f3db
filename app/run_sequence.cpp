#include "app/run_sequence.h"

#include <windows.h>

#include <exception>
#include <memory>
#include <new>

#include "app/command_line.h"
#include "app/fault_hook.h"
#include "app/log_tee.h"
#include "app/resource_stream.h"
#include "codec/error.h"
#include "install/engine.h"
#include "package/update_file.h"
#include "texts/texts.h"
#include "ui/document_dialog.h"
#include "ui/results_window.h"
#include "ui/window_services.h"
#include "ui/wizard_window.h"

namespace upkit::app {
namespace {

constexpr UINT kExitNotLoaded = 1;
constexpr UINT kExitNotAccepted = 2;
constexpr UINT kExitCancelled = 5;
// Silent runs only.
constexpr int kExitItemsFailed = 3;
constexpr int kExitNoDestination = 4;
constexpr int kExitBadCommandLine = 6;
constexpr int kExitRestartNeeded = 3010;

// The package, or null with the message of its failure.
std::unique_ptr<TUpdateFile> ReadPackage(std::string* failure) {
  try {
    ResourceStream stream("LR5");
    auto update = std::make_unique<TUpdateFile>();
    update->LoadFromStream(stream);
    return update;
  } catch (const std::bad_alloc&) {
    *failure = kOutOfMemory;
  } catch (const std::exception& error) {
    *failure = error.what();
  }
  return nullptr;
}

// The package, or the end of the run with code 1 after the error box (in
// silent runs a log line instead).
std::unique_ptr<TUpdateFile> LoadPackage(bool silent, LogTee& log) {
  std::string failure;
  std::unique_ptr<TUpdateFile> update = ReadPackage(&failure);
  if (update) return update;
  std::string message = std::string(PickText(text::kException)) + failure;
  log.AppendLogLine(message, kLogWhite);
  if (!silent) ui::ShowError(message, PickText(text::kError));
  ExitProcess(kExitNotLoaded);
}

// Answers /? (code 0) or a bad switch (code 6) with the switch list, in the
// package's language when the package can be read; silent runs show no box.
// Nothing is logged: a refused line creates no log file.
int AnswerCommandLine(const CommandLine& command) {
  std::string ignored;
  if (std::unique_ptr<TUpdateFile> update = ReadPackage(&ignored)) {
    SetLanguage(static_cast<uint32_t>(update->Language));
  }
  std::string list = PickText(text::kSwitchList);
  if (command.bad_switch.empty()) {
    if (command.silent) return 0;  // no box at all in silent runs
    MessageBoxA(nullptr, list.c_str(), PickText(text::kCommandLine),
                MB_OK | MB_ICONINFORMATION | MB_TASKMODAL);
    return 0;
  }
  std::string line = std::string(PickText(text::kUnknownSwitch)) + command.bad_switch;
  if (!command.silent) ui::ShowError(line + "\r\n\r\n" + list, PickText(text::kCommandLine));
  return kExitBadCommandLine;
}

// Step 1 of the window sequence: the document, when there is one.
void ShowDocument(const TUpdateFile& update) {
  const BufferStream& document = update.DocumentText;
  if (document.Size() == 0) return;
  ui::SetDialogResult(-1);
  int result = -1;
  const uint8_t* bytes = document.Memory();
  size_t size = static_cast<size_t>(document.Size());
  if (update.DocumentType == 0) {
    result = ui::ShowLicenseDialog(PickText(text::kLicenseAgreement),
                                   PickText(text::kLicenseAgreementHeading), bytes, size,
                                   PickText(text::kAcceptLicense), update.WinURL,
                                   PickText(text::kNext), PickText(text::kExit));
  } else if (update.DocumentType == 1) {
    result = ui::ShowUserGuideDialog(PickText(text::kUserGuide), PickText(text::kUserGuideHeading),
                                     bytes, size, update.WinURL, PickText(text::kNext),
                                     PickText(text::kExit));
  }
  if (result != 0) ExitProcess(kExitNotAccepted);
}

// Closes the log after a failure that escaped the engine: two line ends in
// the colour in force (the first may finish a line the engine had begun),
// then the message and the cancel line in white.
void ReportEngineFailure(LogTee& log, const std::string& message) {
  log.AppendInCurrentColour(" \r\n");
  log.AppendInCurrentColour(" \r\n");
  log.AppendLogText(std::string(PickText(text::kErrorPrefix)) + message + "\r\n", kLogWhite);
  log.AppendLogText(std::string(PickText(text::kOperationCanceled)) + "\r\n", kLogWhite);
}

// Runs the engine over `update` into `log`; false when a failure escaped it
// (reported in the log).
bool RunEngine(TUpdateFile& update, LogTee& log, UpdateCounts* counts) {
  try {
    std::unique_ptr<ResultsLog> hook;
    *counts = RunUpdate(update, WithFaultHook(log, hook));
    return true;
  } catch (const std::bad_alloc&) {
    ReportEngineFailure(log, kOutOfMemory);
  } catch (const std::exception& failure) {
    ReportEngineFailure(log, failure.what());
  }
  return false;
}

// A run without a person: no document, no wizard, no window; the backup
// option stays off. Returns the exit code.
int RunSilently(TUpdateFile& update, const std::string& module_folder, LogTee& log) {
  update.DefaultDir = ui::WizardStartFolder(update.DefaultDir, module_folder);
  DWORD attributes = GetFileAttributesA(update.DefaultDir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    log.AppendLogLine(std::string(PickText(text::kNoDestination)) + update.DefaultDir, kLogRed);
    return kExitNoDestination;
  }
  UpdateCounts counts;
  if (!RunEngine(update, log, &counts) || counts.failed != 0) return kExitItemsFailed;
  return counts.scheduled != 0 ? kExitRestartNeeded : 0;
}

}  // namespace

std::string ModuleFolder() {
  char path[MAX_PATH + 1] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  size_t cut = folder.find_last_of("\\:");
  return cut == std::string::npos ? std::string() : folder.substr(0, cut + 1);
}

int RunInstaller(const char* arguments) {
  SetLanguage(1);
  const CommandLine command = ParseCommandLine(arguments != nullptr ? arguments : "");
  // The whole line is checked before anything is created: a refused line
  // (a path cut at a space leaves its tail as a bad switch) touches no file.
  if (command.help || !command.bad_switch.empty()) return AnswerCommandLine(command);
  LogFile log_file;
  if (!command.log_file.empty()) {
    try {
      log_file = LogFile(command.log_file);
    } catch (const std::exception& failure) {
      if (!command.silent) {
        ui::ShowError(std::string(PickText(text::kLogFileFailed)) + command.log_file + "\r\n" +
                          failure.what(),
                      PickText(text::kCommandLine));
      }
      return kExitBadCommandLine;
    }
  }
  LogTee file_only(nullptr, &log_file);

  std::string module_folder = ModuleFolder();
  std::unique_ptr<TUpdateFile> update = LoadPackage(command.silent, file_only);
  SetLanguage(static_cast<uint32_t>(update->Language));
  if (update->WinURL.empty()) update->WinURL = kMakerUrl;
  if (!command.destination.empty()) update->DefaultDir = command.destination;
  if (command.silent) return RunSilently(*update, module_folder, file_only);

  ShowDocument(*update);

  {
    std::unique_ptr<ui::Form> wizard = std::make_unique<ui::WizardWindow>(*update, module_folder);
    ui::SetDialogResult(-1);
    ui::RunWindow(wizard);
  }
  if (ui::DialogResult() != 1) ExitProcess(kExitCancelled);

  auto results = std::make_unique<ui::ResultsWindow>(update->FormCaption,
                                                     static_cast<int>(update->Items.size()));
  LogTee log(results.get(), &log_file);
  UpdateCounts counts;
  RunEngine(*update, log, &counts);
  results->SwitchToClose();
  std::unique_ptr<ui::Form> window = std::move(results);
  ui::RunWindow(window);
  update.reset();
  return 0;
}

}  // namespace upkit::app
