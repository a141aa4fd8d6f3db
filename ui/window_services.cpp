#include "ui/window_services.h"

#include <commctrl.h>
#include <richedit.h>
#include <shlobj.h>

#include <utility>

#include "texts/texts.h"
#include "ui/rich_edit.h"
#include "ui/system_library.h"

namespace upkit::ui {
namespace {

constexpr char kFormClass[] = "UpkitForm";
constexpr char kApplicationClass[] = "UpkitApplication";
constexpr int kDefaultFontHeight = -11;
constexpr char kDefaultFontFace[] = "Arial";
constexpr LPARAM kRichTextLimit = 0x7FFFFFFE;
constexpr DWORD kFormStyle = WS_CAPTION | WS_SYSMENU;  // 0x00C80000

struct CaptionEntry {
  std::string russian, english;
};

// Process-wide state of the window layer (one thread).
struct State {
  WindowHandle application;
  std::vector<CaptionEntry> captions;
  int question_slot = -1, error_slot = -1, browse_slot = -1;
  HWND running = nullptr;
  int dialog_result = -1;
};

State& Ui() {
  static State state;
  return state;
}

LRESULT CALLBACK ApplicationProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
  // The application window only carries the taskbar button; it never closes
  // by itself.
  if (message == WM_CLOSE) return 0;
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

void RegisterClasses() {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA app{};
  app.lpfnWndProc = ApplicationProc;
  app.hInstance = instance;
  app.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
  app.lpszClassName = kApplicationClass;
  RegisterClassA(&app);
}

// The caption of a box: the caller's, or the default of its slot,
// registered at first use.
std::string DefaultCaption(int& slot, const TextPair& pair, const std::string& given) {
  State& ui = Ui();
  if (slot < 0 || slot >= static_cast<int>(ui.captions.size())) {
    slot = RegisterCaption(pair.russian, pair.english);
  }
  return given.empty() ? CaptionText(slot) : given;
}

void CentreOnScreen(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  int width = rect.right - rect.left, height = rect.bottom - rect.top;
  int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The per-monitor DPI functions come with Windows 10 (1607): looked up at
// run time, and without them the screen's DPI serves.
HMODULE User32() { return GetModuleHandleA("user32.dll"); }

int ScreenDpi() {
  WindowDc screen(nullptr);
  int dpi = GetDeviceCaps(screen.Get(), LOGPIXELSY);
  return dpi > 0 ? dpi : 96;
}

int WindowDpi(HWND window) {
  using Function = UINT(WINAPI*)(HWND);
  static const auto get_dpi = SystemProc<Function>(User32(), "GetDpiForWindow");
  int dpi = get_dpi ? static_cast<int>(get_dpi(window)) : 0;
  return dpi > 0 ? dpi : ScreenDpi();
}

// What a form's caption and borders add to its client area at `dpi`.
SIZE FrameAt(int dpi) {
  using Function = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
  static const auto adjust = SystemProc<Function>(User32(), "AdjustWindowRectExForDpi");
  RECT rect{};
  int measured_at = dpi;
  if (!adjust || !adjust(&rect, kFormStyle, FALSE, 0, static_cast<UINT>(dpi))) {
    // Older systems give the frame at the screen's DPI only: scaled from it.
    AdjustWindowRectEx(&rect, kFormStyle, FALSE, 0);
    measured_at = ScreenDpi();
  }
  return {MulDiv(rect.right - rect.left, dpi, measured_at), MulDiv(rect.bottom - rect.top, dpi, measured_at)};
}

// The extent of a control's text in `font`.
SIZE TextSize(HWND control, HFONT font) {
  char text[1024] = {};
  int length = GetWindowTextA(control, text, sizeof(text));
  WindowDc dc(control);
  ScopedSelect select(dc.Get(), font);
  SIZE size{};
  GetTextExtentPoint32A(dc.Get(), text, length, &size);
  return size;
}

// The default frame marks the push button Enter presses.
void ShowAsDefault(HWND button, bool is_default) {
  SendMessageA(button, BM_SETSTYLE, (is_default ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | BS_NOTIFY, TRUE);
}

int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM lparam, LPARAM data) noexcept {
  const char* initial = reinterpret_cast<const char*>(data);
  if (message == BFFM_INITIALIZED) {
    CentreOnScreen(window);
    if (initial && *initial) {
      SendMessageA(window, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(initial));
      SendMessageA(window, BFFM_ENABLEOK, 0, TRUE);
    }
  } else if (message == BFFM_SELCHANGED) {
    SendMessageA(window, BFFM_ENABLEOK, 0, TRUE);
  }
  (void)lparam;
  return 0;
}

}  // namespace

// ---- Application window -------------------------------------------------------

void InitApplication() {
  State& ui = Ui();
  if (ui.application) return;
  // The common controls (the progress bar) come from the system folder at
  // run time: comctl32 is not one of the libraries the system always takes
  // from its own set, so the stub does not import it.
  using InitFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  if (auto init = SystemProc<InitFunction>(LoadSystemLibrary("comctl32.dll"), "InitCommonControlsEx")) {
    init(&controls);
  }
  RegisterClasses();
  // Zero-sized and shown, in the classic way: nothing to see, but it is the
  // window the taskbar button belongs to.
  HWND app = CreateWindowExA(0, kApplicationClass, "",
                             WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX,
                             GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2,
                             0, 0, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  ui.application.Reset(app);
  if (!app) return;
  HMENU menu = GetSystemMenu(app, FALSE);
  DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
  DeleteMenu(menu, SC_MOVE, MF_BYCOMMAND);
  DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
  EnableMenuItem(menu, SC_RESTORE, MF_BYCOMMAND | MF_GRAYED);
  ShowWindow(app, SW_SHOWNOACTIVATE);
}

void ShutdownApplication() {
  State& ui = Ui();
  ui.application.Reset();
  ui.captions.clear();
  ui.captions.shrink_to_fit();
}

HWND ApplicationWindow() { return Ui().application.Get(); }
int DialogResult() { return Ui().dialog_result; }
void SetDialogResult(int value) { Ui().dialog_result = value; }
HWND RunningWindow() { return Ui().running; }

// ---- Captions -----------------------------------------------------------------

int RegisterCaption(const char* russian, const char* english) {
  State& ui = Ui();
  ui.captions.push_back({russian, english});
  return static_cast<int>(ui.captions.size()) - 1;
}

std::string CaptionText(int index) {
  State& ui = Ui();
  if (index < 0 || index >= static_cast<int>(ui.captions.size())) return {};
  const CaptionEntry& entry = ui.captions[static_cast<size_t>(index)];
  return PickText(entry.russian.c_str(), entry.english.c_str());
}

// ---- Boxes and browser --------------------------------------------------------

bool AskQuestion(const std::string& text, const std::string& caption) {
  std::string title = DefaultCaption(Ui().question_slot, text::kConfirmation, caption);
  return MessageBoxA(nullptr, text.c_str(), title.c_str(),
                     MB_OKCANCEL | MB_ICONQUESTION | MB_TASKMODAL) == IDOK;
}

void ShowError(const std::string& text, const std::string& caption) {
  std::string title = DefaultCaption(Ui().error_slot, text::kError, caption);
  MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

std::string BrowseForFolder(const std::string& initial, const std::string& title) {
  std::string result;
  std::string heading = DefaultCaption(Ui().browse_slot, text::kBrowseTitle, title);
  // The folder to select: no trailing "\", except for a bare drive root.
  std::string start = initial;
  if (!start.empty() && start.back() == '\\') {
    start.pop_back();
    if (!start.empty() && start.back() == ':') start.push_back('\\');
  }
  char name[MAX_PATH + 1] = {};
  BROWSEINFOA info{};
  info.hwndOwner = Ui().running;
  info.pidlRoot = nullptr;
  info.pszDisplayName = name;
  info.lpszTitle = heading.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  info.lpfn = BrowseCallback;
  info.lParam = reinterpret_cast<LPARAM>(start.c_str());
  LPITEMIDLIST item = SHBrowseForFolderA(&info);
  if (item) {
    if (SHGetPathFromIDListA(item, name)) {
      result = name;
      if (result.empty() || result.back() != '\\') result.push_back('\\');
    }
    CoTaskMemFree(item);
  }
  return result;
}

// ---- Form ---------------------------------------------------------------------

Form::Form(const std::string& caption, int left, int top, int width, int height, bool centred)
    : background_(GetSysColor(COLOR_BTNFACE)), width_(width), height_(height) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA cls{};
  if (!GetClassInfoA(instance, kFormClass, &cls)) {
    cls.lpfnWndProc = FormProc;
    cls.hInstance = instance;
    cls.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    cls.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(1));
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = kFormClass;
    RegisterClassA(&cls);
  }
  constexpr DWORD kStyle = kFormStyle;
  HWND hwnd = CreateWindowExA(0, kFormClass, caption.c_str(), kStyle, left, top,
                              width > 0 ? width : CW_USEDEFAULT, height > 0 ? height : CW_USEDEFAULT,
                              ApplicationWindow(), nullptr, instance, this);
  window_.Reset(hwnd);
  if (!hwnd) return;
  RECT rect{};
  GetWindowRect(hwnd, &rect);
  width_ = rect.right - rect.left;
  height_ = rect.bottom - rect.top;
  // The outer size is given for 96 DPI: its client area is what scales.
  SIZE frame = FrameAt(96);
  client_width_ = width_ - frame.cx;
  client_height_ = height_ - frame.cy;
  EnableMenuItem(GetSystemMenu(hwnd, FALSE), SC_SIZE, MF_BYCOMMAND | MF_GRAYED);
  SetWindowLongPtrA(hwnd, GWL_STYLE, kStyle);
  form_font_.Reset(CreateFontA(0, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0,
                               kDefaultFontFace));
  SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(form_font_.Get()), FALSE);
  int dpi = WindowDpi(hwnd);
  if (dpi != 96) ApplyDpi(dpi, nullptr);
  if (centred) CentreOnScreen(hwnd);
}

Form::~Form() { Destroy(); }

void Form::Destroy() {
  if (!window_) return;
  closed_ = true;
  window_.Reset();  // destroys every child; subclassed controls unhook on WM_NCDESTROY
  controls_.clear();
}

Form::Control* Form::Find(HWND control) {
  for (Control& c : controls_) {
    if (c.hwnd == control) return &c;
  }
  return nullptr;
}

const Form::Control* Form::Find(HWND control) const {
  for (const Control& c : controls_) {
    if (c.hwnd == control) return &c;
  }
  return nullptr;
}

COLORREF Form::Background(HWND control) const {
  if (control == Handle() || control == nullptr) return background_;
  const Control* c = Find(control);
  return c ? c->background : background_;
}

HFONT Form::FontFor(bool bold, bool underline) {
  FontHandle& font = fonts_[(bold ? 2 : 0) + (underline ? 1 : 0)];
  if (!font) {
    font.Reset(CreateFontA(-Scale(-kDefaultFontHeight), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE,
                           underline ? TRUE : FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                           kDefaultFontFace));
  }
  return font.Get();
}

HBRUSH Form::BrushFor(COLORREF colour) {
  for (Brush& b : brushes_) {
    if (b.colour == colour) return b.brush.Get();
  }
  brushes_.push_back({colour, BrushHandle(CreateSolidBrush(colour))});
  return brushes_.back().brush.Get();
}

HWND Form::AddControl(const ControlArgs& args) {
  HWND parent = args.parent ? args.parent : Handle();
  DWORD style = WS_CHILD | WS_VISIBLE | args.style | (args.link ? WS_TABSTOP : 0);
  HWND hwnd = CreateWindowExA(args.ex_style, args.cls, args.text, style, 0, 0, 0, 0, parent,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(100 + controls_.size())),
                              GetModuleHandleA(nullptr), nullptr);
  if (!hwnd) return nullptr;
  // Tab and the dialog keys reach the controls inside panels and frames.
  if (parent != Handle()) {
    SetWindowLongPtrA(parent, GWL_EXSTYLE, GetWindowLongPtrA(parent, GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
  }
  Control control;
  control.hwnd = hwnd;
  control.background = Background(parent);
  control.track_hover = args.track_hover;
  control.link = args.link;
  control.push = lstrcmpiA(args.cls, "BUTTON") == 0 && (args.style & BS_TYPEMASK) <= BS_DEFPUSHBUTTON;
  control.left = args.left;
  control.top = args.top;
  control.width = args.width;
  control.height = args.height;
  controls_.push_back(control);
  // Subclassed so that notifications and colour requests of their own
  // children (the white panel and the frames are parents too) reach the form.
  WNDPROC original = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ControlProc)));
  controls_.back().original = original;
  PlaceControl(hwnd, kKeep, kKeep, kKeep, kKeep);
  return hwnd;
}

