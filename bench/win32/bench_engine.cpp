// Engine benchmarks on real files:
//   bench_engine crc FILE [REPEATS]  CRC-32 through a read-only mapping of the
//                                    whole file (TVirtualFileStream + Crc32Block)
//   bench_engine items COUNT         RunUpdate over COUNT tiny files: checks
//                                    only, then replace, then delete
//   bench_engine delta FILE STREAM   the delta action (6) rebuilding FILE from
//                                    the delta stream in STREAM, with the
//                                    process's peak working set afterwards
//   bench_engine decode OLD STREAM [REPEATS]  the delta decoder alone (no
//                                    file reads or writes: the old file in
//                                    memory, the new one only CRC'd), the
//                                    best of the repeats in wall and CPU time
//   bench_engine roundtrip FILES MIB the round-trip update (OLD to NEW and
//                                    back) of FILES files of MIB MiB each, by
//                                    deltas, item by item and all or nothing:
//                                    the journal's cost as a share of the run
// Times come from QueryPerformanceCounter; the best of the repeats is shown.
#include <windows.h>

#include <vector>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <algorithm>
#include <random>

#include "codec/crc32.h"
#include "delta/delta.h"
#include "delta/delta_encode.h"
#include "install/delta_action.h"
#include "install/engine.h"
#include "install/virtual_file_stream.h"

namespace upkit {
namespace {

double Seconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// A log that only counts, so the engine's own work is what is measured.
class CountingLog : public ResultsLog {
 public:
  void AppendLogText(const std::string& text, uint32_t) override { bytes += text.size(); }
  void AppendLogLine(const std::string& text, uint32_t) override { bytes += text.size() + 2; ++lines; }
  void SetProgressPosition(int32_t) override {}
  void PaintNow() override {}
  void MarkForRepaint() override {}
  size_t bytes = 0;
  size_t lines = 0;
};

int BenchCrc(const char* file_name, int repeats) {
  double best = 1e30, first = 0;
  uint32_t crc = 0;
  uint64_t size = 0;
  for (int i = 0; i < repeats; ++i) {
    double start = Seconds();
    TVirtualFileStream stream(file_name, TVirtualFileStream::kReadMode);
    size = stream.Size();
    crc = Crc32Block(stream.Memory(), static_cast<uint32_t>(size));
    double took = Seconds() - start;
    if (i == 0) first = took;
    if (took < best) best = took;
  }
  double mib = static_cast<double>(size) / (1024.0 * 1024.0);
  std::printf("crc %08x bytes %llu first_ms %.1f best_ms %.1f MiB/s %.0f\n", crc,
              static_cast<unsigned long long>(size), first * 1e3, best * 1e3, mib / best);
  return 0;
}

int BenchItems(int count) {
  char temp[MAX_PATH];
  ::GetTempPathA(sizeof temp, temp);
  std::string folder = std::string(temp) + "upkit-bench-" + std::to_string(::GetCurrentProcessId()) + "\\";
  if (!::CreateDirectoryA(folder.c_str(), nullptr)) {
    std::fprintf(stderr, "cannot create %s\n", folder.c_str());
    return 1;
  }
  const std::string content = "tiny file 16 b.\n";
  const uint32_t crc = Crc32Block(content.data(), static_cast<uint32_t>(content.size()));
  for (int i = 0; i < count; ++i) {
    HANDLE file = ::CreateFileA((folder + "f" + std::to_string(i) + ".dat").c_str(), GENERIC_WRITE, 0,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    ::CloseHandle(file);
  }

  auto run = [&](const char* label, int32_t action) {
    TUpdateFile update;
    update.DefaultDir = folder;
    update.Items.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      TFileItem& item = update.Items[static_cast<size_t>(i)];
      item.OriginName = "f" + std::to_string(i) + ".dat";
      item.Action = action;
      item.CheckSize = 1;
      item.Size = static_cast<int32_t>(content.size());
      item.CheckCRC = 1;
      item.CRC = static_cast<int32_t>(crc);
      if (action == 3) {
        item.Data.assign(content.begin(), content.end());
        item.DataSize = static_cast<int32_t>(content.size());
      }
    }
    CountingLog log;
    double start = Seconds();
    RunUpdate(update, log);
    double took = Seconds() - start;
    std::printf("items %-28s count %d total_ms %.1f us_per_item %.1f log_lines %zu\n", label, count,
                took * 1e3, took * 1e6 / count, log.lines);
  };
  run("checks (size+CRC, action 0)", 0);
  run("replace (checks + action 3)", 3);
  run("delete (checks + action 4)", 4);
  ::RemoveDirectoryA(folder.c_str());
  return 0;
}

// The action holds neither file whole: the peak working set stays far
// below the file's size (the stream itself is held, as the installer does).
int BenchDelta(const char* file_name, const char* stream_name) {
  TFileItem item;
  item.Action = 6;
  HANDLE stream = ::CreateFileA(stream_name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  LARGE_INTEGER size{};
  if (stream == INVALID_HANDLE_VALUE || !::GetFileSizeEx(stream, &size)) return 1;
  std::vector<uint8_t> bytes(static_cast<size_t>(size.QuadPart));
  DWORD got = 0;
  ::ReadFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  ::CloseHandle(stream);
  bytes.resize(got);
  item.Data = bytes;
  item.DataSize = static_cast<int32_t>(got);
  // Beside the wall time, the CPU time the process spent (user and kernel):
  // on a machine other work shares, the steadier figure.
  auto cpu_seconds = [] {
    FILETIME created, exited, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto count = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(count(kernel) + count(user)) * 1e-7;
  };
  double start = Seconds(), cpu_start = cpu_seconds();
  try {
    ApplyDeltaItem(file_name, item);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "delta failed: %s\n", e.what());
    return 1;
  }
  double took = Seconds() - start, cpu = cpu_seconds() - cpu_start;
  PROCESS_MEMORY_COUNTERS memory{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
  std::printf("delta stream_bytes %lu total_ms %.1f cpu_ms %.1f peak_working_set_MiB %.1f\n", got, took * 1e3,
              cpu * 1e3, static_cast<double>(memory.PeakWorkingSetSize) / (1024.0 * 1024.0));
  return 0;
}

// A whole file's bytes; empty when it cannot be read.
std::vector<uint8_t> ReadWhole(const char* name) {
  std::vector<uint8_t> bytes;
  HANDLE file = ::CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  LARGE_INTEGER size{};
  if (file == INVALID_HANDLE_VALUE) return bytes;
  if (::GetFileSizeEx(file, &size)) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) got = 0;
    bytes.resize(got);
  }
  ::CloseHandle(file);
  return bytes;
}

double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto count = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return static_cast<double>(count(kernel) + count(user)) * 1e-7;
}

