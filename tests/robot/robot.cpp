#include "tests/robot/robot.h"

#include <richedit.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace upkit::robot {
namespace {

constexpr DWORD kPollMs = 20;
constexpr UINT kSendTimeoutMs = 3000;

struct EnumContext {
  DWORD pid;
  std::vector<HWND>* out;
};

BOOL CALLBACK CollectTop(HWND hwnd, LPARAM param) {
  auto* context = reinterpret_cast<EnumContext*>(param);
  if (!IsWindowVisible(hwnd)) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (context->pid == 0 || context->pid == pid) context->out->push_back(hwnd);
  return TRUE;
}

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
  return TRUE;
}

bool Matches(HWND hwnd, const std::string& caption, const std::string& cls) {
  return (caption.empty() || Text(hwnd) == caption) && (cls.empty() || ClassName(hwnd) == cls);
}

// Remote memory in another process, released with the object.
class RemoteBlock {
 public:
  RemoteBlock(HWND window, size_t size) : size_(size) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process_) {
      memory_ = static_cast<uint8_t*>(
          VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
  }
  ~RemoteBlock() {
    if (memory_) VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
    if (process_) CloseHandle(process_);
  }
  RemoteBlock(const RemoteBlock&) = delete;
  RemoteBlock& operator=(const RemoteBlock&) = delete;

  bool Ok() const { return memory_ != nullptr; }
  uint8_t* At(size_t offset) const { return memory_ + offset; }
  bool Write(size_t offset, const void* data, size_t size) {
    SIZE_T done = 0;
    return offset <= size_ && size <= size_ - offset &&
           WriteProcessMemory(process_, At(offset), data, size, &done) && done == size;
  }
  bool Read(size_t offset, void* data, size_t size) {
    SIZE_T done = 0;
    return offset <= size_ && size <= size_ - offset &&
           ReadProcessMemory(process_, At(offset), data, size, &done) && done == size;
  }

 private:
  HANDLE process_ = nullptr;
  uint8_t* memory_ = nullptr;
  size_t size_;
};

