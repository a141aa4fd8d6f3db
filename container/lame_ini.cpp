#include "container/lame_ini.h"

#include <cstring>
#include <new>

#include "codec/crc32.h"
#include "codec/error.h"
#include "codec/unpack.h"

namespace upkit {

namespace {

// Every read of container bytes goes through a check that names what it
// guards; a failing check is a malformed container.
[[noreturn]] void ReadError() { throw Error(kStreamReadError); }
#define SAFETY_CHECK(cond) \
  do {                     \
    if (!(cond)) ReadError(); \
  } while (0)

std::string TrimControls(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return std::string(text.substr(begin, end - begin));
}

bool IsMagic(std::string_view magic) {
  static constexpr char kMagic[] = "cfg";
  if (magic.size() != 3) return false;
  for (size_t i = 0; i < 3; ++i) {
    char c = magic[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kMagic[i]) return false;
  }
  return true;
}

}  // namespace

int32_t NameHash(std::string_view name) { return static_cast<int32_t>(Crc32Text(name)); }

// Reads container fields either from the stream (plain containers) or from
// memory: the deciphered body buffer (enciphered ones) or the stream's
// lasting memory. Every length is checked against Remaining() before memory
// is allocated for it.
class TLameIni::Reader {
 public:
  explicit Reader(Stream& stream) : stream_(&stream) {}
  Reader(const uint8_t* begin, size_t size) : next_(begin), end_(begin + size) {}

  bool InMemory() const { return stream_ == nullptr; }
  uint64_t Remaining() const {
    return stream_ ? stream_->Remaining() : static_cast<uint64_t>(end_ - next_);
  }

  void Bytes(void* out, size_t count) {
    if (stream_) {
      stream_->ReadExact(out, count);
      return;
    }
    SAFETY_CHECK(count <= static_cast<size_t>(end_ - next_));
    if (count) std::memcpy(out, next_, count);
    next_ += count;
  }
  uint8_t U8() {
    uint8_t b;
    Bytes(&b, 1);
    return b;
  }
  uint16_t U16() {
    uint8_t b[2];
    Bytes(b, 2);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
  }
  int32_t I32() {
    uint8_t b[4];
    Bytes(b, 4);
    return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                                (static_cast<uint32_t>(b[2]) << 16) |
                                (static_cast<uint32_t>(b[3]) << 24));
  }
  // `count` bytes as a string; the length is checked before allocating.
  std::string Text(uint64_t count) {
    SAFETY_CHECK(count <= Remaining());
    std::string text(static_cast<size_t>(count), '\0');
    Bytes(text.data(), text.size());
    return text;
  }
  // Memory mode only: `count` bytes in place, without copying.
  const uint8_t* Slice(size_t count) {
    SAFETY_CHECK(count <= static_cast<size_t>(end_ - next_));
    const uint8_t* slice = next_;
    next_ += count;
    return slice;
  }
  // Memory mode only: where the next field starts.
  const uint8_t* Next() const { return next_; }

 private:
  Stream* stream_ = nullptr;
  const uint8_t* next_ = nullptr;
  const uint8_t* end_ = nullptr;
};

void TLameIni::Clear() {
  last_section_ = nullptr;
  last_value_section_ = nullptr;
  last_value_ = nullptr;
  enciphered_ = 0;
  compressed_ = 0;
  NewCipherKey(key_);
  section_by_hash_.Clear();
  sections_.clear();
  body_.reset();
  deciphered_body_ = nullptr;
}

void TLameIni::LoadFromStream(Stream& stream) {
  try {
    Read(stream);
  } catch (const std::bad_alloc&) {
    throw Error(kOutOfMemory);
  }
}

