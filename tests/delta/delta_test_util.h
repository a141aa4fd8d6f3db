// Memory old file and new file for the delta decoder: the source fails the
// test on any read outside the old file, the sink records what it is given.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codec/error.h"
#include "delta/delta.h"

namespace upkit::testing {

using Bytes = std::vector<uint8_t>;

class MemorySource : public DeltaSource {
 public:
  explicit MemorySource(const Bytes& old) : old_(old) {}
  void ReadOld(uint64_t offset, uint8_t* out, size_t length) override {
    if (offset > old_.size() || length > old_.size() - offset || length > 64 * 1024) {
      ADD_FAILURE() << "out-of-range read " << offset << "+" << length;
      throw Error("bad read");
    }
    std::copy_n(old_.begin() + offset, length, out);
  }

 private:
  const Bytes& old_;
};

struct MemorySink : DeltaSink {
  Bytes bytes;
  void WriteNew(const uint8_t* p, size_t n) override {
    if (n > 64 * 1024) ADD_FAILURE() << "unbounded write of " << n;
    bytes.insert(bytes.end(), p, p + n);
  }
};

inline Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

}  // namespace upkit::testing
