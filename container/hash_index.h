// A lookup from a name's 32-bit hash to the first object added under it, for
// the container store's sections and values: open addressing with linear
// probing in a power-of-two table that doubles at half full. Small in code
// (one untyped core for every element type) and in memory (two words a slot).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace upkit {

class HashIndexCore {
 public:
  void Clear();
  size_t Count() const { return used_; }

 protected:
  void* Find(uint32_t hash) const;
  // Keeps an object added earlier under the same hash (the first one wins,
  // as a front-to-back scan would find it). `object` is never null.
  void AddFirst(uint32_t hash, void* object);

 private:
  struct Slot {
    uint32_t hash;
    void* object;  // null: the slot is free
  };
  void Grow();
  std::vector<Slot> slots_;
  size_t used_ = 0;
};

template <class T>
class HashIndex : public HashIndexCore {
 public:
  T* Find(int32_t hash) const { return static_cast<T*>(HashIndexCore::Find(static_cast<uint32_t>(hash))); }
  void AddFirst(int32_t hash, T* object) { HashIndexCore::AddFirst(static_cast<uint32_t>(hash), object); }
};

}  // namespace upkit
