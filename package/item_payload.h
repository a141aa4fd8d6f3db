// The bytes of one update item's "Data", as the actions see them: data(),
// size(), empty(). A payload either owns a buffer (an expanded package
// value, or bytes given by a tool or test) or borrows bytes where they
// already lie (a stored value in the package's own memory), so that a
// payload of hundreds of megabytes is never copied just to be handed on.
// A loaded item's payload is empty until the update description makes it
// ready for the item's action and is released again after it.
// Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace upkit {

class ItemPayload {
 public:
  ItemPayload() = default;
  // Owns a copy of `bytes`.
  ItemPayload(const std::vector<uint8_t>& bytes);  // NOLINT: items are filled by assignment
  // A copy owns a copy of owned bytes and borrows what the original borrows.
  ItemPayload(const ItemPayload& other);
  ItemPayload& operator=(const ItemPayload& other);
  ItemPayload(ItemPayload&& other) noexcept;
  ItemPayload& operator=(ItemPayload&& other) noexcept;
  ~ItemPayload() = default;

  template <typename It>
  void assign(It first, It last) {
    *this = ItemPayload(std::vector<uint8_t>(first, last));
  }

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const uint8_t* begin() const { return data_; }
  const uint8_t* end() const { return data_ + size_; }

  // Takes `buffer` and hands out its first `size` bytes.
  void Own(std::unique_ptr<uint8_t[]> buffer, size_t size);
  // The same, handing out `size` bytes from `offset` on.
  void Own(std::unique_ptr<uint8_t[]> buffer, size_t offset, size_t size);
  // Hands out `size` bytes at `bytes`, which the caller keeps alive.
  void Borrow(const uint8_t* bytes, size_t size);
  // Empties the payload, freeing an owned buffer.
  void Release();

  friend bool operator==(const ItemPayload& a, const std::vector<uint8_t>& b);

 private:
  std::unique_ptr<uint8_t[]> owned_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace upkit
