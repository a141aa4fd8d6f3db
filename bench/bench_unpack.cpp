// Speed and size of the aPLib-format codec, with references measured in the
// same run: zlib inflate for decoding speed, `gzip -9` (run as a process on
// the same bytes) for compressed size.
//
// Inputs: "mixed" is 4 MiB of four 1 MiB parts, the kinds of payload an
// update package carries: executable code (host executables, or a structured
// stand-in), text, table-like records and a 24-bit picture (smooth gradients
// with noise); "gdb" and "cmake" are the first 4 MiB of /usr/bin/gdb and
// /usr/bin/cmake when the host has them. "noise16" (random letters from a
// 16-symbol alphabet: nearly all single-byte tokens) shows the slowest case.
// "random4M" and "random16M" (bytes that do not compress, like archives and
// media) show that such input costs the same per byte at any size, and
// "text4M" is words and line ends.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "codec/compress.h"
#include "codec/unpack.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kMiB = 1 << 20;

Bytes ReadHead(const char* path, size_t n) {
  Bytes v(n);
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return {};
  v.resize(std::fread(v.data(), 1, n, f));
  std::fclose(f);
  return v;
}

Bytes Executable(const char* path, size_t offset, std::mt19937& rng) {
  Bytes v = ReadHead(path, offset + kMiB);
  if (v.size() == offset + kMiB) return Bytes(v.begin() + ptrdiff_t(offset), v.end());
  v.clear();  // no host binary: structured stand-in
  while (v.size() < kMiB) {
    uint32_t r = rng();
    v.insert(v.end(), {0x8B, uint8_t(0x45 + (r & 3)), uint8_t(r >> 8), 0x89, 0xC1});
    if ((r >> 16) % 5 == 0) v.insert(v.end(), (r >> 20) % 64, 0);
  }
  v.resize(kMiB);
  return v;
}

Bytes MakeMixed() {
  std::mt19937 rng(20261207);
  Bytes v = Executable("/usr/bin/gdb", 2 * kMiB, rng);
  static const char* words[] = {"update ", "file ", "the ", "package ", "window ", "of ",
                                "installer ", "CRC ", "\r\n", "folder ", "item ", "backup "};
  while (v.size() < 2 * kMiB) {
    const char* w = words[rng() % 12];
    v.insert(v.end(), w, w + std::char_traits<char>::length(w));
  }
  v.resize(2 * kMiB);
  uint32_t counter = 0;
  while (v.size() < 3 * kMiB) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(counter >> (8 * i)));
    counter += rng() % 7;
    v.insert(v.end(), {uint8_t(rng() % 3), 0, 0, 0});
  }
  v.resize(3 * kMiB);
  for (uint32_t y = 0; v.size() < 4 * kMiB; ++y)  // 512 x 683 pixels, BGR
    for (uint32_t x = 0; x < 512 && v.size() < 4 * kMiB; ++x) {
      uint32_t n = rng() % 4;
      v.insert(v.end(), {uint8_t(x / 2 + n), uint8_t(y / 3), uint8_t((x + y) / 4 + n)});
    }
  return v;
}

Bytes MakeNoise16() {
  std::mt19937 rng(7);
  Bytes v(kMiB);
  for (auto& b : v) b = uint8_t(rng() % 16 + 'A');
  return v;
}

Bytes MakeRandom(size_t size) {
  std::mt19937_64 rng(size);
  Bytes v(size);
  for (size_t i = 0; i < size; i += 8) {
    uint64_t r = rng();
    for (size_t k = 0; k < 8 && i + k < size; ++k) v[i + k] = uint8_t(r >> (8 * k));
  }
  return v;
}

Bytes MakeText(size_t size) {
  std::mt19937 rng(11);
  static const char* words[] = {"update ", "file ", "the ", "package ", "window ", "of ", "a ",
                                "installer ", "CRC ", "\r\n", "folder ", "item ", "backup ",
                                "replaced ", "when ", "Windows ", "restarts", ". ", "version ", "and "};
  Bytes v;
  while (v.size() < size) {
    const char* w = words[rng() % 20];
    v.insert(v.end(), w, w + std::char_traits<char>::length(w));
  }
  v.resize(size);
  return v;
}

const Bytes& Input(const std::string& name) {
  static const Bytes mixed = MakeMixed();
  if (name == "random4M") { static const Bytes r = MakeRandom(4 * kMiB); return r; }
  if (name == "random16M") { static const Bytes r = MakeRandom(16 * kMiB); return r; }
  if (name == "text4M") { static const Bytes t = MakeText(4 * kMiB); return t; }
  static const Bytes gdb = ReadHead("/usr/bin/gdb", 4 * kMiB);
  static const Bytes cmake = ReadHead("/usr/bin/cmake", 4 * kMiB);
  static const Bytes noise16 = MakeNoise16();
  if (name == "gdb") return gdb;
  if (name == "cmake") return cmake;
  if (name == "noise16") return noise16;
  return mixed;
}

