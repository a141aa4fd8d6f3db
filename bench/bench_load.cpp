// Loading a 32 MiB enciphered, compressed update package end to end:
// decipher the body, read every section and value, decipher and expand
// every binary. Reports MB/s of package bytes, peak heap use (a counting
// operator new) against the goal 2.2 x package + expanded payload, and the
// split of time between deciphering, expanding and the rest.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "codec/cipher.h"
#include "codec/compress.h"
#include "codec/crc32.h"
#include "codec/encipher.h"
#include "codec/unpack.h"
#include "container/lame_ini.h"
#include "package/update_file.h"

// ---- counting allocator: current and peak bytes handed out by operator new
namespace {
std::atomic<int64_t> g_current{0};
std::atomic<int64_t> g_peak{0};
constexpr size_t kPrefix = 16;  // keeps the size and the alignment of new

void* CountedAlloc(size_t size) {
  void* raw = std::malloc(size + kPrefix);
  if (!raw) throw std::bad_alloc();
  *static_cast<size_t*>(raw) = size;
  int64_t now = g_current.fetch_add(static_cast<int64_t>(size)) + static_cast<int64_t>(size);
  int64_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char*>(raw) + kPrefix;
}
void CountedFree(void* p) {
  if (!p) return;
  void* raw = static_cast<char*>(p) - kPrefix;
  g_current.fetch_sub(static_cast<int64_t>(*static_cast<size_t*>(raw)));
  std::free(raw);
}
}  // namespace

void* operator new(size_t size) { return CountedAlloc(size); }
void* operator new[](size_t size) { return CountedAlloc(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, size_t) noexcept { CountedFree(p); }

namespace {

using namespace upkit;
using Clock = std::chrono::steady_clock;

void U8(std::vector<uint8_t>& b, uint8_t v) { b.push_back(v); }
void I32(std::vector<uint8_t>& b, int32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
}
void Str3(std::vector<uint8_t>& b, const std::string& s, const CipherKey& key) {
  U8(b, 0);
  U8(b, static_cast<uint8_t>(s.size()));
  std::string e = pack::EncipherText(s, key);
  b.insert(b.end(), e.begin(), e.end());
}

// The package, made once. Compressing ~100 MiB would take minutes, so one
// 2 MiB block is compressed once and its packed form stored in many items;
// the rest of the package is incompressible data stored with marker 0.
struct Package {
  std::vector<uint8_t> bytes;
  int64_t expanded = 0;      // bytes of every binary value after expansion
  int64_t packed_values = 0;  // bytes of the packed values as stored
  int64_t stored_values = 0;
  int packed_count = 0, stored_count = 0;
  std::vector<std::vector<uint8_t>> packed;  // one plain copy of each packed value kind
  std::vector<std::vector<uint8_t>> stored;
};

const Package& ThePackage() {
  static const Package package = [] {
    Package p;
    CipherKey key;
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i * 11 + 5);
    std::mt19937 rng(20261207);
    std::vector<uint8_t> text(2 << 20);
    static const char* words[] = {"update ", "file ", "the ", "installer ", "package ",
                                  "data ", "value ", "section ", "resource ", "version "};
    for (size_t i = 0; i < text.size();) {
      for (const char* w = words[rng() % 10]; *w && i < text.size(); ++w) text[i++] = static_cast<uint8_t>(*w);
      if (rng() % 8 == 0 && i < text.size()) text[i++] = static_cast<uint8_t>(rng());
    }
    std::vector<uint8_t> packed = pack::CompressPacked(text.data(), text.size(), 1);
    std::vector<uint8_t> noise(1 << 20);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());

    // 16 MiB of packed values and 16 MiB stored: a 32 MiB package.
    const int packed_items = static_cast<int>((16u << 20) / packed.size());
    const int stored_items = 16;
    const int items = packed_items + stored_items;
    p.packed_count = packed_items;
    p.stored_count = stored_items;
    std::vector<uint8_t> body;
    I32(body, 1 + items);
    Str3(body, "_Initialize_", key);
    I32(body, 2);
    I32(body, NameHash("ProjectName"));
    U8(body, 1);
    Str3(body, "Benchmark", key);
    I32(body, NameHash("FileCount"));
    U8(body, 6);
    U8(body, static_cast<uint8_t>(items));
    for (int n = 0; n < items; ++n) {
      bool is_packed = n < packed_items;
      std::vector<uint8_t> value = is_packed ? packed : noise;
      if (!is_packed) value[0] = static_cast<uint8_t>(n);  // distinct contents
      int32_t expanded = static_cast<int32_t>(is_packed ? text.size() : noise.size());
      Str3(body, "UpdateItem" + std::to_string(n), key);
      I32(body, 5);
      I32(body, NameHash("OriginName"));
      U8(body, 1);
      Str3(body, "file" + std::to_string(n) + ".bin", key);
      I32(body, NameHash("Action"));
      U8(body, 6);
      U8(body, 3);
      I32(body, NameHash("DataSize"));
      U8(body, 0);
      I32(body, expanded);
      I32(body, NameHash("CheckSize"));
      U8(body, 5);
      U8(body, 0);
      I32(body, NameHash("Data"));
      U8(body, 2);
      I32(body, static_cast<int32_t>(value.size()));
      U8(body, is_packed ? 1 : 0);
      (is_packed ? p.packed : p.stored).push_back(value);
      pack::EncipherBuffer(value.data(), static_cast<int32_t>(value.size()), key);
      body.insert(body.end(), value.begin(), value.end());
      p.expanded += expanded;
      (is_packed ? p.packed_values : p.stored_values) += static_cast<int64_t>(value.size());
    }
    pack::EncipherBuffer(body.data(), static_cast<int32_t>(body.size()), key);
    I32(p.bytes, 3);
    p.bytes.insert(p.bytes.end(), {'c', 'F', 'g'});
    I32(p.bytes, 3);
    p.bytes.insert(p.bytes.end(), key.begin(), key.end());
    U8(p.bytes, 1);
    U8(p.bytes, 1);
    I32(p.bytes, static_cast<int32_t>(body.size()));
    p.bytes.insert(p.bytes.end(), body.begin(), body.end());
    p.packed.resize(1);  // one copy suffices to time the codecs
    p.stored.resize(1);
    return p;
  }();
  return package;
}

