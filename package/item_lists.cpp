#include "package/item_lists.h"

#include "codec/error.h"

namespace upkit {

namespace {

// Reads little-endian values from a block, never past its end: every read
// checks what is left first and reports a short block instead of reading.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : next_(data), left_(data ? size : 0) {}

  size_t Left() const { return left_; }

  bool Bytes(size_t count, const uint8_t** at) {
    if (count > left_) return false;
    *at = next_;
    next_ += count;
    left_ -= count;
    return true;
  }

  template <typename T>
  bool Value(T* value) {
    const uint8_t* at = nullptr;
    if (!Bytes(sizeof(T), &at)) return false;
    uint32_t v = 0;
    for (size_t i = sizeof(T); i-- > 0;) v = (v << 8) | at[i];
    *value = static_cast<T>(v);
    return true;
  }

 private:
  const uint8_t* next_;
  size_t left_;
};

bool ReadId(Reader& in, ResourceListId* id) {
  uint8_t kind = 0;
  uint16_t value = 0;
  if (!in.Value(&kind) || !in.Value(&value)) return false;
  id->is_text = kind != 0;
  if (!id->is_text) {
    id->number = value;
    return true;
  }
  const uint8_t* text = nullptr;
  if (!in.Bytes(value, &text)) return false;
  id->text.assign(reinterpret_cast<const char*>(text), value);
  return true;
}

[[noreturn]] void ReadFault() { throw Error(kStreamReadError); }

}  // namespace

ResourceList ReadResourceList(const uint8_t* data, size_t size) {
  ResourceList list;
  Reader in(data, size);
  int32_t count = 0;
  if (!in.Value(&count)) {
    list.error = kStreamReadError;
    return list;
  }
  for (int32_t i = 0; i < count; ++i) {
    ResourceListEntry entry;
    if (!ReadId(in, &entry.type) || !ReadId(in, &entry.name) || !in.Value(&entry.language) ||
        !in.Value(&entry.size) || !in.Bytes(entry.size, &entry.content)) {
      list.error = kStreamReadError;
      break;
    }
    list.entries.push_back(std::move(entry));
  }
  return list;
}

PatchList ReadPatchList(const uint8_t* data, size_t size) {
  PatchList list;
  Reader in(data, size);
  uint32_t reserved = 0;
  int32_t count = 0;
  if (!in.Value(&reserved) || !in.Value(&list.new_size) || !in.Value(&list.kind) ||
      !in.Value(&count)) {
    ReadFault();
  }
  // A negative size has no defined end of file.
  if (list.new_size < 0) throw Error(kStreamWriteError);
  if (list.kind != 0 && list.kind != 1) return list;
  for (int32_t i = 0; i < count; ++i) {
    int32_t offset = 0;
    int32_t length = 1;  // kind 0: one byte
    PatchRecord record;
    if (!in.Value(&offset) || (list.kind == 1 && (!in.Value(&length) || length < 0)) ||
        !in.Bytes(static_cast<uint32_t>(length), &record.bytes)) {
      ReadFault();
    }
    // A negative offset has no place in the file.
    if (offset < 0) throw Error(kStreamWriteError);
    record.offset = static_cast<uint32_t>(offset);
    record.count = static_cast<uint32_t>(length);
    if (record.count != 0) list.records.push_back(record);
  }
  return list;
}

}  // namespace upkit
