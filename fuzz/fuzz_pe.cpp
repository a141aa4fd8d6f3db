// Feeds arbitrary bytes to the PE resource reader; every resource it
// reports with a file offset must lie inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "codec/error.h"
#include "pack/pe_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> file(data, size);
  try {
    upkit::pack::PeImageInfo image = upkit::pack::ReadPeImage(file);
    for (const auto& r : image.resources) {
      if (r.file_offset >= 0 &&
          (static_cast<uint64_t>(r.file_offset) > size || r.size > size - r.file_offset))
        std::abort();
      (void)r.type.Text();
      (void)r.name.Text();
    }
    (void)upkit::pack::ReadLr5Resource(file);
  } catch (const upkit::Error&) {
  }
  return 0;
}
