// upkit-robot: the test robot from the command line, for scripts.
//   upkit-robot wait  <caption> [timeout_ms]        a window with that caption appears
//   upkit-robot gone  <caption> [timeout_ms]        no window with that caption is left
//   upkit-robot waitfor <caption> <control text> [timeout_ms]
//                                                   a control with that text appears
//   upkit-robot click <caption> <control text>      click a button (or a label)
//   upkit-robot close <caption>                     the title-bar close request
//   upkit-robot dump  <caption>                     the window and its controls as JSON
//   upkit-robot shot  <caption> <file.png>          screenshot of the window
//   upkit-robot box   <caption|""> ok|cancel [timeout_ms]
//                                                   print a message box's text, answer it
// Windows of every process are searched. Exit status 0 on success, 1 otherwise.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/robot/robot.h"

using namespace upkit::robot;

namespace {

DWORD Timeout(int argc, char** argv, int index) {
  return argc > index ? static_cast<DWORD>(std::strtoul(argv[index], nullptr, 10)) : 10000;
}

int Usage() {
  std::fputs("usage: upkit-robot wait|gone|waitfor|click|close|dump|shot|box ...\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  UsePhysicalPixels();
  std::string verb = argv[1], caption = argv[2];
  if (verb == "box") {
    if (argc < 4) return Usage();
    MessageBoxInfo box;
    if (!WaitForMessageBox(0, caption, Timeout(argc, argv, 4), &box)) return 1;
    std::printf("%s\n", box.text.c_str());
    return AnswerMessageBox(box.window, std::string(argv[3]) == "ok" ? IDOK : IDCANCEL) ? 0 : 1;
  }
  if (verb == "gone") {
    DWORD start = GetTickCount(), timeout = Timeout(argc, argv, 3);
    while (WaitForWindow(0, caption, "", 0)) {
      if (GetTickCount() - start >= timeout) return 1;
      Sleep(50);
    }
    return 0;
  }
  HWND window = WaitForWindow(0, caption, "", verb == "wait" ? Timeout(argc, argv, 3) : 10000);
  if (!window) {
    std::fprintf(stderr, "upkit-robot: no window \"%s\"\n", caption.c_str());
    return 1;
  }
  if (verb == "wait") return 0;
  if (verb == "waitfor" && argc >= 4) {
    DWORD start = GetTickCount(), timeout = Timeout(argc, argv, 4);
    while (!FindControl(window, "", argv[3])) {
      if (GetTickCount() - start >= timeout) return 1;
      Sleep(50);
      if (!IsWindow(window)) window = WaitForWindow(0, caption, "", 1000);
      if (!window) return 1;
    }
    return 0;
  }
  if (verb == "close") {
    RequestClose(window);
    return 0;
  }
  if (verb == "dump") {
    std::fputs(DescribeJson(window).c_str(), stdout);
    return 0;
  }
  if (verb == "shot" && argc >= 4) return SaveWindowPng(window, argv[3]) ? 0 : 1;
  if (verb == "click" && argc >= 4) {
    HWND control = FindControl(window, "", argv[3]);
    if (!control) {
      std::fprintf(stderr, "upkit-robot: no control \"%s\"\n", argv[3]);
      return 1;
    }
    if (ClassName(control) == "Button") {
      Click(control);
    } else {
      ClickLabel(control);
    }
    return 0;
  }
  return Usage();
}