int BenchDecode(const char* old_name, const char* stream_name, int repeats) {
  const std::vector<uint8_t> old_bytes = ReadWhole(old_name), stream = ReadWhole(stream_name);
  if (old_bytes.empty() || stream.empty()) return 1;
  struct : DeltaSource {
    void ReadOld(uint64_t offset, uint8_t* out, size_t length) override {
      std::memcpy(out, bytes->data() + offset, length);
    }
    const std::vector<uint8_t>* bytes;
  } source;
  source.bytes = &old_bytes;
  struct : DeltaSink {
    void WriteNew(const uint8_t*, size_t length) override { written += length; }
    uint64_t written = 0;
  } sink;
  double best = 1e30, best_cpu = 1e30;
  uint32_t crc = 0;
  for (int i = 0; i < repeats; ++i) {
    sink.written = 0;
    double start = Seconds(), cpu_start = CpuSeconds();
    try {
      crc = ApplyDelta(stream.data(), stream.size(), source, sink);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "decode failed: %s\n", e.what());
      return 1;
    }
    best = std::min(best, Seconds() - start);
    best_cpu = std::min(best_cpu, CpuSeconds() - cpu_start);
  }
  const bool right = crc == ReadDeltaHead(stream.data(), stream.size()).new_crc;
  std::printf("decode new_bytes %llu crc %08x %s best_ms %.1f best_cpu_ms %.1f\n",
              static_cast<unsigned long long>(sink.written), crc, right ? "ok" : "WRONG", best * 1e3, best_cpu * 1e3);
  return right ? 0 : 1;
}

