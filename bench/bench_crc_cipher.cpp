// Speed of the checksum and the decipher beside independent references in
// the same process: zlib's crc32 and OpenSSL's AES-256-ECB. After the usual
// table a summary prints each of our loops as a ratio of its reference.
//
//   bench_crc_cipher --benchmark_repetitions=5   # OpenSSL with AES-NI (its default)
//   OPENSSL_ia32cap="~0x200000200000000" bench_crc_cipher --benchmark_filter=aes --benchmark_repetitions=5
//                                         # OpenSSL's software AES: AES-NI and
//                                         # PCLMULQDQ masked off for OpenSSL only
//
// Our own loops choose by CPUID and are forced per row here, so the masking
// never changes them.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codec/aes_paths.h"
#include "codec/cipher.h"
#include "codec/crc32.h"
#include "codec/crc32_paths.h"

namespace {

constexpr size_t kMiB = size_t{1} << 20;

const std::vector<uint8_t>& RandomBuffer(size_t size) {
  static std::map<size_t, std::vector<uint8_t>> buffers;
  auto& buf = buffers[size];
  if (buf.empty()) {
    buf.resize(size);
    std::mt19937_64 rng(size);
    for (size_t i = 0; i + 8 <= size; i += 8) {
      uint64_t v = rng();
      for (int b = 0; b < 8; ++b) buf[i + b] = static_cast<uint8_t>(v >> (8 * b));
    }
  }
  return buf;
}

void CrcOurs(benchmark::State& state, upkit::crc32::Path path, size_t size) {
  const auto& buf = RandomBuffer(size);
  for (auto _ : state) {
    uint32_t crc = upkit::crc32::UpdateWithPath(0, buf.data(), static_cast<uint32_t>(size), path);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void CrcBlock(benchmark::State& state, size_t size) {
  const auto& buf = RandomBuffer(size);
  for (auto _ : state) benchmark::DoNotOptimize(upkit::Crc32Block(buf.data(), static_cast<uint32_t>(size)));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void CrcZlib(benchmark::State& state, size_t size) {
  const auto& buf = RandomBuffer(size);
  for (auto _ : state) benchmark::DoNotOptimize(crc32_z(0, buf.data(), size));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

upkit::CipherKey BenchKey() {
  upkit::CipherKey key;
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
  return key;
}

void AesOurs(benchmark::State& state, upkit::aes::Path path, size_t size) {
  std::vector<uint8_t> buf = RandomBuffer(size);
  const auto key = BenchKey();
  for (auto _ : state) {
    upkit::aes::DecipherWithPath(buf.data(), static_cast<int32_t>(size), key, false, path);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void AesOpenSsl(benchmark::State& state, size_t size) {
  const auto& in = RandomBuffer(size);
  std::vector<uint8_t> out(size + 16);
  const auto key = BenchKey();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  for (auto _ : state) {
    // Set-up per call, like DecipherBuffer's key expansion per call.
    EVP_DecryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int len = 0;
    EVP_DecryptUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(size));
    benchmark::DoNotOptimize(len);
    benchmark::ClobberMemory();
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// Remembers bytes per second per row for the ratio summary.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      // With --benchmark_repetitions the median (reported after the single
      // runs) is the figure kept.
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates_[run.run_name.str()] = it->second.value;
    }
  }

  void PrintRatio(const std::string& ours, const std::string& reference) const {
    auto a = rates_.find(ours), b = rates_.find(reference);
    if (a == rates_.end() || b == rates_.end() || b->second <= 0) return;
    std::printf("%-28s %9.0f MB/s   %-24s %9.0f MB/s   ratio %.2f\n", ours.c_str(), a->second / 1e6,
                reference.c_str(), b->second / 1e6, a->second / b->second);
  }

 private:
  std::map<std::string, double> rates_;
};

struct Size {
  const char* name;
  size_t bytes;
};

}  // namespace

int main(int argc, char** argv) {
  using upkit::aes::Path;
  namespace crc = upkit::crc32;
  const Size crc_sizes[] = {{"1MiB", kMiB}, {"256MiB", 256 * kMiB}};
  const std::pair<const char*, crc::Path> crc_paths[] = {
      {"portable", crc::Path::kPortable}, {"slice16", crc::Path::kSlice16}, {"pclmul", crc::Path::kPclmul}};
  for (const auto& s : crc_sizes) {
    benchmark::RegisterBenchmark((std::string("crc32/Crc32Block/") + s.name).c_str(), CrcBlock, s.bytes);
    for (const auto& [name, path] : crc_paths)
      benchmark::RegisterBenchmark((std::string("crc32/") + name + "/" + s.name).c_str(), CrcOurs, path, s.bytes);
    benchmark::RegisterBenchmark((std::string("crc32/zlib/") + s.name).c_str(), CrcZlib, s.bytes);
  }
  const Size aes_sizes[] = {{"64KiB", 64 * 1024}, {"1MiB", kMiB}};
  for (const auto& s : aes_sizes) {
    benchmark::RegisterBenchmark((std::string("aes/DecipherBuffer/") + s.name).c_str(), AesOurs, Path::kAuto, s.bytes);
    benchmark::RegisterBenchmark((std::string("aes/table/") + s.name).c_str(), AesOurs, Path::kTable, s.bytes);
    if (upkit::aes::HasAesNi())
      benchmark::RegisterBenchmark((std::string("aes/aesni/") + s.name).c_str(), AesOurs, Path::kAesNi, s.bytes);
    benchmark::RegisterBenchmark((std::string("aes/openssl/") + s.name).c_str(), AesOpenSsl, s.bytes);
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nours beside the reference (same process):\n");
  for (const auto& s : crc_sizes) {
    std::string ref = std::string("crc32/zlib/") + s.name;
    reporter.PrintRatio(std::string("crc32/Crc32Block/") + s.name, ref);
    for (const auto& [name, path] : crc_paths) reporter.PrintRatio(std::string("crc32/") + name + "/" + s.name, ref);
  }
  for (const auto& s : aes_sizes) {
    std::string ref = std::string("aes/openssl/") + s.name;
    for (const char* name : {"DecipherBuffer", "table", "aesni"})
      reporter.PrintRatio(std::string("aes/") + name + "/" + s.name, ref);
  }
  std::printf("CRC-32 default loop: %s; AES default loop: %s\n",
              crc::AutoPath() == crc::Path::kPclmul ? "pclmul" : crc::AutoPath() == crc::Path::kSlice16 ? "slice16" : "portable",
              upkit::aes::AutoPath() == Path::kAesNi ? "aesni" : "table");
  benchmark::Shutdown();
  return 0;
}
