// Helpers for the engine tests: a real temporary folder, file bytes in and
// out, payload builders, and a results log that records every run of text
// with its colour.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "install/results_log.h"
#include "package/update_file.h"

namespace upkit::test {

using Bytes = std::vector<uint8_t>;

// A fresh folder below the system's temporary folder, removed with all its
// content when the object goes. Path() ends in "\".
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }
  // Names of the files and folders directly inside (no "." and "..").
  std::vector<std::string> Names() const;

 private:
  std::string path_;
};

// Names of the files and folders directly inside `folder`.
std::vector<std::string> NamesIn(const std::string& folder);

// Drops every request to move or delete files when Windows restarts
// (PendingFileRenameOperations), so the test prefix never carries them out.
void ClearPendingRenames();

void WriteBytes(const std::string& file_name, const Bytes& bytes);
void WriteText(const std::string& file_name, const std::string& text);
Bytes ReadBytes(const std::string& file_name);  // empty when missing

// `n` bytes drawn from a generator seeded with `seed`: the same every run.
Bytes Random(size_t n, uint32_t seed);
// The CRC-32 of `bytes`, as the item fields hold it.
int32_t Crc(const Bytes& bytes);
bool Exists(const std::string& file_name);      // a file or folder

// The message of the upkit::Error that `action` raises, or "(nothing raised)".
std::string MessageOf(const std::function<void()>& action);

// The folder of the running test program, ending in "\".
std::string ProgramFolder();

// True under Wine, whose resource-update functions differ from Windows in
// ways the tests record (see resources_test.cpp).
bool RunningOnWine();

// Payload builders (little-endian).
struct Writer {
  Bytes bytes;
  Writer& U8(uint8_t v);
  Writer& U16(uint16_t v);
  Writer& I32(int32_t v);
  Writer& Raw(const std::string& text);
  Writer& Raw(const Bytes& data);
};

TFileItem MakeItem(const std::string& name, int32_t action, const Bytes& data = {});

// One piece of text as the engine appended it.
struct LogRun {
  std::string text;
  uint32_t colour;
  bool line_end;  // AppendLogLine
  bool operator==(const LogRun&) const = default;
};

class RecordingLog : public ResultsLog {
 public:
  void AppendLogText(const std::string& text, uint32_t colour) override {
    runs.push_back({text, colour, false});
  }
  void AppendLogLine(const std::string& text, uint32_t colour) override {
    runs.push_back({text, colour, true});
  }
  void SetProgressPosition(int32_t position) override { progress.push_back(position); }
  void PaintNow() override { ++paints; }
  void MarkForRepaint() override { ++marks; }

  // The log as a reader sees it: lines joined from the runs.
  std::vector<std::string> Lines() const;

  std::vector<LogRun> runs;
  std::vector<int32_t> progress;
  int paints = 0;
  int marks = 0;
};

}  // namespace upkit::test