LRESULT Send(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(hwnd, message, wparam, lparam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
  return static_cast<LRESULT>(result);
}

// UTF-16 text to `codepage`, each lone "\r" (a rich-edit paragraph end)
// given as "\r\n".
std::string Narrow(const std::wstring& wide, UINT codepage) {
  std::wstring text;
  for (size_t i = 0; i < wide.size(); ++i) {
    text.push_back(wide[i]);
    if (wide[i] == L'\r' && (i + 1 == wide.size() || wide[i + 1] != L'\n')) text.push_back(L'\n');
  }
  if (text.empty()) return {};
  int size = WideCharToMultiByte(codepage, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  WideCharToMultiByte(codepage, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

uint32_t PngCrc(const uint8_t* data, size_t size, uint32_t crc = 0) {
  static uint32_t table[256];
  if (table[1] == 0) {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
  }
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void PutBig32(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void PutChunk(std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& data) {
  PutBig32(out, static_cast<uint32_t>(data.size()));
  size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  PutBig32(out, PngCrc(out.data() + start, out.size() - start));
}

}  // namespace

// ---- Process ------------------------------------------------------------------

Process::~Process() { Kill(); }

Process::Process(Process&& other) noexcept
    : process_(std::exchange(other.process_, nullptr)), id_(std::exchange(other.id_, 0)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    Kill();
    process_ = std::exchange(other.process_, nullptr);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

bool Process::Start(const std::string& exe, const std::string& folder,
                    const std::string& arguments) {
  Kill();
  std::string command = "\"" + exe + "\"";
  if (!arguments.empty()) command += " " + arguments;
  std::string dir = folder;
  if (dir.empty()) {
    size_t cut = exe.find_last_of("\\/");
    if (cut != std::string::npos) dir = exe.substr(0, cut);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      dir.empty() ? nullptr : dir.c_str(), &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  id_ = info.dwProcessId;
  WaitForInputIdle(process_, 5000);
  return true;
}

bool Process::Running() const {
  return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

bool Process::Wait(DWORD timeout_ms, DWORD* exit_code) {
  if (!process_ || WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  if (exit_code) *exit_code = code;
  return true;
}

void Process::Kill() {
  if (!process_) return;
  if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_, 99);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
  process_ = nullptr;
  id_ = 0;
}

std::vector<std::string> LoadedModules(DWORD pid) {
  std::vector<std::string> paths;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
  if (snapshot == INVALID_HANDLE_VALUE) return paths;
  MODULEENTRY32 module{};
  module.dwSize = sizeof(module);
  for (BOOL more = Module32First(snapshot, &module); more; more = Module32Next(snapshot, &module)) {
    paths.push_back(module.szExePath);
  }
  CloseHandle(snapshot);
  return paths;
}

// ---- Finding windows --------------------------------------------------------------

std::vector<HWND> TopLevelWindows(DWORD pid) {
  std::vector<HWND> out;
  EnumContext context{pid, &out};
  EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&context));
  return out;
}

HWND WaitForWindow(DWORD pid, const std::string& caption, const std::string& cls,
                   DWORD timeout_ms) {
  DWORD start = GetTickCount();
  for (;;) {
    for (HWND hwnd : TopLevelWindows(pid)) {
      if (Matches(hwnd, caption, cls)) return hwnd;
    }
    if (GetTickCount() - start >= timeout_ms) return nullptr;
    Sleep(kPollMs);
  }
}

bool WaitForWindowGone(HWND window, DWORD timeout_ms) {
  DWORD start = GetTickCount();
  while (IsWindow(window) && IsWindowVisible(window)) {
    if (GetTickCount() - start >= timeout_ms) return false;
    Sleep(kPollMs);
  }
  return true;
}

std::vector<HWND> Descendants(HWND top) {
  std::vector<HWND> out;
  EnumChildWindows(top, CollectChild, reinterpret_cast<LPARAM>(&out));
  return out;
}

HWND FindControl(HWND top, const std::string& cls, const std::string& text) {
  for (HWND hwnd : Descendants(top)) {
    if (Matches(hwnd, text, cls)) return hwnd;
  }
  return nullptr;
}

// ---- Reading ------------------------------------------------------------------------

std::string Text(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                           &length)) {
    return {};
  }
  std::string text(length + 1, '\0');
  DWORD_PTR got = 0;
  SendMessageTimeoutA(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, kSendTimeoutMs, &got);
  text.resize(std::strlen(text.c_str()));
  return text;
}

std::string ClassName(HWND window) {
  char name[256] = {};
  GetClassNameA(window, name, sizeof(name));
  return name;
}

RECT RectInParent(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  HWND parent = (GetWindowLongA(window, GWL_STYLE) & WS_CHILD) ? GetParent(window) : nullptr;
  if (parent) MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

LONG Style(HWND window) { return GetWindowLongA(window, GWL_STYLE); }
LONG ExStyle(HWND window) { return GetWindowLongA(window, GWL_EXSTYLE); }
bool Enabled(HWND window) { return IsWindowEnabled(window) != FALSE; }
bool Visible(HWND window) { return IsWindowVisible(window) != FALSE; }
bool Checked(HWND check_box) { return Send(check_box, BM_GETCHECK, 0, 0) == BST_CHECKED; }

// ---- Acting ---------------------------------------------------------------------------

void Click(HWND button) { PostMessageA(button, BM_CLICK, 0, 0); }

void ClickLabel(HWND label) {
  RECT client{};
  GetClientRect(label, &client);
  LPARAM point = MAKELPARAM(client.right / 2, client.bottom / 2);
  PostMessageA(label, WM_LBUTTONDOWN, MK_LBUTTON, point);
  PostMessageA(label, WM_LBUTTONUP, 0, point);
}

void RequestClose(HWND window) { PostMessageA(window, WM_CLOSE, 0, 0); }

void HoverOver(HWND control) {
  RECT rect{};
  GetWindowRect(control, &rect);
  MoveMouse((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
}

void MoveMouse(int x, int y) { SetCursorPos(x, y); }

void PressKey(WORD key, bool shift) {
  std::vector<INPUT> inputs;
  auto add = [&](WORD vk, DWORD flags) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.dwFlags = flags;
    inputs.push_back(input);
  };
  if (shift) add(VK_SHIFT, 0);
  add(key, 0);
  add(key, KEYEVENTF_KEYUP);
  if (shift) add(VK_SHIFT, KEYEVENTF_KEYUP);
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

HWND FocusedControl(HWND top) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

// ---- Screen scale ---------------------------------------------------------------------

void UsePhysicalPixels() {
  using Function = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
  auto set = reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("user32.dll"), "SetProcessDpiAwarenessContext")));
  if (set) set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

void SendDpiChanged(HWND window, int dpi) {
  RECT rect{};
  GetWindowRect(window, &rect);
  RemoteBlock remote(window, sizeof(rect));
  if (!remote.Ok() || !remote.Write(0, &rect, sizeof(rect))) return;
  Send(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(remote.At(0)));
}

// ---- Message boxes ----------------------------------------------------------------------

bool WaitForMessageBox(DWORD pid, const std::string& caption, DWORD timeout_ms,
                       MessageBoxInfo* info) {
  HWND box = WaitForWindow(pid, caption, "#32770", timeout_ms);
  if (!box) return false;
  if (info) {
    info->window = box;
    info->caption = Text(box);
    info->style = static_cast<DWORD>(Style(box));
    HWND message = GetDlgItem(box, 0xFFFF);
    info->text = message ? Text(message) : std::string();
    if (info->text.empty()) {
      for (HWND child : Descendants(box)) {
        if (ClassName(child) == "Static" || ClassName(child) == "STATIC") {
          std::string text = Text(child);
          if (!text.empty()) {
            info->text = text;
            break;
          }
        }
      }
    }
  }
  return true;
}

bool AnswerMessageBox(HWND box, int button_id) {
  HWND button = GetDlgItem(box, button_id);
  if (!button) return false;
  Click(button);
  return true;
}

// ---- Rich-edit log ----------------------------------------------------------------------

namespace {

// The control's whole text in UTF-16 (one unit per character position),
// copied out through `remote`, which must hold kTextAt + (length + 16) units.
constexpr size_t kTextAt = 512;
std::wstring RemoteRichText(HWND control, RemoteBlock& remote, size_t capacity) {
  GETTEXTEX request{};
  request.cb = static_cast<DWORD>(capacity * sizeof(wchar_t));
  request.flags = GT_DEFAULT;
  request.codepage = 1200;  // UTF-16
  remote.Write(0, &request, sizeof(request));
  LRESULT count = Send(control, EM_GETTEXTEX, reinterpret_cast<WPARAM>(remote.At(0)),
                       reinterpret_cast<LPARAM>(remote.At(kTextAt)));
  if (count <= 0) return {};
  std::wstring text(static_cast<size_t>(count), L'\0');
  remote.Read(kTextAt, text.data(), text.size() * sizeof(wchar_t));
  return text;
}

}  // namespace

std::string ReadRichEditText(HWND control, UINT codepage) {
  LRESULT length = Send(control, WM_GETTEXTLENGTH, 0, 0);
  if (length < 0) return {};
  size_t capacity = static_cast<size_t>(length) + 16;
  RemoteBlock remote(control, kTextAt + capacity * sizeof(wchar_t));
  if (!remote.Ok()) return {};
  return Narrow(RemoteRichText(control, remote, capacity), codepage);
}

std::vector<LogRun> ReadRichEditRuns(HWND control, UINT codepage) {
  std::vector<LogRun> runs;
  LRESULT length = Send(control, WM_GETTEXTLENGTH, 0, 0);
  if (length < 0) return runs;
  size_t capacity = static_cast<size_t>(length) + 16;
  RemoteBlock remote(control, kTextAt + capacity * sizeof(wchar_t));
  if (!remote.Ok()) return runs;
  std::wstring text = RemoteRichText(control, remote, capacity);
  if (text.empty()) return runs;

  constexpr size_t kRangeAt = 64, kFormatAt = 128;
  std::wstring run;
  COLORREF run_colour = 0;
  for (LONG i = 0; i < static_cast<LONG>(text.size()); ++i) {
    CHARRANGE range{i, i + 1};
    remote.Write(kRangeAt, &range, sizeof(range));
    Send(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(remote.At(kRangeAt)));
    CHARFORMATW format{};
    format.cbSize = sizeof(format);
    format.dwMask = CFM_COLOR;
    remote.Write(kFormatAt, &format, sizeof(format));
    Send(control, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(remote.At(kFormatAt)));
    remote.Read(kFormatAt, &format, sizeof(format));
    COLORREF colour = (format.dwEffects & CFE_AUTOCOLOR) ? GetSysColor(COLOR_WINDOWTEXT)
                                                         : format.crTextColor;
    if (!run.empty() && colour != run_colour) {
      runs.push_back({Narrow(run, codepage), run_colour});
      run.clear();
    }
    run_colour = colour;
    run.push_back(text[static_cast<size_t>(i)]);
  }
  if (!run.empty()) runs.push_back({Narrow(run, codepage), run_colour});
  CHARRANGE end{static_cast<LONG>(text.size()), static_cast<LONG>(text.size())};
  remote.Write(kRangeAt, &end, sizeof(end));
  Send(control, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(remote.At(kRangeAt)));
  return runs;
}

std::string JoinRuns(const std::vector<LogRun>& runs) {
  std::string text;
  for (const LogRun& run : runs) text += run.text;
  return text;
}

// ---- Screenshots -----------------------------------------------------------------------

std::vector<uint32_t> CaptureWindow(HWND window, int* width, int* height) {
  RECT rect{};
  GetWindowRect(window, &rect);
  int w = rect.right - rect.left, h = rect.bottom - rect.top;
  std::vector<uint32_t> pixels;
  if (w <= 0 || h <= 0) return pixels;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap && bits) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, rect.left, rect.top, SRCCOPY | CAPTUREBLT);
    GdiFlush();
    const auto* source = static_cast<const uint32_t*>(bits);
    pixels.assign(source, source + static_cast<size_t>(w) * h);
    for (uint32_t& p : pixels) p &= 0xFFFFFF;
    SelectObject(memory, old);
  }
  if (bitmap) DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  *width = w;
  *height = h;
  return pixels;
}

std::vector<uint8_t> EncodePng(const std::vector<uint32_t>& pixels, int width, int height) {
  std::vector<uint8_t> raw;
  raw.reserve(static_cast<size_t>(height) * (1 + 3 * static_cast<size_t>(width)));
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // filter: none
    for (int x = 0; x < width; ++x) {
      uint32_t p = pixels[static_cast<size_t>(y) * width + x];
      raw.push_back(static_cast<uint8_t>(p >> 16));
      raw.push_back(static_cast<uint8_t>(p >> 8));
      raw.push_back(static_cast<uint8_t>(p));
    }
  }
  // zlib stream of stored deflate blocks.
  std::vector<uint8_t> z = {0x78, 0x01};
  size_t offset = 0;
  do {
    size_t block = raw.size() - offset;
    if (block > 65535) block = 65535;
    bool last = offset + block == raw.size();
    z.push_back(last ? 1 : 0);
    z.push_back(static_cast<uint8_t>(block));
    z.push_back(static_cast<uint8_t>(block >> 8));
    z.push_back(static_cast<uint8_t>(~block));
    z.push_back(static_cast<uint8_t>(~block >> 8));
    z.insert(z.end(), raw.begin() + static_cast<ptrdiff_t>(offset),
             raw.begin() + static_cast<ptrdiff_t>(offset + block));
    offset += block;
  } while (offset < raw.size());
  uint32_t a = 1, b = 0;
  for (uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  PutBig32(z, (b << 16) | a);

  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  PutBig32(header, static_cast<uint32_t>(width));
  PutBig32(header, static_cast<uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", z);
  PutChunk(png, "IEND", {});
  return png;
}

bool SaveWindowPng(HWND window, const std::string& path) {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels = CaptureWindow(window, &width, &height);
  if (pixels.empty()) return false;
  std::vector<uint8_t> png = EncodePng(pixels, width, height);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool ok = std::fwrite(png.data(), 1, png.size(), file) == png.size();
  return std::fclose(file) == 0 && ok;
}

// ---- JSON ----------------------------------------------------------------------------------

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    char escaped[8];
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c >= 0x7F) {
      // Bytes as code points 0..255, so the ANSI bytes survive exactly.
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

namespace {
std::string DescribeOne(HWND hwnd) {
  RECT r = RectInParent(hwnd);
  char head[256];
  std::snprintf(head, sizeof(head),
                "{\"class\":%s,\"rect\":[%ld,%ld,%ld,%ld],\"style\":\"0x%08lX\","
                "\"ex_style\":\"0x%08lX\",\"enabled\":%s,\"visible\":%s,",
                JsonString(ClassName(hwnd)).c_str(), r.left, r.top, r.right - r.left,
                r.bottom - r.top, static_cast<unsigned long>(Style(hwnd)),
                static_cast<unsigned long>(ExStyle(hwnd)), Enabled(hwnd) ? "true" : "false",
                Visible(hwnd) ? "true" : "false");
  std::string out = head;
  out += "\"text\":" + JsonString(Text(hwnd));
  std::string cls = ClassName(hwnd);
  if (cls.rfind("RichEdit", 0) == 0) {
    out += ",\"runs\":[";
    bool first = true;
    for (const LogRun& run : ReadRichEditRuns(hwnd)) {
      char colour[16];
      std::snprintf(colour, sizeof(colour), "\"0x%06lX\"", static_cast<unsigned long>(run.colour));
      out += (first ? "" : ",") + std::string("{\"colour\":") + colour +
             ",\"text\":" + JsonString(run.text) + "}";
      first = false;
    }
    out += "]";
  }
  return out + "}";
}
}  // namespace

std::string DescribeJson(HWND top) {
  std::string out = "{\"window\":" + DescribeOne(top) + ",\"controls\":[";
  bool first = true;
  for (HWND child : Descendants(top)) {
    out += (first ? "\n  " : ",\n  ") + DescribeOne(child);
    first = false;
  }
  return out + "\n]}\n";
}

}  // namespace upkit::robot
