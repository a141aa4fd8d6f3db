// The one failure type of the system: an exception that carries one message
// text. The container reader, the update loader and the item actions raise it
// with the system's exact messages ("Stream read error", "Out of memory", ...);
// the run sequence and the engine show the text as it stands.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace upkit {

class Error : public std::exception {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

// The run-time layer's fixed messages.
inline constexpr const char kStreamReadError[] = "Stream read error";
inline constexpr const char kStreamWriteError[] = "Stream write error";
inline constexpr const char kOutOfMemory[] = "Out of memory";

}  // namespace upkit
