// The window layer in this process: boxes and the browser are answered by a
// helper thread through the robot, the log is read back run by run.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <algorithm>
#include <memory>
#include <string>

#include "package/update_file.h"
#include "tests/robot/robot.h"
#include "texts/texts.h"
#include "ui/results_window.h"
#include "ui/window_services.h"
#include "ui/wizard_window.h"

namespace upkit::ui {
namespace {

// Answers the next dialog-class window of this process from another thread,
// remembering what it showed.
class Answerer {
 public:
  explicit Answerer(int button, DWORD delay_ms = 0) : button_(button), delay_(delay_ms) {
    thread_ = CreateThread(nullptr, 0, &Answerer::Run, this, 0, nullptr);
  }
  ~Answerer() {
    WaitForSingleObject(thread_, 20000);
    CloseHandle(thread_);
  }
  const robot::MessageBoxInfo& Seen() {
    WaitForSingleObject(thread_, 20000);
    return info_;
  }

 private:
  static DWORD WINAPI Run(void* self) {
    auto* a = static_cast<Answerer*>(self);
    if (robot::WaitForMessageBox(GetCurrentProcessId(), "", 15000, &a->info_)) {
      Sleep(a->delay_);
      robot::AnswerMessageBox(a->info_.window, a->button_);
    }
    return 0;
  }
  int button_;
  DWORD delay_;
  robot::MessageBoxInfo info_;
  HANDLE thread_ = nullptr;
};

class WindowLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    InitApplication();
    SetLanguage(1);
  }
  void TearDown() override { SetLanguage(1); }
};

TEST_F(WindowLayer, CaptionsFollowTheLanguageAtEveryCall) {
  int index = RegisterCaption("Ru", "En");
  EXPECT_EQ(RegisterCaption("Ru2", "En2"), index + 1);
  EXPECT_EQ(CaptionText(index), "En");
  SetLanguage(0);
  EXPECT_EQ(CaptionText(index), "Ru");
  EXPECT_EQ(CaptionText(-1), "");
  EXPECT_EQ(CaptionText(index + 2), "");
}

TEST_F(WindowLayer, BoxesUseTheirDefaultCaptionInTheCurrentLanguage) {
  {
    Answerer answer(IDOK);
    EXPECT_TRUE(AskQuestion("Go on?"));
    EXPECT_EQ(answer.Seen().caption, "Confirmation");
    EXPECT_EQ(answer.Seen().text, "Go on?");
  }
  {
    // Registered once at first use, then picked in the language of the call.
    SetLanguage(0);
    Answerer answer(IDCANCEL);
    EXPECT_FALSE(AskQuestion("Go on?"));
    EXPECT_EQ(answer.Seen().caption, text::kConfirmation.russian);
  }
  {
    SetLanguage(1);
    Answerer answer(IDOK);
    ShowError("Broken", "");
    EXPECT_EQ(answer.Seen().caption, "Error");
  }
  {
    Answerer answer(IDOK);
    ShowError("Broken", "Own caption");
    EXPECT_EQ(answer.Seen().caption, "Own caption");
  }
  // The application window owns the forms and carries no caption.
  HWND app = ApplicationWindow();
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(robot::Text(app), "");
}

TEST_F(WindowLayer, BrowserReturnsTheFolderWithOneBackslashOrNothing) {
  {
    Answerer answer(IDOK, 500);
    EXPECT_EQ(BrowseForFolder("C:\\"), "C:\\");
  }
  {
    Answerer answer(IDOK, 500);
    EXPECT_EQ(BrowseForFolder("C:\\windows\\"), "C:\\windows\\");
  }
  {
    Answerer answer(IDCANCEL, 300);
    EXPECT_EQ(BrowseForFolder("C:\\windows"), "");
  }
}

