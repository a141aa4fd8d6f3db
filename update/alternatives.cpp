#include "update/alternatives.h"

#include "codec/error.h"
#include "update/update_file.h"

namespace upkit {

namespace {

// Reads little-endian fields, checking each against what is left.
class FieldReader {
 public:
  FieldReader(const uint8_t* data, size_t size) : p_(data), left_(size) {}
  uint64_t Get(size_t bytes) {
    if (bytes > left_) throw Error(kStreamReadError);
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p_[i]) << (8 * i);
    p_ += bytes;
    left_ -= bytes;
    return v;
  }
  size_t Left() const { return left_; }

 private:
  const uint8_t* p_;
  size_t left_;
};

void Put(std::vector<uint8_t>& out, uint64_t v, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool KnownAction(uint64_t action) { return action == 2 || action == 3 || action == 4 || action == 6; }

}  // namespace

ItemAlternatives ReadAlternatives(const uint8_t* data, size_t size, int32_t own_index) {
  FieldReader r(data, size);
  ItemAlternatives t;
  const uint64_t format = r.Get(1), state = r.Get(1);
  if (format != kAlternativesFormat || state > 1) throw Error(kStreamReadError);
  t.new_present = state == 1;
  t.new_size = r.Get(8);
  t.new_crc = static_cast<uint32_t>(r.Get(4));
  const uint64_t count = r.Get(2);
  // SAFETY_CHECK: the count fills what is left exactly.
  if (count == 0 || r.Left() / kAlternativeSize != count || r.Left() % kAlternativeSize != 0)
    throw Error(kStreamReadError);
  for (uint64_t i = 0; i < count; ++i) {
    ItemAlternative a;
    a.base = static_cast<uint8_t>(r.Get(1));
    a.base_size = r.Get(8);
    a.base_crc = static_cast<uint32_t>(r.Get(4));
    const uint64_t action = r.Get(1);
    a.data_item = static_cast<int32_t>(static_cast<uint32_t>(r.Get(4)));
    a.offset = static_cast<uint32_t>(r.Get(4));
    a.length = static_cast<uint32_t>(r.Get(4));
    a.releases = static_cast<uint32_t>(r.Get(4));
    const bool last = i + 1 == count;
    if (a.base > kBaseAny || (a.base == kBaseAny && !last) || !KnownAction(action) || a.data_item < 0 ||
        a.data_item > own_index) {
      throw Error(kStreamReadError);
    }
    a.action = static_cast<int32_t>(action);
    t.list.push_back(a);
  }
  return t;
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

void UseAlternative(TFileItem& item, size_t index) {
  const ItemAlternative& a = item.Alternatives.list[index];
  item.Action = a.action;
  item.CheckSize = a.base == kBasePresent ? 1 : 0;
  item.Size = static_cast<int32_t>(static_cast<uint32_t>(a.base_size));
  // An empty file fails every CRC check: its size says enough.
  item.CheckCRC = a.base == kBasePresent && a.base_size != 0 ? 1 : 0;
  item.CRC = static_cast<int32_t>(a.base_crc);
  item.DataValue = a.value;
  item.DataOffset = a.offset;
  item.DataSize = static_cast<int32_t>(a.length);
}

}  // namespace upkit