// Size of `gzip -9` output for the bytes, or 0 when gzip cannot run.
size_t Gzip9Size(const Bytes& data) {
  char path[] = "/tmp/upkit-bench-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 0;
  std::FILE* f = fdopen(fd, "wb");
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  std::string cmd = std::string("gzip -9 -c ") + path + " | wc -c";
  size_t size = 0;
  if (std::FILE* p = popen(cmd.c_str(), "r")) {
    if (std::fscanf(p, "%zu", &size) != 1) size = 0;
    pclose(p);
  }
  std::remove(path);
  return size;
}

void BM_Unpack(benchmark::State& state, const std::string& name) {
  const Bytes& in = Input(name);
  Bytes packed = upkit::pack::CompressStream(in.data(), in.size(), 9);
  Bytes out(in.size());
  for (auto _ : state) {
    int32_t n = upkit::UnpackStream(packed.data(), uint32_t(packed.size()), out.data(),
                                    uint32_t(out.size()));
    if (n != int32_t(in.size())) state.SkipWithError("unpack failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations() * in.size()));
}
BENCHMARK_CAPTURE(BM_Unpack, mixed, std::string("mixed"))
    ->Name("unpack/mixed")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Unpack, noise16, std::string("noise16"))
    ->Name("unpack/noise16")->Unit(benchmark::kMillisecond);

void BM_UnpackChecked(benchmark::State& state) {
  const Bytes& in = Input("mixed");
  Bytes packed = upkit::pack::CompressPacked(in.data(), in.size(), 9);
  Bytes out(in.size());
  for (auto _ : state) {
    int32_t n = upkit::UnpackChecked(packed.data(), uint32_t(packed.size()), out.data(),
                                     uint32_t(out.size()));
    if (n != int32_t(in.size())) state.SkipWithError("unpack failed");
  }
  state.SetBytesProcessed(int64_t(state.iterations() * in.size()));
}
BENCHMARK(BM_UnpackChecked)->Name("unpack_checked/mixed")->Unit(benchmark::kMillisecond);

// Reference: zlib inflate of the same input compressed at level 9.
void BM_ZlibInflate(benchmark::State& state) {
  const Bytes& in = Input("mixed");
  uLongf bound = compressBound(uLong(in.size()));
  Bytes z(bound);
  compress2(z.data(), &bound, in.data(), uLong(in.size()), 9);
  z.resize(bound);
  Bytes out(in.size());
  for (auto _ : state) {
    uLongf n = uLongf(out.size());
    if (uncompress(out.data(), &n, z.data(), uLong(z.size())) != Z_OK) state.SkipWithError("inflate");
  }
  state.SetBytesProcessed(int64_t(state.iterations() * in.size()));
}
BENCHMARK(BM_ZlibInflate)->Name("ref_zlib_inflate/mixed")->Unit(benchmark::kMillisecond);

void BM_Compress(benchmark::State& state, const std::string& name) {
  const Bytes& in = Input(name);
  if (in.empty()) {
    state.SkipWithError(("no input for " + name).c_str());
    return;
  }
  int level = int(state.range(0));
  size_t size = 0;
  for (auto _ : state) size = upkit::pack::CompressStream(in.data(), in.size(), level).size() + 24;
  state.SetBytesProcessed(int64_t(state.iterations() * in.size()));
  size_t gz = Gzip9Size(in);
  state.counters["size"] = double(size);
  state.counters["gzip9"] = double(gz);
  state.counters["vs_gzip9"] = gz ? double(size) / double(gz) : 0.0;
}
BENCHMARK_CAPTURE(BM_Compress, mixed, std::string("mixed"))
    ->Name("compress/mixed")->Arg(9)->Arg(5)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compress, gdb, std::string("gdb"))
    ->Name("compress/gdb4M")->Arg(9)->Arg(5)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compress, cmake, std::string("cmake"))
    ->Name("compress/cmake4M")->Arg(9)->Arg(5)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compress, text4M, std::string("text4M"))
    ->Name("compress/text4M")->Arg(9)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compress, random4M, std::string("random4M"))
    ->Name("compress/random4M")->Arg(9)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compress, random16M, std::string("random16M"))
    ->Name("compress/random16M")->Arg(9)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