std::string RunsOf(HWND log) {
  std::string out;
  char colour[16];
  for (const robot::LogRun& run : robot::ReadRichEditRuns(log)) {
    wsprintfA(colour, "[%06X]", static_cast<unsigned>(run.colour));
    out += colour + run.text + "|";
  }
  return out;
}

TEST_F(WindowLayer, LogAppendsKeepEachTextsColour) {
  ResultsWindow window("Log", 7);
  HWND progress = robot::FindControl(window.Handle(), "msctls_progress32", "");
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(SendMessageA(progress, PBM_GETRANGE, FALSE, 0), 7);
  EXPECT_EQ(SendMessageA(progress, PBM_GETRANGE, TRUE, 0), 0);
  EXPECT_EQ(SendMessageA(progress, PBM_GETPOS, 0, 0), 0);
  window.SetProgressPosition(3);
  EXPECT_EQ(SendMessageA(progress, PBM_GETPOS, 0, 0), 3);

  window.AppendLogLine("head", 0xFFFFFF);
  window.AppendLogLine("", 0xFFFFFF);
  window.AppendLogText("Updating [", 0xFFFFFF);
  window.AppendLogText("a.txt", 0xBF8AA3);
  window.AppendLogText("]  ...  ", 0xFFFFFF);
  window.AppendLogLine("not found", 0x0000FF);
  // An empty text only sets the colour in force for what follows.
  window.AppendLogText("", 0xFF0000);
  window.AppendInCurrentColour("blue");
  window.AppendLogLine("", 0xFFFFFF);
  EXPECT_EQ(RunsOf(window.Log()),
            "[FFFFFF]head\r\n\r\nUpdating [|[BF8AA3]a.txt|[FFFFFF]]  ...  |[0000FF]not found\r\n|"
            "[FF0000]blue|[FFFFFF]\r\n|");
  // Read-only; a long line wraps and many lines scroll vertically only (the
  // control shows its scroll bar once the text no longer fits).
  window.AppendLogLine(std::string(600, 'w'), 0xFFFFFF);
  for (int i = 0; i < 40; ++i) window.AppendLogLine("line", 0xFFFFFF);
  LONG style = robot::Style(window.Log());
  EXPECT_TRUE(style & ES_READONLY);
  EXPECT_TRUE(style & WS_VSCROLL);
  EXPECT_FALSE(style & (WS_HSCROLL | ES_AUTOHSCROLL));
  EXPECT_TRUE(robot::ExStyle(window.Log()) & WS_EX_CLIENTEDGE);
}

// Regression: the log kept the control's default limit of 32,767
// characters, so a long run lost its closing line on Windows. (Few long
// lines: the limit counts characters, and Wine's control slows down with
// every append.)
TEST_F(WindowLayer, LogKeepsItsClosingLineBeyondTheDefaultLimit) {
  ResultsWindow window("Long", 1);
  for (int i = 0; i < 50; ++i) window.AppendLogLine(std::string(1000, 'a' + i % 26), 0xFFFFFF);
  window.AppendLogLine("Update installed successfully !", 0xFFFFFF);
  std::string log = robot::ReadRichEditText(window.Log());
  EXPECT_GT(log.size(), 50000u);
  // Windows cuts text at the control's limit; Wine keeps it and raises the
  // limit to the text's length, so only a limit far above it shows it was set.
  EXPECT_GT(SendMessageA(window.Log(), EM_GETLIMITTEXT, 0, 0), 1 << 24);
  const std::string closing = "\r\nUpdate installed successfully !\r\n";
  EXPECT_EQ(log.substr(log.size() - std::min(log.size(), closing.size())), closing);
}

// Handles this thread's messages for a while (the form is not run by
// RunWindow here).
void Pump(DWORD ms) {
  DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    Sleep(10);
  }
}