HWND Form::AddRichEdit(HWND parent, DWORD style, int left, int top, int width, int height,
                       COLORREF background) {
  const char* cls = RichEditClass();
  HWND hwnd = CreateWindowExA(WS_EX_CLIENTEDGE, cls, "", WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                              parent ? parent : Handle(),
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(100 + controls_.size())),
                              GetModuleHandleA(nullptr), nullptr);
  if (!hwnd) return nullptr;
  // The default limit (32,767 characters) would cut a long log before its
  // closing line and a long licence before its end.
  SendMessageA(hwnd, EM_EXLIMITTEXT, 0, kRichTextLimit);
  Control c;
  c.hwnd = hwnd;
  c.rich = true;
  c.background = background;
  c.left = left;
  c.top = top;
  c.width = width;
  c.height = height;
  controls_.push_back(c);
  PlaceControl(hwnd, kKeep, kKeep, kKeep, kKeep, background);
  return hwnd;
}

void Form::PlaceControl(HWND control, int left, int top, int width, int height,
                        COLORREF background) {
  Control* c = Find(control);
  if (!c) return;
  c->font_colour = kBlack;
  if (left != kKeep) c->left = left;
  if (top != kKeep) c->top = top;
  if (width != kKeep) c->width = width;
  if (height != kKeep) c->height = height;
  Apply(*c);
  if (background != kKeepColour) {
    c->background = background;
    if (c->rich) SendMessageA(control, EM_SETBKGNDCOLOR, 0, static_cast<LPARAM>(background));
    InvalidateRect(control, nullptr, TRUE);
  }
}

