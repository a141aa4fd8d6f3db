// LZMA coding of byte sections, through the LZMA SDK's C sources in
// third_party/lzma (public domain). A coded section is the SDK's raw form:
// 5 property bytes (lc/lp/pb and the dictionary size), then the range-coded
// data, with no end mark: the caller knows the decoded size.
//
// The decoder streams: it holds one dictionary (at most kMaxDictionary, and
// never more than the decoded size) and the model, whatever the size. The
// encoder lives on the authoring side only (codec/lzma_encode.cpp), so the
// installer links the decoder alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace upkit::lzma {

inline constexpr size_t kPropsSize = 5;
// The largest dictionary a decoder allocates, and the most literal context
// bits (lc + lp) it accepts: both bound its memory.
inline constexpr uint32_t kMaxDictionary = 4u << 20;
inline constexpr int kMaxLiteralBits = 4;

class Decoder {
 public:
  // `coded` (property bytes first) must stay alive while reading. Raises
  // Error("Stream read error") when the properties are malformed or need more
  // memory than the bounds above, Error("Out of memory") when allocating fails.
  //
  // With a `preset`, the coder starts primed: its dictionary already holds
  // the last PresetUsed() bytes of the preset (at most the dictionary size
  // of the property bytes), as though it had decoded them, and positions
  // count on from there. The preset is copied: it need not stay alive.
  Decoder(const uint8_t* coded, size_t coded_size, uint64_t size, const uint8_t* preset = nullptr,
          size_t preset_size = 0);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // The next n decoded bytes; n must not pass what is left. Raises
  // Error("Stream read error") when the data is malformed or runs out.
  void Read(uint8_t* out, size_t n);
  // True when every byte is decoded and the coded data is used up.
  bool Done() const;

 private:
  struct State;
  State* state_;
};

struct EncodeOptions {
  int lc = 3, lp = 0, pb = 2;  // literal context, literal position, position bits
};

// The coded form of `data` (property bytes first). Defined in pack/. With a
// `preset`, the coded form is for a Decoder primed with the same preset.
// The dictionary is the smallest power of two (at least 4 KiB, at most
// kMaxDictionary) that holds the preset and the data.
std::vector<uint8_t> Encode(std::span<const uint8_t> data, const EncodeOptions& options = {},
                            std::span<const uint8_t> preset = {});

// How many of a preset's last bytes prime a coder whose property bytes name
// dictionary `dictionary`: all of them up to that size.
inline size_t PresetUsed(size_t preset_size, uint32_t dictionary) {
  return preset_size < dictionary ? preset_size : dictionary;
}

}  // namespace upkit::lzma