void TLameIni::Read(Stream& stream) {
  Clear();

  Reader header(stream);
  int32_t magic_length = header.I32();
  SAFETY_CHECK(magic_length >= 0);
  std::string magic = header.Text(static_cast<uint64_t>(magic_length));
  if (!IsMagic(magic)) throw Error("cFg!>" + TrimControls(magic));

  version_ = header.I32();
  if (version_ < 2 || version_ > 3) throw Error("cFg (3)!>" + std::to_string(version_));
  const bool v3 = version_ == 3;

  uint8_t block[34];
  header.Bytes(block, sizeof block);
  std::memcpy(key_.data(), block, 32);
  enciphered_ = block[32];
  compressed_ = block[33];
  const bool enciphered = enciphered_ == 1;
  const bool compressed = compressed_ == 1;

  int32_t body_size = header.I32();
  Reader body_reader(stream);
  // A plain body in lasting memory is read in place; the stream is moved
  // past what was read at the end, as if it had been read through.
  const uint8_t* lasting = enciphered ? nullptr : stream.LastingMemory();
  const uint64_t body_start = stream.Position();
  if (lasting && body_start <= stream.Size()) {
    body_reader = Reader(lasting + body_start, static_cast<size_t>(stream.Size() - body_start));
  } else {
    lasting = nullptr;
  }
  if (enciphered) {
    if (body_size < 0) throw Error("Out of memory while expanding memory stream");
    SAFETY_CHECK(static_cast<uint64_t>(body_size) <= stream.Remaining());
    uint8_t* changeable = stream.ChangeableLastingMemory();
    if (changeable) {
      deciphered_body_ = changeable + body_start;
      stream.Seek(body_start + static_cast<uint64_t>(body_size));
    } else {
      body_.reset(new uint8_t[static_cast<size_t>(body_size) + 1]);  // + 1: never a zero-size array
      stream.ReadExact(body_.get(), static_cast<size_t>(body_size));
      deciphered_body_ = body_.get();
    }
    DecipherBuffer(deciphered_body_, body_size, key_);
    body_reader = Reader(deciphered_body_, static_cast<size_t>(body_size));
  }
  Reader& in = body_reader;

  auto read_string = [&]() {
    uint64_t length;
    if (v3) {
      uint8_t code = in.U8();
      SAFETY_CHECK(code <= 2);  // longer length codes are not defined
      if (code == 0) {
        length = in.U8();
      } else if (code == 1) {
        length = in.U16();
      } else {
        int32_t n = in.I32();
        SAFETY_CHECK(n >= 0);
        length = static_cast<uint64_t>(n);
      }
    } else {
      int32_t n = in.I32();
      SAFETY_CHECK(n >= 0);
      length = static_cast<uint64_t>(n);
    }
    std::string text = in.Text(length);
    if (enciphered && !text.empty()) text = DecipherText(text, key_);
    return text;
  };

  // Counts are untrusted: no loop preallocates, and every iteration reads at
  // least one byte, so a huge count with nothing behind it fails at once.
  int32_t section_count = in.I32();
  for (int32_t s = 0; s < section_count; ++s) {
    std::string section_name = read_string();
    TLameIniSection* section = FindOrAddSection(section_name);
    int32_t value_count = in.I32();
    for (int32_t v = 0; v < value_count; ++v) {
      TLameIniValue* value;
      int32_t tag;
      if (v3) {
        int32_t hash = in.I32();
        value = AppendValue(*section, hash, std::string());
        tag = in.U8();
      } else {
        std::string value_name = read_string();
        value = FindValueIn(section, value_name);
        if (!value) {
          int32_t hash = NameHash(value_name);  // before the name is moved away
          value = AppendValue(*section, hash, std::move(value_name));
        }
        tag = in.I32();
      }
      SAFETY_CHECK(tag >= 0 && tag <= 7);  // other tags carry no defined payload

      // A repeated v2 name: the later payload replaces the earlier one.
      value->owned_.reset();
      value->BinData = nullptr;
      value->BinSize = 0;
      value->Flags = 0;
      value->StrValue.clear();

      switch (tag) {
        case 0:
          value->Kind = TLameIniValue::kInteger;
          value->IntValue = in.I32();
          break;
        case 1:
          value->Kind = TLameIniValue::kString;
          value->StrValue = read_string();
          break;
        case 2: {
          value->Kind = TLameIniValue::kBinary;
          int32_t size = in.I32();
          SAFETY_CHECK(size >= 0);
          if (size == 0) break;
          if (enciphered) value->Flags |= TLameIniValue::kEncipheredMark;
          if (compressed) value->Flags |= TLameIniValue::kCompressedMark;
          if (v3 && in.U8() == 0) value->Flags &= ~TLameIniValue::kCompressedMark;
          SAFETY_CHECK(static_cast<uint64_t>(size) <= in.Remaining());
          if (in.InMemory()) {
            value->BinData = in.Slice(static_cast<size_t>(size));
          } else {
            value->owned_.reset(new uint8_t[static_cast<size_t>(size)]);
            value->BinData = value->owned_.get();
            in.Bytes(value->owned_.get(), static_cast<size_t>(size));
          }
          value->BinSize = size;
          break;
        }
        case 3:
          value->Kind = TLameIniValue::kRaw3;
          in.Bytes(value->Raw3.data(), 8);
          break;
        case 4:
          value->Kind = TLameIniValue::kRaw4;
          in.Bytes(value->Raw4.data(), 8);
          break;
        case 5:
          value->Kind = TLameIniValue::kBool;
          value->BoolValue = in.U8();
          break;
        case 6:
          value->Kind = TLameIniValue::kInteger;
          value->IntValue = in.U8();
          break;
        case 7:
          value->Kind = TLameIniValue::kInteger;
          value->IntValue = in.U16();
          break;
      }
    }
  }
  if (lasting) stream.Seek(body_start + static_cast<uint64_t>(in.Next() - (lasting + body_start)));
}