void Form::Apply(Control& c) {
  HFONT font = FontFor(c.bold, c.underline);
  SendMessageA(c.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  int width = c.fit_text ? TextSize(c.hwnd, font).cx : Scale(c.width);
  SetWindowPos(c.hwnd, nullptr, Scale(c.left), Scale(c.top), width, Scale(c.height),
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form::ApplyDpi(int dpi, const RECT* suggested) {
  HWND hwnd = Handle();
  dpi_ = dpi;
  SIZE frame = FrameAt(dpi);
  width_ = Scale(client_width_) + frame.cx;
  height_ = Scale(client_height_) + frame.cy;
  RECT now{};
  GetWindowRect(hwnd, &now);
  const RECT& place = suggested ? *suggested : now;
  SetWindowPos(hwnd, nullptr, place.left, place.top, width_, height_, SWP_NOZORDER | SWP_NOACTIVATE);
  // The controls take the new fonts before the old ones are deleted.
  FontHandle old[4];
  for (int i = 0; i < 4; ++i) old[i] = std::move(fonts_[i]);
  for (Control& c : controls_) {
    if (c.hwnd) Apply(c);
  }
}

void Form::PlaceBelow(HWND control) {
  Control* c = Find(control);
  const Control* previous = Find(GetWindow(control, GW_HWNDPREV));
  if (!c || !previous) return;
  c->left = previous->left;
  c->top = previous->top + previous->height + 2;
  Apply(*c);
}

void Form::MoveDown(HWND control, int dy) {
  if (Control* c = Find(control)) PlaceControl(control, kKeep, c->top + dy, kKeep, kKeep);
}

HWND Form::AddSeparator(int width) {
  HWND separator = AddControl({.style = SS_SUNKEN, .width = width, .height = 2});
  PlaceBelow(separator);
  MoveDown(separator, -2);
  return separator;
}

void Form::SetFontColour(HWND control, COLORREF colour) {
  if (Control* c = Find(control)) {
    c->font_colour = colour;
    InvalidateRect(control, nullptr, TRUE);
  }
}

void Form::SetFontStyle(HWND control, bool bold, bool underline) {
  Control* c = Find(control);
  if (!c) return;
  c->bold = bold;
  c->underline = underline;
  SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(bold, underline)), TRUE);
}

void Form::FitToText(HWND control) {
  if (Control* c = Find(control)) {
    c->fit_text = true;
    Apply(*c);
  }
}

void Form::DrawFocus(const Control& c) {
  SIZE text = TextSize(c.hwnd, FontFor(c.bold, c.underline));
  RECT client{};
  GetClientRect(c.hwnd, &client);
  LONG align = GetWindowLongA(c.hwnd, GWL_STYLE) & SS_TYPEMASK;
  LONG left = align == SS_RIGHT ? client.right - text.cx
              : align == SS_CENTER ? (client.right - text.cx) / 2 : 0;
  // One pixel around the text, so the dots never cross the underline.
  RECT rect{left - 1, 0, left + text.cx + 1, text.cy + 1};
  IntersectRect(&rect, &rect, &client);
  WindowDc dc(c.hwnd);
  DrawFocusRect(dc.Get(), &rect);
}

void Form::SetKeyControls(HWND default_button, HWND cancel_button, HWND first_focus) {
  default_button_ = default_button;
  cancel_button_ = cancel_button;
  focus_ = first_focus;
  ShowAsDefault(default_button, true);
}

void Form::Press(HWND control) {
  // BN_CLICKED and STN_CLICKED are both 0.
  if (!closed_ && Find(control) && IsWindowEnabled(control)) OnCommand(control, BN_CLICKED);
}

bool Form::HandleKey(const MSG& message) {
  HWND hwnd = Handle();
  if (message.message != WM_KEYDOWN || (message.hwnd != hwnd && !IsChild(hwnd, message.hwnd))) {
    return false;
  }
  HWND focus = GetFocus();
  const Control* focused = Find(focus);
  switch (message.wParam) {
    case VK_ESCAPE:
      Press(cancel_button_);
      return true;
    case VK_RETURN:
      Press(focused && (focused->push || focused->link) ? focus : default_button_);
      return true;
    case VK_SPACE:
      if (!focused || !focused->link) return false;
      Press(focus);
      return true;
    case VK_TAB:
      if (!focused || !focused->rich) return false;
      if (HWND next = GetNextDlgTabItem(hwnd, focus, GetKeyState(VK_SHIFT) < 0)) SetFocus(next);
      return true;
    default:
      return false;
  }
}

void Form::Close() {
  if (window_) PostMessageA(window_.Get(), WM_CLOSE, 0, 0);
}

LRESULT Form::Colour(HWND control, HDC dc) {
  const Control* c = Find(control);
  COLORREF background = c ? c->background : background_;
  SetTextColor(dc, c ? c->font_colour : kBlack);
  SetBkColor(dc, background);
  return reinterpret_cast<LRESULT>(BrushFor(background));
}

// Messages a form and its container controls handle alike: colour
// requests and notifications from their children.
bool Form::HandleShared(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) {
  (void)hwnd;
  switch (message) {
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
      if (!Find(reinterpret_cast<HWND>(lparam))) return false;
      result = Colour(reinterpret_cast<HWND>(lparam), reinterpret_cast<HDC>(wparam));
      return true;
    case WM_COMMAND:
      if (lparam == 0 || closed_) return false;
      // A disabled control never acts, even when a click reaches it as a
      // message (BM_CLICK) rather than through the mouse.
      if (!IsWindowEnabled(reinterpret_cast<HWND>(lparam))) return true;
      OnCommand(reinterpret_cast<HWND>(lparam), HIWORD(wparam));
      result = 0;
      return true;
    default:
      return false;
  }
}

LRESULT Form::FormMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  HWND hwnd = Handle();
  LRESULT result = 0;
  if (HandleShared(hwnd, message, wparam, lparam, result)) return result;
  switch (message) {
    case WM_CLOSE:
      // The window is released by RunWindow once its loop sees the flag.
      closed_ = true;
      return 0;
    case WM_GETMINMAXINFO: {
      if (width_ > 0 && height_ > 0) {
        auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
        info->ptMinTrackSize = {width_, height_};
        info->ptMaxTrackSize = {width_, height_};
        return 0;
      }
      break;
    }
    case WM_NCHITTEST: {
      LRESULT hit = DefWindowProcA(hwnd, message, wparam, lparam);
      if (hit >= HTLEFT && hit <= HTBOTTOMRIGHT) return HTBORDER;  // no sizing borders
      return hit;
    }
    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == SC_SIZE || (wparam & 0xFFF0) == SC_MAXIMIZE) return 0;
      break;
    case WM_ACTIVATE:
      // Focus goes back to the control that had it (first: the one chosen
      // by SetKeyControls), not to the form itself.
      if (LOWORD(wparam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(hwnd, focus)) focus_ = focus;
      } else if (focus_ && IsWindow(focus_)) {
        SetFocus(focus_);
        return 0;
      }
      break;
    case WM_DPICHANGED:
      ApplyDpi(LOWORD(wparam), reinterpret_cast<const RECT*>(lparam));
      RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

LRESULT Form::ControlMessage(Control& control, UINT message, WPARAM wparam, LPARAM lparam) {
  HWND hwnd = control.hwnd;
  WNDPROC original = control.original;
  LRESULT result = 0;
  if (HandleShared(hwnd, message, wparam, lparam, result)) return result;
  switch (message) {
    case WM_PAINT:
      if (!closed_ && OnPaintControl(hwnd)) return 0;
      if (control.link && GetFocus() == hwnd) {
        CallWindowProcA(original, hwnd, message, wparam, lparam);
        DrawFocus(control);
        return 0;
      }
      break;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      if (control.link) InvalidateRect(hwnd, nullptr, TRUE);
      // A focused push button is the one Enter presses: it wears the
      // default frame meanwhile, and gives it back when it loses the focus.
      if (control.push && default_button_ && hwnd != default_button_) {
        bool focused = message == WM_SETFOCUS;
        ShowAsDefault(hwnd, focused);
        ShowAsDefault(default_button_, !focused);
      }
      break;
    case WM_MOUSEMOVE:
      if (control.track_hover && !control.hovering) {
        control.hovering = true;
        TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, hwnd, 0};
        TrackMouseEvent(&track);
        OnMouseEnter(hwnd);
      }
      break;
    case WM_MOUSELEAVE:
      if (control.track_hover) {
        control.hovering = false;
        OnMouseLeave(hwnd);
      }
      break;
    case WM_NCDESTROY:
      SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
      control.hwnd = nullptr;
      break;
    default:
      break;
  }
  return CallWindowProcA(original, hwnd, message, wparam, lparam);
}

