#include "package/item_payload.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace upkit {

ItemPayload::ItemPayload(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return;
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  Own(std::move(copy), bytes.size());
}

ItemPayload::ItemPayload(const ItemPayload& other) {
  if (!other.owned_) {
    Borrow(other.data_, other.size_);
    return;
  }
  std::unique_ptr<uint8_t[]> copy(new uint8_t[other.size_]);
  std::memcpy(copy.get(), other.data_, other.size_);
  Own(std::move(copy), other.size_);
}

ItemPayload& ItemPayload::operator=(const ItemPayload& other) {
  if (this != &other) *this = ItemPayload(other);
  return *this;
}

ItemPayload::ItemPayload(ItemPayload&& other) noexcept
    : owned_(std::move(other.owned_)), data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

ItemPayload& ItemPayload::operator=(ItemPayload&& other) noexcept {
  owned_ = std::move(other.owned_);
  data_ = std::exchange(other.data_, nullptr);
  size_ = std::exchange(other.size_, 0);
  return *this;
}

void ItemPayload::Own(std::unique_ptr<uint8_t[]> buffer, size_t size) {
  owned_ = std::move(buffer);
  data_ = owned_.get();
  size_ = data_ ? size : 0;
}

void ItemPayload::Own(std::unique_ptr<uint8_t[]> buffer, size_t offset, size_t size) {
  Own(std::move(buffer), size);
  if (data_) data_ += offset;
}

void ItemPayload::Borrow(const uint8_t* bytes, size_t size) {
  owned_.reset();
  data_ = bytes;
  size_ = bytes ? size : 0;
}

void ItemPayload::Release() { Borrow(nullptr, 0); }

bool operator==(const ItemPayload& a, const std::vector<uint8_t>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace upkit