TLameIniValue* TLameIni::AppendValue(TLameIniSection& section, int32_t hash, std::string name) {
  auto value = std::make_unique<TLameIniValue>();
  value->Hash = hash;
  value->Name = std::move(name);
  TLameIniValue* raw = value.get();
  section.Values.push_back(std::move(value));
  section.first_by_hash_.AddFirst(hash, raw);  // keeps an earlier value of the same hash
  return raw;
}

TLameIniSection* TLameIni::FindSection(std::string_view name) {
  if (sections_.empty()) return nullptr;
  int32_t hash = NameHash(name);
  if (last_section_ && last_section_->Hash == hash) return last_section_;
  TLameIniSection* found = section_by_hash_.Find(hash);
  if (found) last_section_ = found;
  return found;
}

TLameIniSection* TLameIni::FindOrAddSection(std::string_view name) {
  if (TLameIniSection* found = FindSection(name)) return found;
  auto section = std::make_unique<TLameIniSection>();
  section->Hash = NameHash(name);
  section->Name = std::string(name);
  TLameIniSection* raw = section.get();
  sections_.push_back(std::move(section));
  section_by_hash_.AddFirst(raw->Hash, raw);
  return raw;  // a new section does not become LastSection
}

TLameIniValue* TLameIni::FindValueIn(TLameIniSection* section, std::string_view name) {
  if (!section || section->Values.empty()) return nullptr;
  int32_t hash = NameHash(name);
  // The cached value counts only when both its section and its hash match.
  if (last_value_section_ == section && last_value_ && last_value_->Hash == hash) return last_value_;
  TLameIniValue* found = section->first_by_hash_.Find(hash);
  if (!found) return nullptr;
  last_value_section_ = section;
  last_value_ = found;
  return found;
}

TLameIniValue* TLameIni::FindValue(std::string_view section, std::string_view name) {
  return FindValueIn(FindSection(section), name);
}

TLameIniValue* TLameIni::FindOrAddValue(std::string_view section, std::string_view name) {
  TLameIniSection* s = FindOrAddSection(section);
  if (TLameIniValue* found = FindValueIn(s, name)) return found;
  return AppendValue(*s, NameHash(name), std::string(name));
}