TEST_F(WindowLayer, ResultsButtonAsksBeforeQuittingThenCloses) {
  ResultsWindow window("Quit", 1);
  HWND cancel = robot::FindControl(window.Handle(), "Button", "Cancel");
  ASSERT_NE(cancel, nullptr);
  {
    // Answering Cancel keeps everything running (OK would end the process).
    Answerer answer(IDCANCEL);
    robot::Click(cancel);
    Pump(1500);
    EXPECT_EQ(answer.Seen().caption, "Confirmation");
    EXPECT_EQ(answer.Seen().text, text::kQuitQuestion.english);
  }
  EXPECT_FALSE(window.Closed());
  window.SwitchToClose();
  EXPECT_EQ(robot::Text(cancel), "Close");
  SetDialogResult(1);
  robot::Click(cancel);
  Pump(500);
  EXPECT_TRUE(window.Closed());
  EXPECT_EQ(DialogResult(), -1);
}

TEST_F(WindowLayer, WizardStartsWithTheExpandedDefaultOrTheModuleFolder) {
  EXPECT_EQ(WizardStartFolder(" \t ", "C:\\prog\\"), "C:\\prog\\");
  EXPECT_EQ(WizardStartFolder("D:\\app", "C:\\prog\\"), "D:\\app");
  // The untrimmed value is expanded: a leading blank hides the macro.
  EXPECT_EQ(WizardStartFolder(" $PATH$\\x", "C:\\prog\\"), " $PATH$\\x");
  char module[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string folder(module);
  folder.erase(folder.find_last_of('\\') + 1);
  EXPECT_EQ(WizardStartFolder("$PATH$\\x", "C:\\prog\\"), folder + "x");
}

TEST_F(WindowLayer, BuildingAndReleasingWindowsLeavesNoGdiObjects) {
  TUpdateFile update;
  // A 2 x 2 BMP, 24 bits.
  const uint8_t bmp[] = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 2,
                         0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                         0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 255, 0, 255,
                         0, 0, 0};
  ASSERT_TRUE(update.Picture.LoadFromMemory(bmp, sizeof(bmp)));
  auto build_all = [&] {
    std::unique_ptr<Form> wizard = std::make_unique<WizardWindow>(update, "C:\\");
    ShowWindow(wizard->Handle(), SW_SHOW);
    UpdateWindow(wizard->Handle());
    wizard.reset();
    ResultsWindow results("r", 2);
    results.AppendLogLine("x", 0xFFFFFF);
  };
  build_all();  // first use creates what lives for the run (classes, library)
  DWORD before = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  if (before == 0) GTEST_SKIP() << "GetGuiResources reports nothing here";
  for (int i = 0; i < 5; ++i) build_all();
  EXPECT_EQ(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), before);
}

TEST(PictureBitmap, HoldsThePixelsTopDown) {
  TBitmap picture;
  const uint8_t bmp[] = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 2,
                         0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0,
                         0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                         // bottom row: blue, green; top row: red, white
                         255, 0, 0, 0, 255, 0, 0, 0, 0, 0, 255, 255, 255, 255, 0, 0};
  ASSERT_TRUE(picture.LoadFromMemory(bmp, sizeof(bmp)));
  BitmapHandle bitmap = MakePictureBitmap(picture);
  ASSERT_TRUE(bitmap);
  BITMAP info{};
  GetObjectA(bitmap.Get(), sizeof(info), &info);
  EXPECT_EQ(info.bmWidth, 2);
  EXPECT_EQ(info.bmHeight, 2);
  EXPECT_EQ(info.bmBitsPixel, 32);
  const auto* bits = static_cast<const uint32_t*>(info.bmBits);
  ASSERT_NE(bits, nullptr);
  EXPECT_EQ(bits[0] & 0xFFFFFF, 0xFF0000u);  // top-left: red
  EXPECT_EQ(bits[0] & 0xFFFFFF, picture.Pixels()[0]);
  EXPECT_EQ(bits[3] & 0xFFFFFF, picture.Pixels()[3]);
  EXPECT_FALSE(MakePictureBitmap(TBitmap()));
}

}  // namespace
}  // namespace upkit::ui