// CPU time of this thread: the machine may be shared, wall time is noisy.
double CpuNow() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The least CPU time of `runs` calls of `f`.
template <typename F>
double MinCpu(int runs, F&& f) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    double t = CpuNow();
    f();
    best = std::min(best, CpuNow() - t);
  }
  return best;
}

void Report(benchmark::State& state, const Package& p, int64_t peak_heap) {
  const double n = static_cast<double>(p.bytes.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(p.bytes.size()));
  state.counters["package_MiB"] = n / (1 << 20);
  state.counters["expanded_MiB"] = static_cast<double>(p.expanded) / (1 << 20);
  // Peak memory counts the package bytes the caller holds plus the heap.
  state.counters["peak_MiB"] = (n + static_cast<double>(peak_heap)) / (1 << 20);
  state.counters["goal_MiB"] = (2.2 * n + static_cast<double>(p.expanded)) / (1 << 20);
}

// The store: load, then decipher and expand every binary value.
void BM_LoadStore(benchmark::State& state) {
  const Package& p = ThePackage();
  int64_t peak = 0;
  double best = 1e30;
  for (auto _ : state) {
    int64_t base = g_current.load();
    g_peak = base;
    {
      double t = CpuNow();
      TLameIni ini;
      MemoryStream stream(p.bytes.data(), p.bytes.size());
      ini.LoadFromStream(stream);
      for (const auto& section : ini.Sections())
        for (const auto& value : section->Values) ini.UnpackBinary(*value);
      benchmark::DoNotOptimize(ini.Sections().data());
      best = std::min(best, CpuNow() - t);
    }
    peak = std::max(peak, g_peak.load() - base);
  }
  Report(state, p, peak);

  // The codecs alone over the same bytes (least CPU time of 3 runs each),
  // to split the load's time: body and values deciphered, values expanded.
  const double packed_count = p.packed_count, stored_count = p.stored_count;
  CipherKey key;
  std::memcpy(key.data(), p.bytes.data() + 11, 32);
  std::vector<uint8_t> body(p.bytes.begin() + 49, p.bytes.end());
  double decipher = MinCpu(3, [&] { DecipherBuffer(body.data(), static_cast<int32_t>(body.size()), key); });
  std::vector<uint8_t> packed = p.packed[0], stored = p.stored[0];
  decipher += packed_count * MinCpu(3, [&] {
    DecipherBuffer(packed.data(), static_cast<int32_t>(packed.size()), key);
  });
  decipher += stored_count * MinCpu(3, [&] {
    DecipherBuffer(stored.data(), static_cast<int32_t>(stored.size()), key);
  });
  double expand = packed_count * MinCpu(3, [&] {
    int32_t size = static_cast<int32_t>(p.packed[0].size());
    auto out = DecompressBuffer(p.packed[0].data(), size);
    benchmark::DoNotOptimize(out.get());
  });
  state.counters["load_cpu_ms"] = best * 1000;
  state.counters["decipher_%"] = 100 * decipher / best;
  state.counters["expand_%"] = 100 * expand / best;
  state.counters["rest_%"] = 100 * (best - decipher - expand) / best;
}

// The update description: what the installer does at start-up.
void BM_LoadUpdateFile(benchmark::State& state) {
  const Package& p = ThePackage();
  int64_t peak = 0;
  for (auto _ : state) {
    int64_t base = g_current.load();
    g_peak = base;
    {
      auto file = std::make_unique<TUpdateFile>();
      MemoryStream stream(p.bytes.data(), p.bytes.size());
      file->LoadFromStream(stream);
      if (file->Items.size() != static_cast<size_t>(p.packed_count + p.stored_count) ||
          file->Items[0].DataSize != (2 << 20))
        state.SkipWithError("load");
      benchmark::DoNotOptimize(file->Items.data());
    }
    peak = std::max(peak, g_peak.load() - base);
  }
  Report(state, p, peak);
}

}  // namespace

BENCHMARK(BM_LoadStore)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LoadUpdateFile)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