void TLameIni::DecipherBinary(TLameIniValue& value) {
  if (value.Kind != TLameIniValue::kBinary || !(value.Flags & TLameIniValue::kEncipheredMark)) return;
  // An enciphered value lies in the deciphered body (a stream's lasting
  // memory that cannot be changed is read in place only when nothing is
  // enciphered).
  // A value without bytes (no data, or a negative size) has nothing to
  // decipher, and no place in the body to point at.
  if (value.BinData != nullptr && value.BinSize > 0) {
    uint8_t* bytes = value.owned_ ? value.owned_.get() : deciphered_body_ + (value.BinData - deciphered_body_);
    DecipherBuffer(bytes, value.BinSize, key_);
  }
  value.Flags &= ~TLameIniValue::kEncipheredMark;
}

void TLameIni::UnpackBinary(TLameIniValue& value) {
  if (value.Kind != TLameIniValue::kBinary) return;
  DecipherBinary(value);
  if (value.Flags & TLameIniValue::kCompressedMark) {
    int32_t size = value.BinSize;
    std::unique_ptr<uint8_t[]> expanded;
    try {
      expanded = DecompressBuffer(value.BinData, size);
    } catch (const std::bad_alloc&) {
      throw Error(kOutOfMemory);
    }
    // Only now is the mark cleared: a failed allocation leaves the value
    // packed and marked, never handed out as if it were expanded.
    value.owned_ = std::move(expanded);
    value.BinData = value.owned_.get();
    value.BinSize = size;  // -1 (and no bytes) when the packed form is not valid
    value.Flags &= ~TLameIniValue::kCompressedMark;
  }
}

void TLameIni::ReleaseBinary(TLameIniValue& value) {
  if (value.Kind != TLameIniValue::kBinary) return;
  value.owned_.reset();
  value.BinData = nullptr;
  value.BinSize = 0;
  value.Flags = 0;
}

uint8_t TLameIni::ReadBool(std::string_view name) { return GetBool(CurrentSection, name, 0); }
int32_t TLameIni::ReadInteger(std::string_view name) { return GetInteger(CurrentSection, name, 0); }
std::string TLameIni::ReadString(std::string_view name) {
  return GetString(CurrentSection, name, std::string());
}

uint8_t TLameIni::GetBool(std::string_view section, std::string_view name, uint8_t fallback) {
  TLameIniValue* v = FindValue(section, name);
  return v && v->Kind == TLameIniValue::kBool ? v->BoolValue : fallback;
}

int32_t TLameIni::GetInteger(std::string_view section, std::string_view name, int32_t fallback) {
  TLameIniValue* v = FindValue(section, name);
  return v && v->Kind == TLameIniValue::kInteger ? v->IntValue : fallback;
}

std::string TLameIni::GetString(std::string_view section, std::string_view name,
                                std::string fallback) {
  TLameIniValue* v = FindValue(section, name);
  return v && v->Kind == TLameIniValue::kString ? v->StrValue : fallback;
}

bool TLameIni::ValueExists(std::string_view section, std::string_view name) {
  return FindValue(section, name) != nullptr;
}

int32_t TLameIni::GetBinarySize(std::string_view section, std::string_view name,
                                int32_t fallback) {
  TLameIniValue* v = FindValue(section, name);
  if (!v || v->Kind != TLameIniValue::kBinary) return fallback;
  UnpackBinary(*v);
  return v->BinSize;
}

const uint8_t* TLameIni::GetBinaryData(std::string_view section, std::string_view name,
                                       const uint8_t* fallback) {
  TLameIniValue* v = FindValue(section, name);
  if (!v || v->Kind != TLameIniValue::kBinary) return fallback;
  UnpackBinary(*v);
  return v->BinSize > 0 ? v->BinData : nullptr;
}

}  // namespace upkit
