#include "container/hash_index.h"

#include <utility>

namespace upkit {

namespace {

// Names hash to CRC-32s; the multiply spreads hashes that differ only in
// high bits over the low bits the table looks at.
size_t Home(uint32_t hash, size_t mask) { return static_cast<size_t>(hash * 0x9E3779B1u) & mask; }

}  // namespace

void HashIndexCore::Clear() {
  slots_.clear();
  used_ = 0;
}

void* HashIndexCore::Find(uint32_t hash) const {
  if (slots_.empty()) return nullptr;
  const size_t mask = slots_.size() - 1;
  for (size_t i = Home(hash, mask);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (!slot.object || slot.hash == hash) return slot.object;
  }
}

void HashIndexCore::AddFirst(uint32_t hash, void* object) {
  if (2 * (used_ + 1) > slots_.size()) Grow();
  const size_t mask = slots_.size() - 1;
  for (size_t i = Home(hash, mask);; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.object) {
      if (slot.hash == hash) return;
      continue;
    }
    slot = {hash, object};
    ++used_;
    return;
  }
}

void HashIndexCore::Grow() {
  std::vector<Slot> old(slots_.empty() ? 8 : 2 * slots_.size(), Slot{0, nullptr});
  old.swap(slots_);
  used_ = 0;
  for (const Slot& slot : old) {
    if (slot.object) AddFirst(slot.hash, slot.object);
  }
}

}  // namespace upkit
