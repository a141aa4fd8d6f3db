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

}  // namespace

CommandLine ParseCommandLine(std::string_view arguments) {
  CommandLine line;
  auto reject = [&](std::string_view word) {
    if (line.bad_switch.empty()) line.bad_switch = std::string(word);
  };
  size_t at = 0;
  while (at < arguments.size()) {
    if (Blank(arguments[at])) {
      ++at;
      continue;
    }
    std::string_view rest = arguments.substr(at);
    size_t word_end = 0;
    while (word_end < rest.size() && !Blank(rest[word_end])) ++word_end;
    std::string_view word = rest.substr(0, word_end);
    at += word_end;

    if (StartsWith(rest, "/D=")) {
      // The rest of the line is the folder, whatever it holds.
      std::string_view folder = TrimEnd(rest.substr(3));
      if (folder.empty()) reject("/D=");
      line.destination = std::string(folder);
      break;
    }
    if (StartsWith(word, "/LOG=")) {
      std::string_view value = rest.substr(5);
      if (!value.empty() && value.front() == '"') {
        size_t close = value.find('"', 1);
        if (close == std::string_view::npos ||
            (close + 1 < value.size() && !Blank(value[close + 1]))) {
          reject(word);
          at = arguments.size();
          break;
        }
        at += (5 + close + 1) - word_end;  // the quoted name may hold blanks
        value = value.substr(1, close - 1);
      } else {
        value = word.substr(5);
      }
      if (value.empty()) reject(word);
      line.log_file = std::string(value);
    } else if (word.size() == 2 && StartsWith(word, "/S")) {
      line.silent = true;
    } else if (word == "/?") {
      line.help = true;
    } else {
      reject(word);
    }
  }
  return line;
}

}  // namespace upkit::app
