#include "pack/overlay_writer.h"

#include <algorithm>
#include <exception>
#include <fstream>
#include <thread>

#include "codec/crc32.h"
#include "codec/error.h"
#include "codec/compress.h"
#include "codec/encipher.h"
#include "pack/host_fs.h"

namespace upkit::pack {

std::vector<uint8_t> EncodeOverlayBlock(const uint8_t* data, size_t size, const OverlayCoding& coding) {
  if (size == 0 || size > coding.block) throw Error("an overlay block holds 1 to " + std::to_string(coding.block) + " bytes");
  std::vector<uint8_t> packed;
  // Packed only when smaller: a stored block is never larger than it expands to.
  if (coding.compressed) packed = CompressPacked(data, size, coding.level, size - 1);
  const bool is_packed = !packed.empty();
  const size_t count = is_packed ? packed.size() : size;
  std::vector<uint8_t> out(5 + count);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(count >> (8 * i));
  out[4] = is_packed ? 1 : 0;
  std::copy_n(is_packed ? packed.data() : data, count, out.begin() + 5);
  if (coding.enciphered) EncipherBuffer(out.data() + 5, static_cast<int32_t>(count), coding.key);
  return out;
}

OverlayWritten WriteOverlayPayload(const std::string& utf8_path, uint64_t expected_size, const OverlayCoding& coding,
                                   const std::function<void(const uint8_t*, size_t)>& write, Progress* progress,
                                   uint64_t progress_base, uint64_t progress_total) {
  std::ifstream in(HostPath(utf8_path), std::ios::binary);
  if (!in) throw Error("cannot read " + utf8_path);
  const unsigned jobs = coding.jobs < 1 ? 1 : coding.jobs;
  // Two blocks per thread in flight: a thread that finishes early takes the next.
  const size_t batch = 2 * size_t{jobs};
  std::vector<std::vector<uint8_t>> raw(batch), coded(batch);
  OverlayWritten written;
  for (;;) {
    size_t filled = 0;
    for (; filled < batch; ++filled) {
      raw[filled].resize(coding.block);
      in.read(reinterpret_cast<char*>(raw[filled].data()), coding.block);
      const size_t got = static_cast<size_t>(in.gcount());
      raw[filled].resize(got);
      if (got == 0) break;
      written.crc = Crc32Update(written.crc, raw[filled].data(), static_cast<uint32_t>(got));
      written.size += got;
      if (got < coding.block) {
        ++filled;
        break;
      }
    }
    if (in.bad()) throw Error("cannot read " + utf8_path);
    if (filled == 0) break;
    // Block i goes to thread i % jobs; the main thread codes its own share.
    auto code = [&](size_t first) {
      for (size_t i = first; i < filled; i += jobs) coded[i] = EncodeOverlayBlock(raw[i].data(), raw[i].size(), coding);
    };
    std::vector<std::thread> threads;
    std::vector<std::exception_ptr> failures(jobs);
    auto guarded = [&](unsigned t) {
      try {
        code(t);
      } catch (...) {
        failures[t] = std::current_exception();
      }
    };
    for (unsigned t = 1; t < jobs && t < filled; ++t) threads.emplace_back(guarded, t);
    guarded(0);
    for (std::thread& thread : threads) thread.join();
    for (std::exception_ptr& failure : failures)
      if (failure) std::rethrow_exception(failure);
    for (size_t i = 0; i < filled; ++i) {
      write(coded[i].data(), coded[i].size());
      written.length += coded[i].size();
      std::vector<uint8_t>().swap(coded[i]);
    }
    if (progress) progress->UpdateBytes(progress_base + written.size, progress_total);
    if (raw[filled - 1].size() < coding.block) break;
  }
  if (written.size != expected_size)
    throw Error(utf8_path + ": " + std::to_string(written.size) + " bytes, not " + std::to_string(expected_size) +
                " as planned (did it change during the build?)");
  return written;
}

}  // namespace upkit::pack
