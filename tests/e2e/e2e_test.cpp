// End to end: real packages embedded into copies of the installer stub, run
// as their own processes under Wine and driven by the robot. Each scenario
// checks what the user sees (texts, geometry, colours, screenshots), the exit
// code and the files left behind.
#include <gtest/gtest.h>
#include <windows.h>
#include <richedit.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codec/crc32.h"
#include "codec/error.h"
#include "container/stream.h"
#include "delta/delta_encode.h"
#include "pack/package_writer.h"
#include "package/update_file.h"
#include "tests/e2e/embed.h"
#include "tests/robot/robot.h"
#include "texts/texts.h"

namespace upkit {
namespace {

using robot::LogRun;
using Bytes = std::vector<uint8_t>;

constexpr DWORD kWait = 20000;  // generous: Wine starts slowly on a busy machine
constexpr COLORREF kWhite = 0xFFFFFF, kRed = 0x0000FF, kName = 0xBF8AA3;

std::string WinPath(const std::string& unix_path) {
  std::string out = "Z:" + unix_path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

// Under Xvfb no window manager draws title bars; Wine draws them itself
// when its windows are not "managed". Only screenshots depend on this.
void UnmanagedWineWindows() {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, &key, nullptr) == ERROR_SUCCESS) {
    RegSetValueExA(key, "Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
    RegCloseKey(key);
  }
}

int TestDpi();

const std::string& WorkRoot() {
  static const std::string root = [] {
    UnmanagedWineWindows();
    robot::UsePhysicalPixels();
    TestDpi();
    std::string path = WinPath(UPKIT_E2E_DIR) + "\\work";
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
  }();
  return root;
}

// The DPI this run's installers draw at: 96, or the UPKIT_E2E_DPI of the
// e2e_dpi144 entry, which runs in a Wine prefix of its own: the value is
// written there as the screen's LogPixels before the first installer starts.
int TestDpi() {
  static const int dpi = [] {
    const char* given = std::getenv("UPKIT_E2E_DPI");
    DWORD value = given ? static_cast<DWORD>(std::atoi(given)) : 96;
    if (value != 96) {
      const std::pair<HKEY, const char*> keys[] = {{HKEY_CURRENT_USER, "Control Panel\\Desktop"},
                                                   {HKEY_CURRENT_CONFIG, "Software\\Fonts"}};
      for (auto [root, path] : keys) {
        HKEY key;
        if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
          RegSetValueExA(key, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
          RegCloseKey(key);
        }
      }
    }
    return static_cast<int>(value);
  }();
  return dpi;
}

// `pixels` at 96 DPI, at this run's DPI.
int Scaled(int pixels) { return MulDiv(pixels, TestDpi(), 96); }

const std::string& ShotDir() {
  static const std::string dir = [] {
    std::string path = WinPath(UPKIT_E2E_DIR) + "\\screenshots";
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
  }();
  return dir;
}

Bytes AsBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

Bytes ReadFileBytes(const std::string& path) {
  Bytes bytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return bytes;
  unsigned char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  std::fclose(file);
  return bytes;
}

void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      std::string path = dir + "\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(dir.c_str());
}

// A fresh folder for one scenario.
std::string ScenarioDir(const std::string& name) {
  std::string dir = WorkRoot() + "\\" + name;
  RemoveTree(dir);
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

pack::ContainerOptions Options() {
  pack::ContainerOptions options;
  for (size_t i = 0; i < options.key.size(); ++i) options.key[i] = static_cast<uint8_t>(i * 7 + 1);
  return options;
}

// A 24-bit BMP, top half red, bottom half green.
Bytes TwoColourBmp(int width, int height) {
  int stride = (width * 3 + 3) & ~3;
  uint32_t pixels = static_cast<uint32_t>(stride * height);
  Bytes bmp(54 + pixels, 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bmp[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  bmp[0] = 'B';
  bmp[1] = 'M';
  put32(2, static_cast<uint32_t>(bmp.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<uint32_t>(width));
  put32(22, static_cast<uint32_t>(height));
  bmp[26] = 1;
  bmp[28] = 24;
  for (int row = 0; row < height; ++row) {  // bottom-up
    bool top_half = (height - 1 - row) < height / 2;
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &bmp[54 + static_cast<size_t>(row) * stride + x * 3];
      p[0] = 0;                      // blue
      p[1] = top_half ? 0 : 0xFF;    // green
      p[2] = top_half ? 0xFF : 0;    // red
    }
  }
  return bmp;
}

const char kLicence[] =
    "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}\\f0\\fs20 Sample licence terms.\\par "
    "Read them at https://example.com/terms before you go on.\\par}";

// One installer process over one embedded package.
struct Installer {
  std::string dir, exe;
  robot::Process process;

  // `stub`: the shipped one, or the test build with its fault hook.
  void Build(const std::string& name, const std::vector<std::pair<std::string, Bytes>>& resources,
             const char* stub = UPKIT_STUB_PATH) {
    dir = ScenarioDir(name);
    exe = dir + "\\installer.exe";
    std::string failure = e2e::EmbedResources(WinPath(stub), exe, resources);
    ASSERT_TRUE(failure.empty()) << failure;
  }
  void Build(const std::string& name, const pack::Package& package) {
    Build(name, {{"LR5", pack::WritePackage(package, Options())}});
  }
  void Start() { ASSERT_TRUE(process.Start(exe)) << exe; }
  HWND Window(const std::string& caption) {
    return robot::WaitForWindow(process.Id(), caption, "UpkitForm", kWait);
  }
  DWORD ExitCode() {
    DWORD code = 0xDEAD;
    EXPECT_TRUE(process.Wait(kWait, &code)) << "installer did not end";
    return code;
  }
};

void Shot(HWND window, const std::string& name) {
  Sleep(300);  // let the window finish painting
  RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  EXPECT_TRUE(robot::SaveWindowPng(window, ShotDir() + "\\" + name + ".png")) << name;
}

HWND Control(HWND top, const std::string& cls, const std::string& text) {
  HWND control = robot::FindControl(top, cls, text);
  EXPECT_NE(control, nullptr) << "no " << cls << " \"" << text << "\"";
  return control;
}

// A control's rectangle in its parent: 96-DPI values, at this run's scale
// (exact at 96 DPI, within 4 pixels each at any other).
void ExpectRect(HWND control, int left, int top, int width, int height, const char* what) {
  if (!control) return;
  const int slack = TestDpi() == 96 ? 0 : 4;
  RECT r = robot::RectInParent(control);
  EXPECT_NEAR(r.left, Scaled(left), slack) << what;
  EXPECT_NEAR(r.top, Scaled(top), slack) << what;
  EXPECT_NEAR(r.right - r.left, Scaled(width), slack) << what;
  EXPECT_NEAR(r.bottom - r.top, Scaled(height), slack) << what;
}

void ExpectFormShape(HWND form, int height) {
  RECT r{};
  GetWindowRect(form, &r);
  EXPECT_EQ(r.right - r.left, 510);
  EXPECT_EQ(r.bottom - r.top, height);
  // WS_CAPTION | WS_SYSMENU and nothing that would let it be sized,
  // minimised or maximised.
  LONG style = robot::Style(form);
  EXPECT_EQ(style & 0x00CF0000, 0x00C80000);
  // Centred on the screen.
  EXPECT_LE(std::abs((r.left + r.right) / 2 - GetSystemMetrics(SM_CXSCREEN) / 2), 1);
  EXPECT_LE(std::abs((r.top + r.bottom) / 2 - GetSystemMetrics(SM_CYSCREEN) / 2), 1);
}

// Waits until the results window's button reads `text` (the engine is done).
bool WaitForButton(HWND form, const std::string& text) {
  for (int i = 0; i < 1000; ++i) {
    if (robot::FindControl(form, "Button", text)) return true;
    Sleep(20);
  }
  return false;
}

HWND LogOf(HWND form) {
  for (HWND child : robot::Descendants(form)) {
    if (robot::ClassName(child).rfind("RichEdit", 0) == 0) return child;
  }
  return nullptr;
}

// Expected log as segments; adjacent segments of one colour merge into one
// run, as the robot reports them.
struct LogBuilder {
  std::vector<LogRun> runs;
  LogBuilder& Add(const std::string& text, COLORREF colour) {
    if (text.empty()) return *this;
    if (!runs.empty() && runs.back().colour == colour) {
      runs.back().text += text;
    } else {
      runs.push_back({text, colour});
    }
    return *this;
  }
  LogBuilder& Line(const std::string& text, COLORREF colour) { return Add(text + "\r\n", colour); }
  LogBuilder& Item(const char* lead, const std::string& name) {
    return Add(lead, kWhite).Add(name, kName).Add("]  ...  ", kWhite);
  }
};

std::string Describe(const std::vector<LogRun>& runs) {
  std::string out;
  char colour[16];
  for (const LogRun& run : runs) {
    std::snprintf(colour, sizeof(colour), "[%06lX]", static_cast<unsigned long>(run.colour));
    out += colour + run.text + "|\n";
  }
  return out;
}

void ExpectLog(HWND log, const LogBuilder& expected, UINT codepage = CP_ACP) {
  std::vector<LogRun> runs = robot::ReadRichEditRuns(log, codepage);
  EXPECT_EQ(Describe(runs), Describe(expected.runs));
}

std::string Decimal(int32_t value) { return std::to_string(value); }

// ---------------------------------------------------------------------------

// The whole road: licence accepted, wizard with picture and backups on,
// every action against a real product folder, checks failing and passing.
TEST(Installer, LicenceWizardAndUpdateOfARealProductFolder) {
  Installer installer;
  std::string product = ScenarioDir("full_product");
  CreateDirectoryA((product + "\\bin").c_str(), nullptr);
  CreateDirectoryA((product + "\\sub").c_str(), nullptr);
  std::string old_readme = "old readme\r\n";
  Bytes old_data = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  WriteFileBytes(product + "\\readme.txt", AsBytes(old_readme));
  WriteFileBytes(product + "\\data.bin", old_data);
  WriteFileBytes(product + "\\old.dll", AsBytes("obsolete"));
  WriteFileBytes(product + "\\config.ini", AsBytes("[cfg]\r\nkey=1\r\n"));
  WriteFileBytes(product + "\\bin\\run.bat", AsBytes("@echo opened> opened.txt\r\n"));
  ASSERT_TRUE(CopyFileA(WinPath(UPKIT_EMBED_PATH).c_str(), (product + "\\app.exe").c_str(), FALSE));
  Bytes config = ReadFileBytes(product + "\\config.ini");
  uint32_t config_crc = Crc32Block(config.data(), static_cast<uint32_t>(config.size()));

  pack::Package package;
  package.ProjectName = "Sample Product 2.1";
  package.DefaultDir = product;  // no trailing "\": the engine adds it
  package.WinURL = "https://upkit.example.org/a/rather/long/address/for/the/licence";
  package.FormCaption = "Sample Product Update";
  package.ButtonCaption = "Install";
  package.AutorName = "Sample Software Ltd.";
  package.AutorMail = "support@sample.example";
  package.AutorWWW = "https://sample.example/";
  package.Language = 1;
  package.DocumentType = 0;
  package.DocumentText = AsBytes(kLicence);
  package.Picture = TwoColourBmp(120, 150);
  auto item = [](std::string name, int32_t action) {
    pack::PackageItem it;
    it.OriginName = std::move(name);
    it.Action = action;
    return it;
  };
  pack::PackageItem readme = item("readme.txt", 3);
  readme.Data = AsBytes("new readme\r\n");
  readme.CheckSize = 1;
  readme.Size = static_cast<int32_t>(old_readme.size());
  readme.CheckCRC = 1;
  readme.CRC = static_cast<int32_t>(Crc32Text(old_readme));
  pack::PackageItem data = item("data.bin", 2);
  data.Data = pack::PatchListRuns(12, {{2, {0xAA, 0xBB}}});
  data.CheckCRC = 1;
  data.CRC = static_cast<int32_t>(Crc32Block(old_data.data(), 16));
  pack::PackageItem dll = item("old.dll", 4);
  pack::PackageItem app = item("app.exe", 1);
  pack::ResourceEntry resource;
  resource.type_id = 10;
  resource.name_id = 7;
  resource.data = AsBytes("hello");
  app.Data = pack::ResourceList({resource});
  pack::PackageItem bat = item("run.bat", 5);
  bat.Path = "bin";
  pack::PackageItem size_fail = item("config.ini", 3);
  size_fail.Data = AsBytes("x");
  size_fail.CheckSize = 1;
  size_fail.Size = 99;
  pack::PackageItem crc_fail = item("config.ini", 3);
  crc_fail.Data = AsBytes("x");
  crc_fail.CheckCRC = 1;
  crc_fail.CRC = static_cast<int32_t>(0xCBF43926u);
  pack::PackageItem missing = item("missing.txt", 2);
  missing.Path = " \\sub ";
  missing.Data = pack::PatchListRuns(1, {});
  pack::PackageItem created = item("new.txt", 3);
  created.Path = "sub";
  created.Data = AsBytes("created");
  package.Items = {readme, data, dll, app, bat, size_fail, crc_fail, missing, created};
  installer.Build("full", package);
  installer.Start();

  // Licence dialog.
  HWND licence = installer.Window("License agreement");
  ASSERT_NE(licence, nullptr);
  ExpectFormShape(licence, 390);
  HWND viewer = LogOf(licence);
  ASSERT_NE(viewer, nullptr);
  ExpectRect(viewer, 10, 27, 485, 273, "licence viewer");
  HWND accept = Control(licence, "Button", "I accept the terms in the License Agreement");
  HWND next = Control(licence, "Button", "Next>");
  HWND exit = Control(licence, "Button", "Exit");
  ExpectRect(accept, 10, 302, 495, 20, "accept check box");
  ExpectRect(exit, 405, 330, 90, 25, "Exit");
  ExpectRect(next, 310, 330, 90, 25, "Next>");
  HWND heading = Control(licence, "Static", "License agreement:");
  ExpectRect(heading, 10, 10, 495, 15, "heading");
  HWND address = Control(licence, "Static", package.WinURL);
  ASSERT_NE(address, nullptr);
  RECT address_rect = robot::RectInParent(address);
  EXPECT_EQ(address_rect.left, 10);
  EXPECT_EQ(address_rect.top, 335);
  EXPECT_GT(address_rect.right - address_rect.left, 100) << "address label not fitted to its text";
  EXPECT_FALSE(robot::Enabled(address));
  std::string document = robot::JoinRuns(robot::ReadRichEditRuns(viewer));
  EXPECT_NE(document.find("Sample licence terms."), std::string::npos) << document;
  EXPECT_EQ(document.find("rtf1"), std::string::npos) << "document shown as plain text";
  // Next> is disabled until the box is ticked, and a second click (untick)
  // leaves it enabled.
  EXPECT_FALSE(robot::Enabled(next));
  robot::Click(next);
  Sleep(300);
  EXPECT_TRUE(robot::Visible(licence)) << "a disabled Next> must not close the dialog";
  robot::Click(accept);
  Sleep(300);
  EXPECT_TRUE(robot::Enabled(next));
  EXPECT_TRUE(robot::Checked(accept));
  robot::Click(accept);
  Sleep(300);
  EXPECT_FALSE(robot::Checked(accept));
  EXPECT_TRUE(robot::Enabled(next));
  Shot(licence, "licence");
  robot::Click(next);

  // Wizard.
  HWND wizard = installer.Window("Sample Product Update");
  ASSERT_NE(wizard, nullptr);
  ExpectFormShape(wizard, 385);
  ExpectRect(Control(wizard, "Static", "This is the Update program for"), 189, 10, 321, 15, "intro");
  ExpectRect(Control(wizard, "Static", "Sample Product 2.1"), 189, 27, 321, 35, "project");
  ExpectRect(Control(wizard, "Button", "Author information"), 189, 64, 296, 70, "author frame");
  ExpectRect(Control(wizard, "Static", "Sample Software Ltd."), 10, 15, 281, 15, "author name");
  ExpectRect(Control(wizard, "Static", "support@sample.example"), 10, 32, 281, 15, "author mail");
  ExpectRect(Control(wizard, "Static", "https://sample.example/"), 10, 49, 281, 15, "author web");
  ExpectRect(Control(wizard, "Button", "Choose Destination Location"), 189, 173, 296, 75, "folder frame");
  ExpectRect(Control(wizard, "Static", "Destination folder:"), 10, 16, 120, 15, "folder label");
  HWND field = Control(wizard, "Edit", "");
  ExpectRect(field, 10, 33, 276, 18, "folder field");
  if (field) {
    EXPECT_EQ(robot::Text(field), product);
    EXPECT_TRUE(robot::Style(field) & ES_READONLY);
  }
  HWND browse = Control(wizard, "Static", "Browse");
  ExpectRect(browse, 10, 53, 276, 18, "Browse link");
  ExpectRect(Control(wizard, "Static", "Update file count: 9"), 189, 270, 296, 15, "count");
  HWND backup = Control(wizard, "Button", "Backup the files that will be modified");
  ExpectRect(backup, 189, 287, 296, 18, "backup");
  HWND wizard_address = Control(wizard, "Static", package.WinURL);
  ExpectRect(wizard_address, 0, 330, 164, 15, "address");
  if (wizard_address) {
    EXPECT_FALSE(robot::Enabled(wizard_address));
  }
  ExpectRect(Control(wizard, "Button", "Cancel"), 405, 325, 90, 25, "Cancel");
  HWND install = Control(wizard, "Button", "Install");
  ExpectRect(install, 310, 325, 90, 25, "confirm");

  // The picture at the top-left corner of the picture area, unscaled.
  {
    Sleep(300);
    int width = 0, height = 0;
    std::vector<uint32_t> pixels = robot::CaptureWindow(wizard, &width, &height);
    POINT origin{0, 0};
    ClientToScreen(wizard, &origin);
    RECT outer{};
    GetWindowRect(wizard, &outer);
    int ox = origin.x - outer.left, oy = origin.y - outer.top;
    auto pixel = [&](int x, int y) { return pixels[static_cast<size_t>(oy + y) * width + ox + x]; };
    ASSERT_FALSE(pixels.empty());
    EXPECT_EQ(pixel(5, 5), 0xFF0000u) << "top half of the picture (red)";
    EXPECT_EQ(pixel(119, 140), 0x00FF00u) << "bottom half of the picture (green)";
    EXPECT_EQ(pixel(130, 10), 0xFFFFFFu) << "right of the picture: white area";
    EXPECT_EQ(pixel(10, 200), 0xFFFFFFu) << "below the picture: white area";
  }

  // The Browse link turns red under the mouse and blue again when it leaves.
  if (browse) {
    auto count_colour = [&](uint32_t rgb) {
      int width = 0, height = 0;
      std::vector<uint32_t> pixels = robot::CaptureWindow(wizard, &width, &height);
      RECT outer{}, link{};
      GetWindowRect(wizard, &outer);
      GetWindowRect(browse, &link);
      int n = 0;
      for (int y = link.top; y < link.bottom; ++y) {
        for (int x = link.left; x < link.right; ++x) {
          if (pixels[static_cast<size_t>(y - outer.top) * width + (x - outer.left)] == rgb) ++n;
        }
      }
      return n;
    };
    RECT link{};
    GetWindowRect(browse, &link);
    robot::MoveMouse(link.right - 5, (link.top + link.bottom) / 2);
    Sleep(500);
    EXPECT_GT(count_colour(0xFF0000), 0) << "link not red under the mouse";
    Shot(wizard, "wizard_hover");
    robot::MoveMouse(5, 5);
    Sleep(500);
    EXPECT_EQ(count_colour(0xFF0000), 0) << "link still red after the mouse left";
    EXPECT_GT(count_colour(0x0000FF), 0) << "link not blue";
  }
  robot::Click(backup);
  Sleep(200);
  EXPECT_TRUE(robot::Checked(backup));
  Shot(wizard, "wizard");
  robot::Click(install);

  // Results window (same caption as the wizard: wait for the wizard to go).
  ASSERT_TRUE(robot::WaitForWindowGone(wizard, kWait));
  HWND results = installer.Window("Sample Product Update");
  ASSERT_NE(results, nullptr);
  ASSERT_TRUE(WaitForButton(results, "Close")) << "engine did not finish";
  ExpectFormShape(results, 385);
  HWND log = LogOf(results);
  ASSERT_NE(log, nullptr);
  ExpectRect(log, 10, 27, 485, 259, "log");
  EXPECT_TRUE(robot::Style(log) & ES_READONLY);
  EXPECT_FALSE(robot::Style(log) & WS_HSCROLL);
  ExpectRect(Control(results, "Static", "Update results:"), 10, 10, 200, 15, "heading");
  ExpectRect(Control(results, "msctls_progress32", ""), 10, 288, 485, 17, "progress");
  HWND close = Control(results, "Button", "Close");
  ExpectRect(close, 405, 325, 90, 25, "Close");

  std::string bin = product + "\\bin\\";
  LogBuilder expected;
  expected.Line("Update file count: 9", kWhite).Line("", kWhite);
  expected.Item("Updating [", "readme.txt").Line("OK", kWhite);
  expected.Item("Updating [", "data.bin").Line("OK", kWhite);
  expected.Item("Updating [", "old.dll").Line("OK", kWhite);
  expected.Item("Updating [", "app.exe").Line("OK", kWhite);
  expected.Item("Updating [", "run.bat").Line("OK", kWhite);
  expected.Item("Updating [", "config.ini")
      .Line("wrong file size " + Decimal(static_cast<int32_t>(config.size())) + " need 99", kRed);
  expected.Item("Updating [", "config.ini")
      .Line("wrong file CRC " + Decimal(static_cast<int32_t>(config_crc)) + " need -873187034", kRed);
  expected.Item("Updating [", "missing.txt").Line("not found in " + product + "\\sub\\", kRed);
  expected.Item("Updating [", "new.txt").Line("OK", kWhite);
  expected.Line("", kWhite);
  char closing[160];
  std::snprintf(closing, sizeof(closing), text::kUpdateFinishedWithErrors.english, 3, 9);
  expected.Line(closing, kRed);
  ExpectLog(log, expected);
  Shot(results, "results");
  robot::Click(close);
  EXPECT_EQ(installer.ExitCode(), 0u);

  // Files left behind.
  EXPECT_EQ(ReadFileBytes(product + "\\readme.txt"), AsBytes("new readme\r\n"));
  EXPECT_EQ(ReadFileBytes(product + "\\readme.txt.bak"), AsBytes(old_readme));
  Bytes patched(old_data.begin(), old_data.begin() + 12);
  patched[2] = 0xAA;
  patched[3] = 0xBB;
  EXPECT_EQ(ReadFileBytes(product + "\\data.bin"), patched);
  EXPECT_EQ(ReadFileBytes(product + "\\data.bin.bak"), old_data);
  EXPECT_FALSE(Exists(product + "\\old.dll"));
  EXPECT_EQ(ReadFileBytes(product + "\\old.dll.bak"), AsBytes("obsolete"));
  EXPECT_TRUE(Exists(product + "\\app.exe.bak"));
  HMODULE app_module = LoadLibraryExA((product + "\\app.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(app_module, nullptr);
  HRSRC found = FindResourceA(app_module, MAKEINTRESOURCEA(7), MAKEINTRESOURCEA(10));
  ASSERT_NE(found, nullptr) << "resource 7 not written into app.exe";
  std::string written(static_cast<const char*>(LockResource(LoadResource(app_module, found))),
                      SizeofResource(app_module, found));
  EXPECT_EQ(written, "hello");
  FreeLibrary(app_module);
  EXPECT_EQ(ReadFileBytes(product + "\\config.ini"), config) << "failed checks must leave the file";
  EXPECT_FALSE(Exists(product + "\\config.ini.bak")) << "no backup after a failed check";
  EXPECT_EQ(ReadFileBytes(product + "\\sub\\new.txt"), AsBytes("created"));
  EXPECT_FALSE(Exists(product + "\\sub\\new.txt.bak"));
  EXPECT_TRUE(Exists(bin + "run.bat.bak"));
  // The shell opened run.bat: it leaves its marker in its own folder.
  bool opened = false;
  for (int i = 0; i < 150 && !opened; ++i) {
    opened = Exists(bin + "opened.txt");
    if (!opened) Sleep(100);
  }
  EXPECT_TRUE(opened) << "run.bat was not opened by the shell";
}

pack::Package SmallPackage() {
  pack::Package package;
  package.ProjectName = "Small";
  package.FormCaption = "Small Update";
  package.ButtonCaption = "Next";
  package.Language = 1;
  return package;
}

void Key(HWND window, WORD key, bool shift = false);

TEST(Installer, LicenceExitCloseAndEscEndWithCodeTwo) {
  for (std::string way : {"Exit", "title-bar close", "Esc"}) {
    Installer installer;
    pack::Package package = SmallPackage();
    package.DocumentText = AsBytes(kLicence);
    installer.Build("licence_" + way.substr(0, 3), package);
    installer.Start();
    HWND licence = installer.Window("License agreement");
    ASSERT_NE(licence, nullptr);
    if (way == "Exit") {
      robot::Click(Control(licence, "Button", "Exit"));
    } else if (way == "Esc") {
      Key(licence, VK_ESCAPE);
    } else {
      robot::RequestClose(licence);
    }
    EXPECT_EQ(installer.ExitCode(), 2u) << way;
  }
}

TEST(Installer, UserGuideHasNoCheckBoxAndNextWorksAtOnce) {
  Installer installer;
  pack::Package package = SmallPackage();
  package.DocumentType = 1;
  package.DocumentText = AsBytes(kLicence);
  package.WinURL = "";  // filled with the maker's address
  installer.Build("user_guide", package);
  installer.Start();
  HWND guide = installer.Window("User Guide");
  ASSERT_NE(guide, nullptr);
  EXPECT_NE(robot::FindControl(guide, "Static", "User Guide:"), nullptr);
  EXPECT_EQ(robot::FindControl(guide, "Button", "I accept the terms in the License Agreement"), nullptr);
  EXPECT_NE(robot::FindControl(guide, "Static", "https://upkit.example.org/"), nullptr);
  HWND next = Control(guide, "Button", "Next>");
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(robot::Enabled(next));
  // The separator lies directly under the white panel.
  bool separator = false;
  for (HWND child : robot::Descendants(guide)) {
    if ((robot::Style(child) & SS_TYPEMASK) == SS_ETCHEDHORZ || (robot::Style(child) & SS_SUNKEN)) {
      RECT r = robot::RectInParent(child);
      separator = r.left == 0 && r.top == 323 && r.right == 510 && r.bottom == 325;
    }
  }
  EXPECT_TRUE(separator) << "no sunken separator at 0,323 510x2";
  Shot(guide, "user_guide");
  robot::Click(next);
  HWND wizard = installer.Window("Small Update");
  ASSERT_NE(wizard, nullptr);
  robot::Click(Control(wizard, "Button", "Cancel"));
  EXPECT_EQ(installer.ExitCode(), 5u);
}

TEST(Installer, DocumentOfUnknownTypeEndsWithCodeTwoAndNoWindow) {
  Installer installer;
  pack::Package package = SmallPackage();
  package.DocumentType = 2;
  package.DocumentText = AsBytes(kLicence);
  installer.Build("document_type_2", package);
  installer.Start();
  bool window_seen = false;
  DWORD code = 0xDEAD;
  for (int i = 0; i < 1000 && !installer.process.Wait(20, &code); ++i) {
    for (HWND top : robot::TopLevelWindows(installer.process.Id())) {
      if (robot::ClassName(top) == "UpkitForm" || robot::ClassName(top) == "#32770") window_seen = true;
    }
  }
  EXPECT_EQ(code, 2u);
  EXPECT_FALSE(window_seen);
}

TEST(Installer, WizardCancelCloseAndEscEndWithCodeFive) {
  for (std::string way : {"Cancel", "title-bar close", "Esc"}) {
    Installer installer;
    pack::Package package = SmallPackage();
    package.DefaultDir = "   ";  // blank: the program's own folder
    package.WinURL = "";
    package.Language = 7;      // neither Russian nor English: stays English
    package.DocumentType = 2;  // no document: no dialog, whatever the type
    pack::PackageItem one;
    one.OriginName = "a.txt";
    one.Action = 4;
    package.Items = {one, one};
    installer.Build("wizard_" + way.substr(0, 3), package);
    installer.Start();
    HWND wizard = installer.Window("Small Update");
    ASSERT_NE(wizard, nullptr);
    HWND field = Control(wizard, "Edit", "");
    if (field) {
      EXPECT_EQ(robot::Text(field), installer.dir + "\\");
    }
    EXPECT_NE(robot::FindControl(wizard, "Static", "https://upkit.example.org/"), nullptr);
    EXPECT_NE(robot::FindControl(wizard, "Static", "Update file count: 2"), nullptr);
    if (way == "Cancel") {
      robot::Click(Control(wizard, "Button", "Cancel"));
    } else if (way == "Esc") {
      Key(wizard, VK_ESCAPE);
    } else {
      robot::RequestClose(wizard);
    }
    EXPECT_EQ(installer.ExitCode(), 5u) << way;
    EXPECT_TRUE(Exists(installer.dir + "\\installer.exe"));
  }
}

// A folder that does not exist keeps the wizard open with its box; the
// Browse link then selects the folder given and returns it with a "\".
TEST(Installer, WrongFolderBoxThenAGoodFolderThroughBrowse) {
  Installer installer;
  // On drive C: (the shell browser of Wine cannot select folders on Z:).
  std::string good = "C:\\upkit-e2e-target";
  RemoveTree(good);
  ASSERT_TRUE(CreateDirectoryA(good.c_str(), nullptr)) << good;
  std::string wrong = good + "\\does-not-exist";
  pack::Package package = SmallPackage();
  package.DefaultDir = wrong;
  installer.Build("wrong_folder", package);
  installer.Start();
  HWND wizard = installer.Window("Small Update");
  ASSERT_NE(wizard, nullptr);
  robot::Click(Control(wizard, "Button", "Next"));
  robot::MessageBoxInfo box;
  ASSERT_TRUE(robot::WaitForMessageBox(installer.process.Id(), "", kWait, &box));
  EXPECT_EQ(box.caption, "Error");
  EXPECT_EQ(box.text, "Wrong folder selected !\n\r(" + wrong + ")");
  Shot(box.window, "wrong_folder_box");
  ASSERT_TRUE(robot::AnswerMessageBox(box.window, IDOK));
  ASSERT_TRUE(robot::WaitForWindowGone(box.window, kWait));
  EXPECT_TRUE(robot::Visible(wizard)) << "the wizard must stay open";
  HWND field = Control(wizard, "Edit", "");
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(robot::Text(field), wrong) << "the field must stay unchanged";

  // The field cannot be typed into; the robot sets it directly, then the
  // Browse link starts the shell browser on it.
  SendMessageA(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(good.c_str()));
  robot::ClickLabel(Control(wizard, "Static", "Browse"));
  HWND browser = robot::WaitForWindow(installer.process.Id(), "", "#32770", kWait);
  ASSERT_NE(browser, nullptr) << "folder browser did not open";
  Sleep(500);
  RECT r{};
  GetWindowRect(browser, &r);
  EXPECT_LE(std::abs((r.left + r.right) / 2 - GetSystemMetrics(SM_CXSCREEN) / 2), 1) << "browser not centred";
  EXPECT_NE(robot::FindControl(browser, "", "Browse"), nullptr) << "default browser title";
  Shot(browser, "folder_browser");
  ASSERT_TRUE(robot::AnswerMessageBox(browser, IDOK));
  ASSERT_TRUE(robot::WaitForWindowGone(browser, kWait));
  Sleep(200);
  EXPECT_EQ(robot::Text(field), good + "\\");
  robot::Click(Control(wizard, "Button", "Next"));
  ASSERT_TRUE(robot::WaitForWindowGone(wizard, kWait));
  HWND results = installer.Window("Small Update");
  ASSERT_NE(results, nullptr);
  ASSERT_TRUE(WaitForButton(results, "Close"));
  // No items: header with 0, two empty lines, the closing line.
  LogBuilder expected;
  expected.Line("Update file count: 0", kWhite).Line("", kWhite).Line("", kWhite)
      .Line("Update installed successfully !", kWhite);
  ExpectLog(LogOf(results), expected);
  robot::Click(Control(results, "Button", "Close"));
  EXPECT_EQ(installer.ExitCode(), 0u);
}

void ExpectLoadFailureBox(Installer& installer, const std::string& message, const std::string& shot) {
  installer.Start();
  robot::MessageBoxInfo box;
  ASSERT_TRUE(robot::WaitForMessageBox(installer.process.Id(), "", kWait, &box));
  EXPECT_EQ(box.caption, "Error");
  EXPECT_EQ(box.text, "Exception: " + message);
  EXPECT_TRUE(box.style & WS_VISIBLE);
  Shot(box.window, "load_failure_" + shot);
  robot::AnswerMessageBox(box.window, IDOK);
  EXPECT_EQ(installer.ExitCode(), 1u);
}

std::string LoadMessage(const Bytes& bytes) {
  try {
    BufferStream stream(bytes);
    TUpdateFile update;
    update.LoadFromStream(stream);
  } catch (const Error& failure) {
    return failure.what();
  }
  return "(loaded)";
}

TEST(Installer, MissingOrDamagedPackageShowsTheBoxAndEndsWithCodeOne) {
  {
    Installer installer;
    installer.Build("no_package", std::vector<std::pair<std::string, Bytes>>{});
    ExpectLoadFailureBox(installer, "Resource LR5 not found", "no_package");
  }
  pack::Package package = SmallPackage();
  package.Language = 0;  // never applied: the box stays English
  Bytes good = pack::WritePackage(package, Options());
  Bytes wrong_magic = good;
  std::memcpy(&wrong_magic[4], "XYZ", 3);
  Bytes truncated(good.begin(), good.begin() + static_cast<ptrdiff_t>(good.size() / 2));
  for (const Bytes* bytes : {&wrong_magic, &truncated}) {
    std::string message = LoadMessage(*bytes);
    ASSERT_NE(message, "(loaded)");
    Installer installer;
    installer.Build(bytes == &wrong_magic ? "wrong_magic" : "truncated", {{"LR5", *bytes}});
    ExpectLoadFailureBox(installer, message, bytes == &wrong_magic ? "wrong_magic" : "truncated");
  }
}

// An exception escaping the engine as a whole (raised through the test
// stub's fault resource when the engine moves to item 1) closes the log with two
// line ends in the colour in force and two white lines; closing the window
// with its title-bar button still ends with code 0.
TEST(Installer, FailureEscapingTheEngineClosesTheLog) {
  Installer installer;
  std::string product = ScenarioDir("fault_product");
  WriteFileBytes(product + "\\second.txt", AsBytes("keep"));
  pack::Package package = SmallPackage();
  package.DefaultDir = product;
  pack::PackageItem first;
  first.OriginName = "first.txt";
  first.Action = 4;
  pack::PackageItem second;
  second.OriginName = "second.txt";
  second.Action = 4;
  package.Items = {first, second};
  installer.Build("engine_failure", {{"LR5", pack::WritePackage(package, Options())},
                                     {"UPKITFAULT", AsBytes("1:Disk vanished")}},
                  UPKIT_TEST_STUB_PATH);
  installer.Start();
  HWND wizard = installer.Window("Small Update");
  ASSERT_NE(wizard, nullptr);
  robot::Click(Control(wizard, "Button", "Next"));
  ASSERT_TRUE(robot::WaitForWindowGone(wizard, kWait));
  HWND results = installer.Window("Small Update");
  ASSERT_NE(results, nullptr);
  ASSERT_TRUE(WaitForButton(results, "Close"));
  LogBuilder expected;
  expected.Line("Update file count: 2", kWhite).Line("", kWhite);
  expected.Item("Updating [", "first.txt").Line("OK", kWhite);
  expected.Item("Updating [", "second.txt");
  expected.Add(" \r\n \r\n", kWhite);
  expected.Line("Error: Disk vanished", kWhite);
  expected.Line("Operation canceled, and Update is incomplete", kWhite);
  ExpectLog(LogOf(results), expected);
  Shot(results, "engine_failure");
  robot::RequestClose(results);
  EXPECT_EQ(installer.ExitCode(), 0u);
  EXPECT_EQ(ReadFileBytes(product + "\\second.txt"), AsBytes("keep")) << "item after the failure ran";
}

// ---- Command line -----------------------------------------------------------

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Runs the installer with `arguments` to its end; `window_seen` tells
// whether any window of it was ever visible meanwhile.
DWORD RunToEnd(Installer& installer, const std::string& arguments, bool* window_seen) {
  *window_seen = false;
  EXPECT_TRUE(installer.process.Start(installer.exe, {}, arguments)) << installer.exe;
  DWORD code = 0xDEAD;
  for (DWORD waited = 0; waited < kWait && !installer.process.Wait(0, &code); waited += 10) {
    if (!robot::TopLevelWindows(installer.process.Id()).empty()) *window_seen = true;
    Sleep(10);
  }
  return code;
}

std::vector<std::string> PendingRenames() {
  constexpr char kKey[] = "System\\CurrentControlSet\\Control\\Session Manager";
  std::vector<std::string> names;
  char buffer[8192];
  DWORD size = sizeof buffer;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kKey, "PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                   nullptr, buffer, &size) != ERROR_SUCCESS) {
    return names;
  }
  for (DWORD at = 0; at < size && buffer[at] != '\0'; at += static_cast<DWORD>(names.back().size()) + 1) {
    names.push_back(buffer + at);
  }
  // Clear them: the test prefix must never carry them out.
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kKey, "PendingFileRenameOperations");
  return names;
}

// A package that replaces a checked file, adds a file two folders deep and
// deletes a file.
pack::Package DeploymentPackage() {
  pack::Package package = SmallPackage();
  package.DefaultDir = "Z:\\no\\such\\start";
  package.DocumentText = AsBytes(kLicence);  // taken as accepted in silent runs
  pack::PackageItem readme;
  readme.OriginName = "readme.txt";
  readme.Action = 3;
  readme.Data = AsBytes("new readme");
  readme.CheckCRC = 1;
  readme.CRC = static_cast<int32_t>(Crc32Text("old readme"));
  pack::PackageItem added;
  added.OriginName = "added.txt";
  added.Path = "new\\deeper";
  added.Action = 3;
  added.Data = AsBytes("added");
  pack::PackageItem dll;
  dll.OriginName = "old.dll";
  dll.Action = 4;
  package.Items = {readme, added, dll};
  return package;
}

void WriteOldProduct(const std::string& product) {
  WriteFileBytes(product + "\\readme.txt", AsBytes("old readme"));
  WriteFileBytes(product + "\\old.dll", AsBytes("obsolete"));
}

std::string ItemLine(const std::string& name, const std::string& outcome) {
  return "Updating [" + name + "]  ...  " + outcome + "\r\n";
}

// Silent runs: no window ever, the log file, and every exit code.
TEST(CommandLine, SilentRunsShowNothingAndSayHowTheyEnded) {
  Installer installer;
  installer.Build("silent", DeploymentPackage());
  const std::string product = installer.dir + "\\Product Folder With Spaces";
  const std::string log = installer.dir + "\\silent run.log";
  CreateDirectoryA(product.c_str(), nullptr);
  WriteOldProduct(product);
  const std::string switches = "/s /Log=\"" + log + "\" /D=" + product;
  bool window = false;

  EXPECT_EQ(RunToEnd(installer, switches, &window), 0u);
  EXPECT_FALSE(window);
  EXPECT_EQ(Text(ReadFileBytes(product + "\\readme.txt")), "new readme");
  EXPECT_EQ(Text(ReadFileBytes(product + "\\new\\deeper\\added.txt")), "added");
  EXPECT_FALSE(Exists(product + "\\old.dll"));
  const std::string done = "Update file count: 3\r\n\r\n" + ItemLine("readme.txt", "OK") +
                           ItemLine("added.txt", "OK") + ItemLine("old.dll", "OK") +
                           "\r\nUpdate installed successfully !\r\n";
  EXPECT_EQ(Text(ReadFileBytes(log)), done);
  CopyFileA(log.c_str(), (installer.dir + "\\success.log").c_str(), FALSE);

  // Run again: the readme is no longer the old one.
  EXPECT_EQ(RunToEnd(installer, switches, &window), 3u);
  EXPECT_FALSE(window);
  EXPECT_NE(Text(ReadFileBytes(log)).find("Update finished with errors: 1 of 3"), std::string::npos);

  // Files another program holds (write sharing denied): replaced and deleted
  // at the restart, code 3010. The requests are in the registry in pairs:
  // the new content beside the file goes over it ("!": replacing), the
  // deleted file goes nowhere (empty, which ends the list read here).
  WriteOldProduct(product);
  PendingRenames();
  std::vector<HANDLE> holders;
  for (const char* name : {"\\readme.txt", "\\old.dll"}) {
    holders.push_back(CreateFileA((product + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(holders.back(), INVALID_HANDLE_VALUE);
  }
  EXPECT_EQ(RunToEnd(installer, switches, &window), 3010u);
  for (HANDLE holder : holders) CloseHandle(holder);
  EXPECT_FALSE(window);
  std::vector<std::string> pending = PendingRenames();
  ASSERT_EQ(pending.size(), 3u);
  EXPECT_NE(pending[0].find("\\~upk"), std::string::npos) << pending[0];
  EXPECT_EQ(pending[1].rfind("!", 0), 0u) << pending[1];
  EXPECT_NE(pending[1].find("readme.txt"), std::string::npos) << pending[1];
  EXPECT_NE(pending[2].find("old.dll"), std::string::npos) << pending[2];
  EXPECT_EQ(Text(ReadFileBytes(product + "\\readme.txt")), "old readme") << "replaced only at the restart";
  EXPECT_EQ(Text(ReadFileBytes(log)),
            "Update file count: 3\r\n\r\n" +
                ItemLine("readme.txt", "OK, the file is in use and will be replaced when Windows restarts") +
                ItemLine("added.txt", "OK") +
                ItemLine("old.dll", "OK, the file is in use and will be deleted when Windows restarts") +
                "\r\nUpdate installed successfully !\r\nRestart Windows to complete the update.\r\n");
  CopyFileA(log.c_str(), (installer.dir + "\\restart.log").c_str(), FALSE);

  // A destination that does not exist, and a bad switch: nothing touched.
  // The log is UTF-8 from the ANSI code page in force (1252 here, where an
  // 1251 conversion made "Caf\xE9" "Caf\xD0\xB9").
  WriteOldProduct(product);
  EXPECT_EQ(RunToEnd(installer, "/S /LOG=" + WinPath(UPKIT_E2E_DIR) + "\\missing.log /D=" + product +
                                    "\\Caf\xE9",
                     &window),
            4u);
  EXPECT_FALSE(window);
  EXPECT_EQ(Text(ReadFileBytes(WinPath(UPKIT_E2E_DIR) + "\\missing.log")),
            "The destination folder does not exist: " + product + "\\Caf\xC3\xA9\r\n");
  EXPECT_EQ(RunToEnd(installer, "/S /quiet /D=" + product, &window), 6u);
  EXPECT_FALSE(window);
  EXPECT_EQ(Text(ReadFileBytes(product + "\\readme.txt")), "old readme");
  // Regression: an unquoted /LOG= path cut at its space created the file
  // named by its first half before the rest of the line was refused.
  const std::string cut = installer.dir + "\\Program";
  EXPECT_EQ(RunToEnd(installer, "/S /LOG=" + cut + " Files\\x.log /D=" + product, &window), 6u);
  EXPECT_FALSE(Exists(cut));
}

// ---- All-or-nothing updates -------------------------------------------------

using ProductFiles = std::vector<std::pair<std::string, Bytes>>;

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

int32_t CrcOf(const Bytes& bytes) {
  return static_cast<int32_t>(Crc32Block(bytes.data(), static_cast<uint32_t>(bytes.size())));
}

// An old and a new release: `deltas` files of `size` bytes changed in
// places (delta items, checked as `upkit diff` checks them) and a text that
// is replaced; the all-or-nothing package between them, stored uncompressed
// (random content does not compress, and compressing it is slow).
struct Release {
  ProductFiles old_files, new_files;
  Bytes package;
};

Release MakeRelease(int deltas, size_t size) {
  Release release;
  pack::Package package = SmallPackage();
  package.AllOrNothing = true;
  for (int i = 0; i < deltas; ++i) {
    Bytes old_file = RandomBytes(size, 100 + i), new_file = old_file, inserted = RandomBytes(4000, 200 + i);
    new_file.insert(new_file.begin() + static_cast<long>(size / 3), inserted.begin(), inserted.end());
    new_file.erase(new_file.begin() + static_cast<long>(size / 2), new_file.begin() + static_cast<long>(size / 2) + 999);
    std::string name = "lib" + std::to_string(i) + ".dll";
    pack::PackageItem item;
    item.OriginName = name;
    item.Action = 6;
    item.Data = pack::EncodeDelta(old_file, new_file);
    item.CheckSize = item.CheckCRC = 1;
    item.Size = static_cast<int32_t>(old_file.size());
    item.CRC = CrcOf(old_file);
    package.Items.push_back(item);
    release.old_files.push_back({name, old_file});
    release.new_files.push_back({name, new_file});
  }
  pack::PackageItem readme;
  readme.OriginName = "readme.txt";
  readme.Action = 3;
  readme.Data = AsBytes("new readme");
  readme.CheckCRC = 1;
  readme.CRC = static_cast<int32_t>(Crc32Text("old readme"));
  package.Items.push_back(readme);
  release.old_files.push_back({"readme.txt", AsBytes("old readme")});
  release.new_files.push_back({"readme.txt", AsBytes("new readme")});
  pack::ContainerOptions options = Options();
  options.compressed = false;
  release.package = pack::WritePackage(package, options);
  return release;
}

void WriteProduct(const std::string& product, const ProductFiles& files) {
  RemoveTree(product);
  CreateDirectoryA(product.c_str(), nullptr);
  for (const auto& [name, bytes] : files) WriteFileBytes(product + "\\" + name, bytes);
}

// Empty when the folder holds exactly `files`, else what differs.
std::string Differences(const std::string& product, const ProductFiles& files) {
  std::string found;
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA((product + "\\*").c_str(), &data);
  size_t count = 0;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      ++count;
      bool known = false;
      for (const auto& file : files) known = known || file.first == name;
      if (!known) found += "unexpected " + name + "; ";
    } while (FindNextFileA(search, &data));
    FindClose(search);
  }
  for (const auto& [name, bytes] : files) {
    if (ReadFileBytes(product + "\\" + name) != bytes) found += "wrong " + name + "; ";
  }
  if (count != files.size() && found.empty()) found = "files missing";
  return found;
}

// A silent run started without waiting (robot::Process::Start waits for
// the first idle moment, which a run without windows reaches only at its
// end). The handle is closed when the object goes; the process then ends.
struct SilentRun {
  PROCESS_INFORMATION info{};
  SilentRun(const std::string& exe, const std::string& arguments) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    std::string command = "\"" + exe + "\" " + arguments;
    EXPECT_TRUE(CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &info))
        << exe;
  }
  ~SilentRun() {
    if (!info.hProcess) return;
    Kill();
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  bool Ended(DWORD timeout_ms) { return WaitForSingleObject(info.hProcess, timeout_ms) == WAIT_OBJECT_0; }
  DWORD ExitCode() {
    DWORD code = 0xDEAD;
    EXPECT_TRUE(Ended(kWait)) << "installer did not end";
    GetExitCodeProcess(info.hProcess, &code);
    return code;
  }
  void Kill() {
    if (!Ended(0)) TerminateProcess(info.hProcess, 99);
    Ended(5000);
  }
};

// Killed at random moments of silent runs, then run again: the product is
// the new release every time, with nothing left beside it.
TEST(AllOrNothing, EveryKilledRunIsFinishedOrUndoneByTheNextRun) {
  Release release = MakeRelease(8, 800000);
  Installer installer;
  installer.Build("kill_points", {{"LR5", release.package}});
  const std::string product = installer.dir + "\\product";
  const std::string log = installer.dir + "\\run.log";
  const std::string switches = "/S /LOG=\"" + log + "\" /D=" + product;
  bool window = false;

  // Kills are timed from the engine's start (its first log line), which
  // Wine's start-up delays by a varying amount; spread over the engine's
  // duration, the shorter of two runs.
  auto wait_for_engine = [&log](SilentRun& run) {
    while (!run.Ended(1) && ReadFileBytes(log).empty()) {
    }
  };
  DWORD engine_time = 0xFFFFFFFF;
  for (int calibration = 0; calibration < 2; ++calibration) {
    WriteProduct(product, release.old_files);
    DeleteFileA(log.c_str());
    SilentRun run(installer.exe, switches);
    wait_for_engine(run);
    DWORD start = GetTickCount();
    ASSERT_EQ(run.ExitCode(), 0u) << Text(ReadFileBytes(log));
    engine_time = std::min<DWORD>(engine_time, GetTickCount() - start);
    EXPECT_EQ(Differences(product, release.new_files), "");
  }

  // Until 22 kills have landed on a running installer (a run may end
  // before its kill when the machine is faster than at calibration).
  std::mt19937 rng(16);
  int landed = 0, mid_update = 0, round = 0;
  for (; landed < 22 && round < 40; ++round) {
    WriteProduct(product, release.old_files);
    DeleteFileA(log.c_str());
    {
      SilentRun run(installer.exe, switches);
      wait_for_engine(run);
      Sleep(std::uniform_int_distribution<DWORD>(0, engine_time)(rng));
      if (!run.Ended(0)) {
        run.Kill();
        ++landed;
        mid_update += Exists(product + "\\~upkit.journal");
      }
    }
    EXPECT_EQ(RunToEnd(installer, switches, &window), 0u) << round << ": " << Text(ReadFileBytes(log));
    EXPECT_EQ(Differences(product, release.new_files), "") << "round " << round;
  }
  std::printf("kill points: %d of %d killed a running installer, %d of them with a journal (engine %lu ms)\n",
              landed, round, mid_update, static_cast<unsigned long>(engine_time));
  EXPECT_GE(landed, 22);
  EXPECT_GE(mid_update, 5) << "the kills should land inside the update, not only before it";

  // Run again on the new release: nothing to do, nothing changed.
  EXPECT_EQ(RunToEnd(installer, switches, &window), 0u);
  EXPECT_NE(Text(ReadFileBytes(log)).find("Updating [lib0.dll]  ...  OK, already up to date"), std::string::npos)
      << Text(ReadFileBytes(log));
  EXPECT_EQ(Differences(product, release.new_files), "");
}

// A disk that fills up while the new files are written: the update is
// undone, the log names the real error (disk full, not a write fault), and
// the product is as it was. Needs the small volume the test fixture mounts
// (root only).
TEST(AllOrNothing, ADiskThatFillsUpPartWayIsUndone) {
  const std::string disk = WinPath(UPKIT_E2E_DIR) + "\\small_disk";
  if (!Exists(disk + "\\.mounted")) GTEST_SKIP() << "no small volume at " << disk << " (the tests need root to mount one)";
  Release release = MakeRelease(2, 8000000);
  Installer installer;
  installer.Build("disk_full", {{"LR5", release.package}});
  const std::string product = disk + "\\product", filler = disk + "\\filler";
  const std::string log = installer.dir + "\\run.log";
  WriteProduct(product, release.old_files);
  DeleteFileA(log.c_str());

  // Once the first new file is being written (the checks, free space
  // included, have passed), the rest of the disk is taken.
  SilentRun run(installer.exe, "/S /LOG=\"" + log + "\" /D=" + product);
  using SuspendFn = LONG(WINAPI*)(HANDLE);
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  auto suspend = reinterpret_cast<SuspendFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSuspendProcess")));
  auto resume = reinterpret_cast<SuspendFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtResumeProcess")));
  HANDLE process = run.info.hProcess;
  for (DWORD waited = 0; waited < kWait && Text(ReadFileBytes(log)).find("Updating [") == std::string::npos; ++waited) {
    Sleep(1);
  }
  if (process && suspend) suspend(process);
  ULARGE_INTEGER free_bytes{};
  ASSERT_TRUE(GetDiskFreeSpaceExA(disk.c_str(), &free_bytes, nullptr, nullptr));
  WriteFileBytes(filler, Bytes(static_cast<size_t>(free_bytes.QuadPart - std::min<ULONGLONG>(free_bytes.QuadPart, 64 * 1024))));
  if (process && resume) resume(process);
  EXPECT_EQ(run.ExitCode(), 3u);
  DeleteFileA(filler.c_str());

  const std::string text = Text(ReadFileBytes(log));
  EXPECT_NE(text.find("Code: 112."), std::string::npos) << text;
  EXPECT_NE(text.find("The update was undone: every file is as it was."), std::string::npos) << text;
  EXPECT_EQ(Differences(product, release.old_files), "");
  RemoveTree(product);
}

// An interactive run with /D= and /LOG=: the wizard starts in that folder
// and the log file holds what the results window shows. /? and a bad switch
// answer with the switch list.
TEST(CommandLine, InteractiveRunsTakeTheFolderAndLogAndAnswerSwitchQuestions) {
  Installer installer;
  installer.Build("interactive_switches", DeploymentPackage());
  const std::string product = installer.dir + "\\My Product";
  const std::string log = installer.dir + "\\interactive.log";
  CreateDirectoryA(product.c_str(), nullptr);
  WriteOldProduct(product);
  ASSERT_TRUE(installer.process.Start(installer.exe, {}, "/LOG=" + log + " /d=" + product));
  HWND licence = installer.Window("License agreement");
  ASSERT_NE(licence, nullptr);
  robot::Click(Control(licence, "Button", "I accept the terms in the License Agreement"));
  Sleep(300);
  robot::Click(Control(licence, "Button", "Next>"));
  HWND wizard = installer.Window("Small Update");
  ASSERT_NE(wizard, nullptr);
  EXPECT_EQ(robot::Text(Control(wizard, "Edit", "")), product);
  robot::Click(Control(wizard, "Button", "Next"));
  ASSERT_TRUE(robot::WaitForWindowGone(wizard, kWait));
  HWND results = installer.Window("Small Update");
  ASSERT_NE(results, nullptr);
  ASSERT_TRUE(WaitForButton(results, "Close"));
  std::string shown = robot::JoinRuns(robot::ReadRichEditRuns(LogOf(results)));
  EXPECT_NE(shown.find("Update installed successfully !"), std::string::npos) << shown;
  EXPECT_EQ(Text(ReadFileBytes(log)), shown);
  robot::Click(Control(results, "Button", "Close"));
  EXPECT_EQ(installer.ExitCode(), 0u);

  for (const char* arguments : {"/?", "/S/D=x"}) {
    ASSERT_TRUE(installer.process.Start(installer.exe, {}, arguments));
    robot::MessageBoxInfo box;
    ASSERT_TRUE(robot::WaitForMessageBox(installer.process.Id(), "Command line", kWait, &box));
    EXPECT_NE(box.text.find("/LOG=FILE"), std::string::npos) << box.text;
    bool help = std::string(arguments) == "/?";
    EXPECT_EQ(box.text.rfind("Unknown switch: /S/D=x", 0), help ? std::string::npos : 0u) << box.text;
    robot::AnswerMessageBox(box.window, IDOK);
    EXPECT_EQ(installer.ExitCode(), help ? 0u : 6u);
  }
}

// Regression: a msftedit.dll left beside the installer ran when the licence
// dialog opened, since the program's folder came first in the DLL search.
// Copies of a DLL that leaves a marker when loaded lie beside the installer
// under the names of libraries loaded on demand; a whole run must load none
// of them, and Common Controls 6 come only from the system's store. Its
// licence is far beyond the rich-edit control's default limit of 32,767
// characters, which used to cut it short.
TEST(Installer, PlantedLibrariesStayUnloadedAndALongLicenceStaysWhole) {
  Installer installer;
  std::string product = ScenarioDir("planted_product");
  WriteFileBytes(product + "\\old.txt", AsBytes("old"));
  pack::Package package = SmallPackage();
  package.DefaultDir = product;
  std::string licence = "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}\\f0\\fs20 ";
  for (int i = 0; i < 1200; ++i) licence += "Clause " + Decimal(i) + " of the terms, read it well.\\par ";
  licence += "End of the terms.\\par}";
  package.DocumentText = AsBytes(licence);
  pack::PackageItem item;
  item.OriginName = "old.txt";
  item.Action = 4;
  package.Items = {item};
  installer.Build("planted", package);
  Bytes marker = ReadFileBytes(WinPath(UPKIT_MARKER_DLL_PATH));
  ASSERT_FALSE(marker.empty());
  const char* planted[] = {"msftedit.dll", "riched20.dll", "riched32.dll",
                           "comctl32.dll", "uxtheme.dll",  "version.dll"};
  for (const char* name : planted) WriteFileBytes(installer.dir + "\\" + name, marker);
  installer.Start();

  HWND licence_window = installer.Window("License agreement");
  ASSERT_NE(licence_window, nullptr);
  // The themed Common Controls 6 come through the activation context, from
  // the system's side-by-side store.
  bool side_by_side = false;
  for (std::string path : robot::LoadedModules(installer.process.Id())) {
    for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (path.size() < 13 || path.compare(path.size() - 13, 13, "\\comctl32.dll") != 0) continue;
    side_by_side |= path.find("\\winsxs\\") != std::string::npos;
  }
  EXPECT_TRUE(side_by_side) << "no comctl32.dll of the side-by-side store loaded";
  HWND viewer = LogOf(licence_window);
  std::string shown = robot::ReadRichEditText(viewer);
  EXPECT_GT(shown.size(), 40000u);
  // Windows cuts text at the control's limit; Wine keeps it and raises the
  // limit to the text's length, so only a limit far above it shows it was set.
  EXPECT_GT(SendMessageA(viewer, EM_GETLIMITTEXT, 0, 0), 1 << 24);
  EXPECT_NE(shown.find("End of the terms."), std::string::npos)
      << "licence cut after " << shown.size() << " characters";
  robot::Click(Control(licence_window, "Button", "I accept the terms in the License Agreement"));
  Sleep(300);
  robot::Click(Control(licence_window, "Button", "Next>"));
  HWND wizard = installer.Window("Small Update");
  ASSERT_NE(wizard, nullptr);
  robot::Click(Control(wizard, "Button", "Next"));
  ASSERT_TRUE(robot::WaitForWindowGone(wizard, kWait));
  HWND results = installer.Window("Small Update");
  ASSERT_NE(results, nullptr);
  ASSERT_TRUE(WaitForButton(results, "Close")) << "engine did not finish";
  LogBuilder expected;
  expected.Line("Update file count: 1", kWhite).Line("", kWhite);
  expected.Item("Updating [", "old.txt").Line("OK", kWhite);
  expected.Line("", kWhite).Line("Update installed successfully !", kWhite);
  ExpectLog(LogOf(results), expected);
  robot::Click(Control(results, "Button", "Close"));
  EXPECT_EQ(installer.ExitCode(), 0u);
  EXPECT_FALSE(Exists(product + "\\old.txt"));
  for (const char* name : planted) {
    EXPECT_FALSE(Exists(installer.dir + "\\" + name + ".loaded")) << name << " was loaded";
  }
}

// ---- Scale and keyboard ------------------------------------------------------

// A form of outer size 510 x `height` at 96 DPI: its client area scales
// (the caption's own height follows the system), and it stays centred.
void ExpectScaledForm(HWND form, int height) {
  RECT frame{};
  AdjustWindowRectExForDpi(&frame, WS_CAPTION | WS_SYSMENU, FALSE, 0, 96);
  RECT client{}, outer{};
  GetClientRect(form, &client);
  GetWindowRect(form, &outer);
  EXPECT_NEAR(client.right, Scaled(510 - (frame.right - frame.left)), 2);
  EXPECT_NEAR(client.bottom, Scaled(height - (frame.bottom - frame.top)), 2);
  EXPECT_LE(std::abs((outer.left + outer.right) / 2 - GetSystemMetrics(SM_CXSCREEN) / 2), 1);
  EXPECT_LE(std::abs((outer.top + outer.bottom) / 2 - GetSystemMetrics(SM_CYSCREEN) / 2), 1);
}

// Presses a key in `window`'s process and gives it time to act.
void Key(HWND window, WORD key, bool shift) {
  SetForegroundWindow(window);
  robot::PressKey(key, shift);
  Sleep(250);
}

// Tabs through the form: the focus must visit `order` and come back to the start.
void ExpectTabOrder(HWND form, const std::vector<HWND>& order, const char* what) {
  HWND start = robot::FocusedControl(form);
  for (HWND expected : order) {
    Key(form, VK_TAB);
    EXPECT_EQ(robot::FocusedControl(form), expected) << what << ": Tab to \"" << robot::Text(expected) << "\"";
  }
  Key(form, VK_TAB);
  EXPECT_EQ(robot::FocusedControl(form), start) << what << ": Tab back to the start";
}

// Every window at the screen's scale (today's pixels at 96 DPI, 1.5 times at
// 144: the e2e_dpi144 entry) answers the keyboard: focus starts on the
// useful control, Tab goes in visual order, Space ticks and clicks, Enter
// presses the focused or default button (Esc: the exit-code tests above).
TEST(Scaled, EveryWindowScalesAndAnswersTheKeyboard) {
  pack::Package package = SmallPackage();
  package.ButtonCaption = "Install";
  package.DocumentText = AsBytes(kLicence);
  package.Picture = TwoColourBmp(120, 150);
  Installer installer;
  std::string product = ScenarioDir("keys_product");
  package.DefaultDir = product;
  installer.Build("keys", package);
  installer.Start();

  HWND licence = installer.Window("License agreement");
  ASSERT_NE(licence, nullptr);
  ExpectScaledForm(licence, 390);
  HWND viewer = LogOf(licence);
  HWND accept = Control(licence, "Button", "I accept the terms in the License Agreement");
  HWND next = Control(licence, "Button", "Next>");
  HWND exit = Control(licence, "Button", "Exit");
  ExpectRect(Control(licence, "Static", "License agreement:"), 10, 10, 495, 15, "heading");
  ExpectRect(viewer, 10, 27, 485, 273, "viewer");
  ExpectRect(accept, 10, 302, 495, 20, "accept check box");
  ExpectRect(next, 310, 330, 90, 25, "Next>");
  ExpectRect(exit, 405, 330, 90, 25, "Exit");
  HWND address = Control(licence, "Static", "https://upkit.example.org/");
  ASSERT_NE(address, nullptr);
  EXPECT_GT(robot::RectInParent(address).right - robot::RectInParent(address).left, Scaled(100));
  EXPECT_EQ(robot::FocusedControl(licence), accept);
  ExpectTabOrder(licence, {exit, viewer}, "licence");  // Next> is still disabled
  Key(licence, VK_RETURN);
  EXPECT_TRUE(robot::Visible(licence)) << "Enter on a disabled Next>";
  Key(licence, VK_SPACE);
  EXPECT_TRUE(robot::Checked(accept));
  EXPECT_TRUE(robot::Enabled(next));
  Shot(licence, "scaled_licence");
  Key(licence, VK_RETURN);

  HWND wizard = installer.Window("Small Update");
  ASSERT_NE(wizard, nullptr);
  ExpectScaledForm(wizard, 385);
  ExpectRect(Control(wizard, "Static", "Small"), 189, 27, 321, 35, "project");
  ExpectRect(Control(wizard, "Button", "Author information"), 189, 64, 296, 70, "author frame");
  ExpectRect(Control(wizard, "Button", "Choose Destination Location"), 189, 173, 296, 75, "folder frame");
  ExpectRect(Control(wizard, "Static", "Destination folder:"), 10, 16, 120, 15, "folder label");
  HWND field = Control(wizard, "Edit", "");
  ExpectRect(field, 10, 33, 276, 18, "folder field");
  HWND browse = Control(wizard, "Static", "Browse");
  ExpectRect(browse, 10, 53, 276, 18, "Browse link");
  HWND count = Control(wizard, "Static", "Update file count: 0");
  ExpectRect(count, 189, 270, 296, 15, "count");
  HWND backup = Control(wizard, "Button", "Backup the files that will be modified");
  ExpectRect(backup, 189, 287, 296, 18, "backup");
  ExpectRect(Control(wizard, "Static", "https://upkit.example.org/"), 0, 330, 164, 15, "address");
  HWND install = Control(wizard, "Button", "Install");
  HWND cancel = Control(wizard, "Button", "Cancel");
  ExpectRect(install, 310, 325, 90, 25, "Install");
  ExpectRect(cancel, 405, 325, 90, 25, "Cancel");
  {
    // The picture at the top-left corner, scaled with smoothing: a blend of
    // the two colours where they meet.
    Sleep(300);
    int width = 0, height = 0;
    std::vector<uint32_t> pixels = robot::CaptureWindow(wizard, &width, &height);
    ASSERT_FALSE(pixels.empty());
    RECT outer{};
    GetWindowRect(wizard, &outer);
    auto at_screen = [&](int x, int y) { return pixels[static_cast<size_t>(y - outer.top) * width + (x - outer.left)]; };
    POINT origin{0, 0};
    ClientToScreen(wizard, &origin);
    auto pixel = [&](int x, int y) { return at_screen(origin.x + x, origin.y + y); };
    EXPECT_EQ(pixel(Scaled(5), Scaled(5)), 0xFF0000u) << "top of the picture (red)";
    EXPECT_EQ(pixel(Scaled(100), Scaled(140)), 0x00FF00u) << "bottom of the picture (green)";
    EXPECT_EQ(pixel(Scaled(130), Scaled(10)), 0xFFFFFFu) << "right of the picture: white area";
    if (TestDpi() != 96) {
      bool blended = false;
      for (int y = Scaled(70); y < Scaled(80); ++y) {
        uint32_t p = pixel(Scaled(60), y);
        blended |= (p >> 16 & 0xFF) > 0x20 && (p >> 16 & 0xFF) < 0xE0 && (p >> 8 & 0xFF) > 0x20;
      }
      EXPECT_TRUE(blended) << "the picture is not smoothed where its colours meet";
    }
    // The check box's square (left of its text) and the count label's text
    // lie inside their controls with room above and below, at their scaled
    // size: nothing is cut, and the font grew with the scale.
    for (auto [control, columns, least] : {std::tuple{backup, Scaled(14), Scaled(11)}, {count, Scaled(296), Scaled(9)}}) {
      RECT r{};
      GetWindowRect(control, &r);
      int first = -1, last = -1;
      for (int y = r.top; y < r.bottom; ++y) {
        for (int x = r.left; x < r.left + columns; ++x) {
          if (at_screen(x, y) == 0xFFFFFFu) continue;
          if (first < 0) first = y - r.top;
          last = y - r.top;
        }
      }
      EXPECT_GT(first, 0) << robot::Text(control) << ": cut at the top";
      EXPECT_LT(last, r.bottom - r.top - 1) << robot::Text(control) << ": cut at the bottom";
      EXPECT_GE(last - first + 1, least) << robot::Text(control) << ": too small";
    }
  }
  Shot(wizard, "scaled_wizard");

  // Moved to a monitor of the other scale, and back.
  robot::SendDpiChanged(wizard, TestDpi() == 96 ? 144 : 96);
  RECT moved = robot::RectInParent(install);
  EXPECT_NEAR(moved.left, TestDpi() == 96 ? 465 : 310, 4);
  EXPECT_NEAR(moved.bottom - moved.top, TestDpi() == 96 ? 38 : 25, 4);
  robot::SendDpiChanged(wizard, TestDpi());
  ExpectRect(install, 310, 325, 90, 25, "Install after the move back");
  ExpectRect(backup, 189, 287, 296, 18, "backup after the move back");

  EXPECT_EQ(robot::FocusedControl(wizard), install);
  ExpectTabOrder(wizard, {cancel, browse, backup}, "wizard");
  Key(wizard, VK_TAB, true);
  EXPECT_EQ(robot::FocusedControl(wizard), backup) << "Shift+Tab";
  Key(wizard, VK_SPACE);
  EXPECT_TRUE(robot::Checked(backup));
  Key(wizard, VK_TAB, true);
  ASSERT_EQ(robot::FocusedControl(wizard), browse);
  Key(wizard, VK_RETURN);
  HWND browser = robot::WaitForWindow(installer.process.Id(), "", "#32770", kWait);
  ASSERT_NE(browser, nullptr) << "Enter on Browse opens no folder browser";
  Sleep(500);
  Key(browser, VK_ESCAPE);
  ASSERT_TRUE(robot::WaitForWindowGone(browser, kWait));
  EXPECT_EQ(robot::Text(field), product) << "a cancelled browser changes nothing";
  Key(wizard, VK_SPACE);
  browser = robot::WaitForWindow(installer.process.Id(), "", "#32770", kWait);
  ASSERT_NE(browser, nullptr) << "Space on Browse opens no folder browser";
  robot::AnswerMessageBox(browser, IDCANCEL);
  ASSERT_TRUE(robot::WaitForWindowGone(browser, kWait));
  Key(wizard, VK_TAB);  // on the check box: Enter presses the default Install
  Key(wizard, VK_RETURN);

  ASSERT_TRUE(robot::WaitForWindowGone(wizard, kWait));
  HWND results = installer.Window("Small Update");
  ASSERT_NE(results, nullptr);
  ASSERT_TRUE(WaitForButton(results, "Close"));
  ExpectScaledForm(results, 385);
  ExpectRect(LogOf(results), 10, 27, 485, 259, "log");
  ExpectRect(Control(results, "msctls_progress32", ""), 10, 288, 485, 17, "progress");
  HWND close = Control(results, "Button", "Close");
  ExpectRect(close, 405, 325, 90, 25, "Close");
  EXPECT_EQ(robot::FocusedControl(results), close);
  Shot(results, "scaled_results");
  Key(results, VK_RETURN);
  EXPECT_EQ(installer.ExitCode(), 0u) << "Enter on Close";
}

// Russian package: every fixed text in code page 1251. Needs the robot and
// the installer to run with the ANSI code page 1251 (LC_ALL=ru_RU.UTF-8).
TEST(Russian, EveryFixedTextIsRussian) {
  if (GetACP() != 1251) GTEST_SKIP() << "ANSI code page is " << GetACP() << ", not 1251";
  Installer installer;
  std::string product = ScenarioDir("ru_product");
  pack::Package package = SmallPackage();
  package.Language = 0;
  package.DefaultDir = product + "\\missing";
  package.ButtonCaption = "Install";
  package.DocumentText = AsBytes(kLicence);
  pack::PackageItem gone;
  gone.OriginName = "gone.txt";
  gone.Action = 4;
  pack::PackageItem absent;
  absent.OriginName = "absent.txt";
  absent.Action = 2;
  package.Items = {gone, absent};
  installer.Build("russian", package);
  installer.Start();

  HWND licence = installer.Window(text::kLicenseAgreement.russian);
  ASSERT_NE(licence, nullptr);
  EXPECT_NE(robot::FindControl(licence, "Static", text::kLicenseAgreementHeading.russian), nullptr);
  HWND accept = Control(licence, "Button", text::kAcceptLicense.russian);
  HWND next = Control(licence, "Button", text::kNext.russian);
  EXPECT_NE(robot::FindControl(licence, "Button", text::kExit.russian), nullptr);
  Shot(licence, "ru_licence");
  robot::Click(accept);
  Sleep(300);
  robot::Click(next);

  HWND wizard = installer.Window("Small Update");
  ASSERT_NE(wizard, nullptr);
  for (const TextPair* pair : {&text::kUpdateProgramFor, &text::kDestinationFolder, &text::kBrowseLink}) {
    EXPECT_NE(robot::FindControl(wizard, "Static", pair->russian), nullptr) << pair->english;
  }
  for (const TextPair* pair : {&text::kAuthorInformation, &text::kChooseDestination,
                               &text::kBackupFiles, &text::kCancel}) {
    EXPECT_NE(robot::FindControl(wizard, "Button", pair->russian), nullptr) << pair->english;
  }
  EXPECT_NE(robot::FindControl(wizard, "Static", std::string(text::kUpdateFileCount.russian) + "2"), nullptr);
  Shot(wizard, "ru_wizard");
  robot::Click(Control(wizard, "Button", "Install"));
  robot::MessageBoxInfo box;
  ASSERT_TRUE(robot::WaitForMessageBox(installer.process.Id(), "", kWait, &box));
  EXPECT_EQ(box.caption, text::kError.russian);
  EXPECT_EQ(box.text, std::string(text::kWrongFolder.russian) + "\n\r(" + product + "\\missing)");
  robot::AnswerMessageBox(box.window, IDOK);
  ASSERT_TRUE(robot::WaitForWindowGone(box.window, kWait));
  HWND field = Control(wizard, "Edit", "");
  ASSERT_NE(field, nullptr);
  SendMessageA(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(product.c_str()));
  robot::Click(Control(wizard, "Button", "Install"));

  ASSERT_TRUE(robot::WaitForWindowGone(wizard, kWait));
  HWND results = installer.Window("Small Update");
  ASSERT_NE(results, nullptr);
  ASSERT_TRUE(WaitForButton(results, text::kClose.russian));
  EXPECT_NE(robot::FindControl(results, "Static", text::kUpdateResults.russian), nullptr);
  LogBuilder expected;
  expected.Line(std::string(text::kUpdateFileCount.russian) + "2", kWhite).Line("", kWhite);
  expected.Item(text::kUpdating.russian, "gone.txt").Line("OK", kWhite);
  expected.Item(text::kUpdating.russian, "absent.txt")
      .Line(std::string(text::kNotFoundIn.russian) + product + "\\", kRed);
  expected.Line("", kWhite);
  char closing[160];
  std::snprintf(closing, sizeof(closing), text::kUpdateFinishedWithErrors.russian, 1, 2);
  expected.Line(closing, kRed);
  ExpectLog(LogOf(results), expected, 1251);
  Shot(results, "ru_results");
  robot::Click(Control(results, "Button", text::kClose.russian));
  EXPECT_EQ(installer.ExitCode(), 0u);
}

}  // namespace
}  // namespace upkit
