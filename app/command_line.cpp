#include "app/command_line.h"

namespace upkit::app {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// True when `text` begins with `prefix`, letter case aside.
bool StartsWith(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Upper(text[i]) != prefix[i]) return false;
  }
  return true;
}

std::string_view TrimEnd(std::string_view text) {
  while (!text.empty() && Blank(text.back())) text.remove_suffix(1);
  return text;
}

// The value without the quotes around it, if it has both; empty when a
// quote is left inside (no file or folder name holds one).
std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  return value.find('"') == std::string_view::npos ? value : std::string_view();
}

// Where the word starting at `at` ends: at a blank outside quotes.
size_t WordEnd(std::string_view text, size_t at) {
  bool quoted = false;
  for (; at < text.size(); ++at) {
    if (text[at] == '"') quoted = !quoted;
    if (!quoted && Blank(text[at])) break;
  }
  return at;
}

}  // namespace

CommandLine ParseCommandLine(std::string_view arguments) {
  CommandLine line;
  size_t at = 0;
  while (at < arguments.size()) {
    if (Blank(arguments[at])) {
      ++at;
      continue;
    }
    // /D= takes the rest of the line as it is; any other word ends at a
    // blank outside quotes. A tool that quotes every argument gives
    // "/D=C:\My Folder": the quotes around a whole switch are dropped.
    size_t end = StartsWith(arguments.substr(at), "/D=") ? arguments.size()
                                                         : WordEnd(arguments, at);
    std::string_view word = arguments.substr(at, end - at);
    at = end;
    std::string_view bare = TrimEnd(word);
    if (bare.size() >= 2 && bare.front() == '"' && bare.back() == '"') {
      bare = bare.substr(1, bare.size() - 2);
    }
    std::string_view value;
    if (StartsWith(bare, "/D=") && !(value = Unquote(TrimEnd(bare.substr(3)))).empty()) {
      line.destination = std::string(value);
    } else if (StartsWith(bare, "/LOG=") && !(value = Unquote(bare.substr(5))).empty()) {
      line.log_file = std::string(value);
    } else if (bare.size() == 2 && StartsWith(bare, "/S")) {
      line.silent = true;
    } else if (bare == "/?") {
      line.help = true;
    } else if (line.bad_switch.empty()) {
      line.bad_switch = std::string(TrimEnd(word));
    }
  }
  return line;
}

}  // namespace upkit::app