// Items that turn the files `from` into `to` (deltas checked like upkit
// diff's, then a replaced text).
std::vector<TFileItem> RoundTripItems(const std::vector<std::vector<uint8_t>>& from,
                                      const std::vector<std::vector<uint8_t>>& to) {
  std::vector<TFileItem> items;
  for (size_t i = 0; i < from.size(); ++i) {
    TFileItem item;
    item.OriginName = "f" + std::to_string(i) + ".bin";
    item.Action = 6;
    item.Data = pack::EncodeDelta(from[i], to[i]);
    item.DataSize = static_cast<int32_t>(item.Data.size());
    item.CheckSize = item.CheckCRC = 1;
    item.Size = static_cast<int32_t>(from[i].size());
    item.CRC = static_cast<int32_t>(Crc32Block(from[i].data(), static_cast<uint32_t>(from[i].size())));
    items.push_back(std::move(item));
  }
  return items;
}

int BenchRoundTrip(int files, int mib) {
  char temp[MAX_PATH];
  ::GetTempPathA(sizeof temp, temp);
  std::string folder = std::string(temp) + "upkit-bench-rt-" + std::to_string(::GetCurrentProcessId()) + "\\";
  ::CreateDirectoryA(folder.c_str(), nullptr);
  std::mt19937 rng(7);
  std::vector<std::vector<uint8_t>> old_files, new_files;
  for (int i = 0; i < files; ++i) {
    std::vector<uint8_t> old_file(static_cast<size_t>(mib) << 20);
    for (auto& b : old_file) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> new_file = old_file;
    new_file.insert(new_file.begin() + static_cast<long>(old_file.size() / 3), 5000, 0x90);
    new_file.erase(new_file.begin() + static_cast<long>(old_file.size() / 2),
                   new_file.begin() + static_cast<long>(old_file.size() / 2) + 3000);
    HANDLE file = ::CreateFileA((folder + "f" + std::to_string(i) + ".bin").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ::WriteFile(file, old_file.data(), static_cast<DWORD>(old_file.size()), &written, nullptr);
    ::CloseHandle(file);
    old_files.push_back(std::move(old_file));
    new_files.push_back(std::move(new_file));
  }
  const std::vector<TFileItem> forward = RoundTripItems(old_files, new_files);
  const std::vector<TFileItem> back = RoundTripItems(new_files, old_files);

  // One round trip: OLD to NEW, NEW to OLD; seconds, or -1 when an item failed.
  auto round_trip = [&](bool all_or_nothing) {
    double took = 0;
    for (const std::vector<TFileItem>* items : {&forward, &back}) {
      TUpdateFile update;
      update.DefaultDir = folder;
      update.AllOrNothing = all_or_nothing;
      update.Items = *items;
      CountingLog log;
      double start = Seconds();
      UpdateCounts counts = RunUpdate(update, log);
      took += Seconds() - start;
      if (counts.failed != 0) return -1.0;
    }
    return took;
  };
  // Interleaved, so that both see the same machine; the best of each.
  double best_plain = 1e30, best_journal = 1e30;
  for (int repeat = 0; repeat < 9; ++repeat) {
    double plain = round_trip(false), journal = round_trip(true);
    if (plain < 0 || journal < 0) {
      std::fprintf(stderr, "roundtrip: an item failed\n");
      return 1;
    }
    best_plain = std::min(best_plain, plain);
    best_journal = std::min(best_journal, journal);
  }
  for (int i = 0; i < files; ++i) ::DeleteFileA((folder + "f" + std::to_string(i) + ".bin").c_str());
  ::RemoveDirectoryA(folder.c_str());
  std::printf("roundtrip files %d MiB_each %d item_by_item_ms %.1f all_or_nothing_ms %.1f journal_cost_pct %.1f\n",
              files, mib, best_plain * 1e3, best_journal * 1e3, (best_journal / best_plain - 1) * 100);
  return 0;
}

}  // namespace
}  // namespace upkit

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "crc" && argc > 2) return upkit::BenchCrc(argv[2], argc > 3 ? std::atoi(argv[3]) : 3);
  if (mode == "items" && argc > 2) return upkit::BenchItems(std::atoi(argv[2]));
  if (mode == "delta" && argc > 3) return upkit::BenchDelta(argv[2], argv[3]);
  if (mode == "decode" && argc > 3)
    return upkit::BenchDecode(argv[2], argv[3], argc > 4 ? std::max(1, std::atoi(argv[4])) : 5);
  if (mode == "roundtrip" && argc > 3) return upkit::BenchRoundTrip(std::atoi(argv[2]), std::atoi(argv[3]));
  std::fprintf(stderr,
               "usage: bench_engine crc FILE [REPEATS] | items COUNT | delta FILE STREAM | decode OLD STREAM [REPEATS] | roundtrip FILES MIB\n");
  return 2;
}
