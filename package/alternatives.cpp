#include "package/alternatives.h"

namespace upkit {

namespace {

// Little-endian fields; the caller has checked that they are there.
uint64_t Get(const uint8_t*& p, size_t bytes) {
  uint64_t v = 0;
  for (size_t i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  p += bytes;
  return v;
}

void Put(std::vector<uint8_t>& out, uint64_t v, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool KnownAction(uint64_t action) { return action == 2 || action == 3 || action == 4 || action == 6; }

}  // namespace

bool ReadAlternatives(const uint8_t* data, size_t size, int32_t own_index, ItemAlternatives* table) {
  // SAFETY_CHECK: the head is there and the count fills the rest exactly.
  if (size < kAlternativesHeadSize) return false;
  const uint8_t* p = data;
  ItemAlternatives& t = *table;
  const uint64_t format = Get(p, 1), state = Get(p, 1);
  t.new_present = state == 1;
  t.new_size = Get(p, 8);
  t.new_crc = static_cast<uint32_t>(Get(p, 4));
  const uint64_t count = Get(p, 2), rest = size - kAlternativesHeadSize;
  if (format != kAlternativesFormat || state > 1 || count == 0 || rest != count * kAlternativeSize) return false;
  t.list.clear();
  for (uint64_t i = 0; i < count; ++i) {
    ItemAlternative a;
    a.base = static_cast<uint8_t>(Get(p, 1));
    a.base_size = Get(p, 8);
    a.base_crc = static_cast<uint32_t>(Get(p, 4));
    a.action = static_cast<int32_t>(Get(p, 1));
    a.data_item = static_cast<int32_t>(static_cast<uint32_t>(Get(p, 4)));
    a.offset = static_cast<uint32_t>(Get(p, 4));
    a.length = static_cast<uint32_t>(Get(p, 4));
    a.releases = static_cast<uint32_t>(Get(p, 4));
    const bool last = i + 1 == count;
    if (a.base > kBaseAny || (a.base == kBaseAny && !last) || !KnownAction(static_cast<uint64_t>(a.action)) ||
        a.data_item < 0 || a.data_item > own_index) {
      return false;
    }
    t.list.push_back(a);
  }
  return true;
}

std::vector<uint8_t> WriteAlternatives(const ItemAlternatives& t) {
  std::vector<uint8_t> out;
  Put(out, kAlternativesFormat, 1);
  Put(out, t.new_present ? 1 : 0, 1);
  Put(out, t.new_size, 8);
  Put(out, t.new_crc, 4);
  Put(out, t.list.size(), 2);
  for (const ItemAlternative& a : t.list) {
    Put(out, a.base, 1);
    Put(out, a.base_size, 8);
    Put(out, a.base_crc, 4);
    Put(out, static_cast<uint32_t>(a.action), 1);
    Put(out, static_cast<uint32_t>(a.data_item), 4);
    Put(out, a.offset, 4);
    Put(out, a.length, 4);
    Put(out, a.releases, 4);
  }
  return out;
}

bool AlternativesNeedCrc(const ItemAlternatives& t, const InstalledFile& file) {
  if (!file.exists) return false;
  if (t.new_present && t.new_size == file.size) return true;
  for (const ItemAlternative& a : t.list)
    if (a.base == kBasePresent && a.base_size == file.size) return true;
  return false;
}

int PickAlternative(const ItemAlternatives& t, const InstalledFile& file) {
  auto holds = [&](uint64_t size, uint32_t crc) {
    return file.exists && file.size == size && file.crc_read && file.crc == crc;
  };
  if (t.new_present ? holds(t.new_size, t.new_crc) : !file.exists) return kAlreadyNew;
  for (size_t i = 0; i < t.list.size(); ++i) {
    const ItemAlternative& a = t.list[i];
    if ((a.base == kBaseAbsent && !file.exists) || (a.base == kBasePresent && holds(a.base_size, a.base_crc)) ||
        a.base == kBaseAny) {
      return static_cast<int>(i);
    }
  }
  return kNoKnownBase;
}

}  // namespace upkit
