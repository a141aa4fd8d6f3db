#include "container/container_writer.h"

#include <utility>

#include "codec/compress.h"
#include "codec/crc32.h"
#include "codec/encipher.h"
#include "codec/error.h"

namespace upkit::pack {

namespace {

class ByteWriter {
 public:
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v) {
    out_.push_back(static_cast<uint8_t>(v));
    out_.push_back(static_cast<uint8_t>(v >> 8));
  }
  void I32(int32_t value) {
    uint32_t v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void Bytes(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), p, p + size);
  }
  std::vector<uint8_t>& Out() { return out_; }

 private:
  std::vector<uint8_t> out_;
};

int32_t CheckedSize(size_t size) {
  if (size > 0x7FFFFFFF) throw Error("value too large for a container: " + std::to_string(size) + " bytes");
  return static_cast<int32_t>(size);
}

class Writer {
 public:
  explicit Writer(const ContainerOptions& options) : o_(options) {
    if (o_.version != 2 && o_.version != 3)
      throw Error("container version must be 2 or 3, not " + std::to_string(o_.version));
  }

  // Writes the header, then the body right behind it in the same buffer,
  // enciphered there in place: the container is built in one buffer, never
  // copied. With `release`, each binary value's bytes are freed as soon as
  // they are written, so raw payloads and the container are held together
  // only once over.
  std::vector<uint8_t> Write(std::vector<ContainerSection>& sections, bool release) {
    release_ = release;
    ByteWriter out;
    uint64_t room = kHeaderSize;
    for (const ContainerSection& section : sections)
      for (const ContainerValue& value : section.values) room += value.bytes.size() + value.text.size() + 64;
    if (room < SIZE_MAX / 2) out.Out().reserve(static_cast<size_t>(room + room / 64));
    out.I32(3);
    out.Bytes("cFg", 3);
    out.I32(o_.version);
    out.Bytes(o_.key.data(), o_.key.size());
    out.U8(o_.enciphered ? 1 : 0);
    out.U8(o_.compressed ? 1 : 0);
    out.I32(0);  // the body size, known at the end

    out.I32(CheckedSize(sections.size()));
    for (ContainerSection& section : sections) {
      String(out, section.name);
      out.I32(CheckedSize(section.values.size()));
      for (ContainerValue& value : section.values) Value(out, value);
    }
    std::vector<uint8_t>& bytes = out.Out();
    int32_t body_size = CheckedSize(bytes.size() - kHeaderSize);
    for (int i = 0; i < 4; ++i) bytes[kHeaderSize - 4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(body_size) >> (8 * i));
    if (o_.enciphered) EncipherBuffer(bytes.data() + kHeaderSize, body_size, o_.key);
    return std::move(bytes);
  }

 private:
  bool V3() const { return o_.version == 3; }

  void String(ByteWriter& w, const std::string& plain) {
    int32_t length = CheckedSize(plain.size());
    if (!V3()) {
      w.I32(length);
    } else if (length <= 0xFF) {
      w.U8(0);
      w.U8(static_cast<uint8_t>(length));
    } else if (length <= 0xFFFF) {
      w.U8(1);
      w.U16(static_cast<uint16_t>(length));
    } else {
      w.U8(2);
      w.I32(length);
    }
    if (o_.enciphered && !plain.empty()) {
      std::string text = EncipherText(plain, o_.key);
      w.Bytes(text.data(), text.size());
    } else {
      w.Bytes(plain.data(), plain.size());
    }
  }

