#include "app/run_sequence.h"

#include <windows.h>

#include <exception>
#include <memory>
#include <new>

#include "app/fault_hook.h"
#include "app/resource_stream.h"
#include "codec/error.h"
#include "ui/document_dialog.h"
#include "ui/results_window.h"
#include "texts/texts.h"
#include "ui/window_services.h"
#include "ui/wizard_window.h"
#include "update/engine.h"
#include "update/update_file.h"

namespace upkit::app {
namespace {

constexpr UINT kExitNotLoaded = 1;
constexpr UINT kExitNotAccepted = 2;
constexpr UINT kExitCancelled = 5;

std::unique_ptr<TUpdateFile> LoadPackage() {
  try {
    ResourceStream stream("LR5");
    auto update = std::make_unique<TUpdateFile>();
    update->LoadFromStream(stream);
    return update;
  } catch (const std::bad_alloc&) {
    ui::ShowError(std::string(PickText(text::kException)) + kOutOfMemory, PickText(text::kError));
  } catch (const std::exception& failure) {
    ui::ShowError(std::string(PickText(text::kException)) + failure.what(), PickText(text::kError));
  }
  ExitProcess(kExitNotLoaded);
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
void ReportEngineFailure(ui::ResultsWindow& log, const std::string& message) {
  log.AppendInCurrentColour(" \r\n");
  log.AppendInCurrentColour(" \r\n");
  log.AppendLogText(std::string(PickText(text::kErrorPrefix)) + message + "\r\n", kLogWhite);
  log.AppendLogText(std::string(PickText(text::kOperationCanceled)) + "\r\n", kLogWhite);
}

}  // namespace

std::string ModuleFolder() {
  char path[MAX_PATH + 1] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  size_t cut = folder.find_last_of("\\:");
  return cut == std::string::npos ? std::string() : folder.substr(0, cut + 1);
}

int RunInstaller() {
  SetLanguage(1);
  std::string module_folder = ModuleFolder();
  std::unique_ptr<TUpdateFile> update = LoadPackage();
  SetLanguage(static_cast<uint32_t>(update->Language));
  if (update->WinURL.empty()) update->WinURL = kMakerUrl;

  ShowDocument(*update);

  {
    std::unique_ptr<ui::Form> wizard = std::make_unique<ui::WizardWindow>(*update, module_folder);
    ui::SetDialogResult(-1);
    ui::RunWindow(wizard);
  }
  if (ui::DialogResult() != 1) ExitProcess(kExitCancelled);

  auto results = std::make_unique<ui::ResultsWindow>(update->FormCaption,
                                                     static_cast<int>(update->Items.size()));
  try {
    std::unique_ptr<ResultsLog> hook;
    RunUpdate(*update, WithFaultHook(*results, hook));
  } catch (const std::bad_alloc&) {
    ReportEngineFailure(*results, kOutOfMemory);
  } catch (const std::exception& failure) {
    ReportEngineFailure(*results, failure.what());
  }
  results->SwitchToClose();
  std::unique_ptr<ui::Form> window = std::move(results);
  ui::RunWindow(window);
  update.reset();
  return 0;
}

}  // namespace upkit::app
