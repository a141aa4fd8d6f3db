// The upkit command line: one verb per source file (cmd_<verb>.cpp), each
// registering itself with UPKIT_COMMAND. Errors go to stderr as
// "upkit: <message>" with status 1; usage errors with status 2.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace upkit::cli {

using Args = std::vector<std::string>;

struct Command {
  const char* name;
  const char* summary;
  const char* usage;  // full --help text of the verb
  int (*run)(const Args& args);  // args exclude the program and verb names
};

struct Registrar {
  explicit Registrar(const Command& command);
};

const std::vector<Command>& Commands();

inline constexpr int kFailure = 1;
inline constexpr int kUsage = 2;

// Prints "upkit: <message>" to stderr and returns kFailure.
int Fail(const std::string& message);
// Prints "upkit <verb>: <message>" and the verb's usage to stderr; returns kUsage.
int UsageError(const Command& command, const std::string& message);

// A --jobs value: a thread count of 1 to 1024; false for anything else.
bool ParseJobs(const std::string& text, unsigned* jobs);

// True when args hold -h or --help.
bool WantsHelp(const Args& args);

// Whole-file helpers; they raise upkit::Error naming the file on failure.
std::vector<uint8_t> ReadFile(const std::string& path);
// ReadFile, but of a PE file only its sections (not the overlay after them).
std::vector<uint8_t> ReadImageOrFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace upkit::cli

#define UPKIT_COMMAND_CONCAT2(a, b) a##b
#define UPKIT_COMMAND_CONCAT(a, b) UPKIT_COMMAND_CONCAT2(a, b)
#define UPKIT_COMMAND(...) \
  static const ::upkit::cli::Registrar UPKIT_COMMAND_CONCAT(upkit_command_, __LINE__)({__VA_ARGS__})