  void Value(ByteWriter& w, ContainerValue& value) {
    int32_t tag = value.kind;
    if (value.kind == ContainerValue::kInteger && V3()) {
      if (value.integer >= 0 && value.integer <= 0xFF) tag = 6;
      else if (value.integer >= 0 && value.integer <= 0xFFFF) tag = 7;
    }
    if (V3()) {
      w.I32(static_cast<int32_t>(Crc32Text(value.name)));
      w.U8(static_cast<uint8_t>(tag));
    } else {
      String(w, value.name);
      w.I32(tag);
    }
    switch (tag) {
      case 0: w.I32(value.integer); break;
      case 1: String(w, value.text); break;
      case 2: Binary(w, value.bytes); break;
      case 3:
      case 4: w.Bytes(value.raw.data(), value.raw.size()); break;
      case 5: w.U8(value.boolean); break;
      case 6: w.U8(static_cast<uint8_t>(value.integer)); break;
      case 7: w.U16(static_cast<uint16_t>(value.integer)); break;
    }
  }

  // The value's bytes, packed or stored, enciphered where they land in `w`.
  void Binary(ByteWriter& w, std::vector<uint8_t>& plain) {
    if (plain.empty()) {
      w.I32(0);  // no marker and no bytes
      return;
    }
    std::vector<uint8_t> packed;
    if (o_.compressed) {
      // Version 2 has no marker: with compression on, every binary is packed.
      // Version 3 stores a value that does not shrink; the compressor stops
      // as soon as it knows, so it never holds more than the value's size.
      packed = CompressPacked(plain.data(), plain.size(), o_.level, V3() ? plain.size() - 1 : SIZE_MAX);
    }
    const bool is_packed = !packed.empty();
    if (is_packed && release_) std::vector<uint8_t>().swap(plain);  // before the packed copy lands
    const std::vector<uint8_t>& stored = is_packed ? packed : plain;
    int32_t size = CheckedSize(stored.size());
    w.I32(size);
    if (V3()) w.U8(is_packed ? 1 : 0);
    size_t at = w.Out().size();
    w.Bytes(stored.data(), stored.size());
    if (o_.enciphered) EncipherBuffer(w.Out().data() + at, size, o_.key);
    if (release_) std::vector<uint8_t>().swap(plain);
  }

  static constexpr size_t kHeaderSize = 49;
  const ContainerOptions& o_;
  bool release_ = false;
};

ContainerValue Named(std::string name, ContainerValue::Kind kind) {
  ContainerValue v;
  v.name = std::move(name);
  v.kind = kind;
  return v;
}

}  // namespace

ContainerSection& ContainerSection::Integer(std::string value_name, int32_t value) {
  values.push_back(Named(std::move(value_name), ContainerValue::kInteger));
  values.back().integer = value;
  return *this;
}

ContainerSection& ContainerSection::String(std::string value_name, std::string value) {
  values.push_back(Named(std::move(value_name), ContainerValue::kString));
  values.back().text = std::move(value);
  return *this;
}

ContainerSection& ContainerSection::Binary(std::string value_name, std::vector<uint8_t> value) {
  values.push_back(Named(std::move(value_name), ContainerValue::kBinary));
  values.back().bytes = std::move(value);
  return *this;
}

ContainerSection& ContainerSection::Bool(std::string value_name, uint8_t value) {
  values.push_back(Named(std::move(value_name), ContainerValue::kBool));
  values.back().boolean = value;
  return *this;
}

ContainerSection& ContainerSection::Raw(std::string value_name, ContainerValue::Kind kind,
                                        const std::array<uint8_t, 8>& value) {
  if (kind != ContainerValue::kRaw3 && kind != ContainerValue::kRaw4)
    throw Error("raw container values are of kind 3 or 4");
  values.push_back(Named(std::move(value_name), kind));
  values.back().raw = value;
  return *this;
}

std::vector<uint8_t> WriteContainer(const std::vector<ContainerSection>& sections,
                                    const ContainerOptions& options) {
  std::vector<ContainerSection> copy = sections;
  return Writer(options).Write(copy, false);
}

std::vector<uint8_t> WriteContainer(std::vector<ContainerSection>&& sections, const ContainerOptions& options) {
  return Writer(options).Write(sections, true);
}

}  // namespace upkit::pack