LRESULT CALLBACK Form::FormProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Form*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self || !self->window_) return DefWindowProcA(hwnd, message, wparam, lparam);
  try {
    return self->FormMessage(message, wparam, lparam);
  } catch (...) {
    return DefWindowProcA(hwnd, message, wparam, lparam);
  }
}

LRESULT CALLBACK Form::ControlProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
  HWND root = GetAncestor(hwnd, GA_ROOT);
  auto* self = reinterpret_cast<Form*>(GetWindowLongPtrA(root, GWLP_USERDATA));
  Control* control = self ? self->Find(hwnd) : nullptr;
  if (!control || !control->original) return DefWindowProcA(hwnd, message, wparam, lparam);
  try {
    return self->ControlMessage(*control, message, wparam, lparam);
  } catch (...) {
    return CallWindowProcA(control->original, hwnd, message, wparam, lparam);
  }
}

void RunWindow(std::unique_ptr<Form>& form) {
  if (!form) return;
  State& ui = Ui();
  HWND hwnd = form->Handle();
  if (hwnd) {
    ShowWindow(hwnd, SW_SHOW);
    RedrawWindow(hwnd, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    HWND previous = std::exchange(ui.running, hwnd);
    while (!form->closed_) {
      WaitMessage();
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
          form->closed_ = true;
          break;
        }
        // Enter and Esc press the form's buttons; Tab and the other dialog
        // keys go to the dialog manager.
        if (form->HandleKey(message) || IsDialogMessageA(hwnd, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
    }
    ui.running = previous;
  }
  form->Destroy();
  form.reset();
}

}  // namespace upkit::ui
