// AES-256 decipher and encipher: the published FIPS-197 vector, random blocks
// against OpenSSL (natively), the tail rule, the text variant, round trips
// on every loop, and the range of NewCipherKey.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/aes_paths.h"
#include "codec/cipher.h"
#include "codec/encipher.h"

#ifdef UPKIT_TEST_WITH_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

using upkit::CipherKey;
using upkit::DecipherBuffer;
using upkit::DecipherText;
using upkit::pack::EncipherBuffer;
using upkit::pack::EncipherText;
namespace aes = upkit::aes;

const aes::Path kPaths[] = {aes::Path::kTable, aes::Path::kAesNi};

const char* PathName(aes::Path p) { return p == aes::Path::kAesNi ? "aesni" : "table"; }

std::vector<uint8_t> FromHex(const char* hex) {
  std::vector<uint8_t> out;
  for (; hex[0] && hex[1]; hex += 2) out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex, 2), nullptr, 16)));
  return out;
}

CipherKey SequentialKey() {
  CipherKey key;
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
  return key;
}

CipherKey RandomKey(std::mt19937& rng) {
  CipherKey key;
  for (auto& b : key) b = static_cast<uint8_t>(rng());
  return key;
}

std::vector<uint8_t> RandomBytes(size_t n, std::mt19937& rng) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// The raw AES-256 block decryption, taken from a 16-byte DecipherBuffer call
// (which the FIPS vector pins to the standard).
std::vector<uint8_t> AesDecryptBlock(const uint8_t* block, const CipherKey& key) {
  std::vector<uint8_t> out(block, block + 16);
  DecipherBuffer(out.data(), 16, key);
  return out;
}

// FIPS-197 appendix C.3.
TEST(Cipher, Fips197Aes256Vector) {
  const CipherKey key = SequentialKey();
  const auto plain = FromHex("00112233445566778899aabbccddeeff");
  const auto cipher = FromHex("8ea2b7ca516745bfeafc49904b496089");
  for (auto path : kPaths) {
    auto buf = cipher;
    aes::DecipherWithPath(buf.data(), 16, key, false, path);
    EXPECT_EQ(buf, plain) << PathName(path);
  }
  auto buf = plain;
  EncipherBuffer(buf.data(), 16, key);
  EXPECT_EQ(buf, cipher);
}

#ifdef UPKIT_TEST_WITH_OPENSSL
std::vector<uint8_t> OpenSslEcb(const std::vector<uint8_t>& in, const CipherKey& key, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<uint8_t> out(in.size() + 16);
  int len = 0, fin = 0;
  EXPECT_EQ(EVP_CipherInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(in.size())), 1);
  EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + len, &fin), 1);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(len + fin));
  return out;
}

TEST(Cipher, RandomBlocksMatchOpenSsl) {
  std::mt19937 rng(2026);
  for (int trial = 0; trial < 40; ++trial) {
    CipherKey key = RandomKey(rng);
    auto data = RandomBytes(16 * (1 + rng() % 70), rng);
    auto expected = OpenSslEcb(data, key, false);
    for (auto path : kPaths) {
      auto buf = data;
      aes::DecipherWithPath(buf.data(), static_cast<int32_t>(buf.size()), key, false, path);
      ASSERT_EQ(buf, expected) << PathName(path) << " trial " << trial;
    }
    auto buf = data;
    EncipherBuffer(buf.data(), static_cast<int32_t>(buf.size()), key);
    ASSERT_EQ(buf, OpenSslEcb(data, key, true)) << "trial " << trial;
  }
}
#endif

// 37 bytes = two blocks and a 5-byte tail; bytes after the count stay.
TEST(Cipher, TailRuleAfterBlocks) {
  std::mt19937 rng(5);
  for (auto path : kPaths) {
    CipherKey key = RandomKey(rng);
    auto data = RandomBytes(48, rng);
    auto buf = data;
    aes::DecipherWithPath(buf.data(), 37, key, false, path);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 16), AesDecryptBlock(&data[0], key));
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 16, buf.begin() + 32), AesDecryptBlock(&data[16], key));
    EXPECT_EQ(buf[32], data[32] ^ key[0]) << PathName(path);
    for (int i = 33; i < 37; ++i) EXPECT_EQ(buf[i], data[i] ^ data[32]) << "byte " << i;
    for (int i = 37; i < 48; ++i) EXPECT_EQ(buf[i], data[i]) << "canary " << i;
  }
}

TEST(Cipher, ShortBuffersAreAllTail) {
  std::mt19937 rng(6);
  CipherKey key = RandomKey(rng);
  auto data = RandomBytes(16, rng);
  for (int count = 1; count <= 15; ++count) {
    auto buf = data;
    DecipherBuffer(buf.data(), count, key);
    EXPECT_EQ(buf[0], data[0] ^ key[0]) << "count " << count;
    for (int i = 1; i < count; ++i) EXPECT_EQ(buf[i], data[i] ^ data[0]) << "count " << count;
    for (int i = count; i < 16; ++i) EXPECT_EQ(buf[i], data[i]) << "count " << count;
  }
}

TEST(Cipher, NonPositiveCountChangesNothing) {
  std::mt19937 rng(7);
  CipherKey key = RandomKey(rng);
  auto data = RandomBytes(32, rng);
  for (int32_t count : {0, -1, -16, INT32_MIN}) {
    auto buf = data;
    DecipherBuffer(buf.data(), count, key);
    EXPECT_EQ(buf, data) << count;
    EncipherBuffer(buf.data(), count, key);
    EXPECT_EQ(buf, data) << count;
  }
  EXPECT_EQ(DecipherText("", key), "");
  EXPECT_EQ(EncipherText("", key), "");
}

TEST(Cipher, TextRule) {
  std::mt19937 rng(8);
  CipherKey key = RandomKey(rng);
  // 1 character: unchanged (k0 is the cleared w[0]).
  EXPECT_EQ(DecipherText("Q", key), "Q");
  // Up to 15 characters: first unchanged, the rest XORed with the first.
  const std::string short_text = "\x9A" "bcdefghijklmn";
  std::string got = DecipherText(short_text, key);
  ASSERT_EQ(got.size(), short_text.size());
  EXPECT_EQ(got[0], short_text[0]);
  for (size_t i = 1; i < got.size(); ++i) EXPECT_EQ(got[i], static_cast<char>(short_text[i] ^ short_text[0]));

  // 16 and 20 characters, on every loop.
  auto block = RandomBytes(20, rng);
  auto plain_block = AesDecryptBlock(block.data(), key);
  for (auto path : kPaths) {
    auto buf = block;
    aes::DecipherWithPath(buf.data(), 16, key, true, path);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(buf[i], plain_block[i] ^ key[i]) << PathName(path) << " byte " << i;
    for (int i = 4; i < 16; ++i) EXPECT_EQ(buf[i], plain_block[i]) << PathName(path) << " byte " << i;

    buf = block;
    aes::DecipherWithPath(buf.data(), 20, key, true, path);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(buf[i], plain_block[i] ^ key[i]);
    for (int i = 4; i < 16; ++i) EXPECT_EQ(buf[i], plain_block[i]);
    EXPECT_EQ(buf[16], block[16]);
    for (int i = 17; i < 20; ++i) EXPECT_EQ(buf[i], block[i] ^ block[16]);
  }
  // DecipherText is the same operation on a copy; the argument is untouched.
  const std::string text(block.begin(), block.end());
  auto expected = block;
  aes::DecipherWithPath(expected.data(), 20, key, true, aes::Path::kTable);
  EXPECT_EQ(DecipherText(text, key), std::string(expected.begin(), expected.end()));
  EXPECT_EQ(text, std::string(block.begin(), block.end()));
}

TEST(Cipher, RoundTripsEveryLengthBothVariants) {
  std::mt19937 rng(9);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 100; ++n) lengths.push_back(n);
  for (size_t n : {4095, 4096, 65537, 300000}) lengths.push_back(n);
  for (size_t n : lengths) {
    CipherKey key = RandomKey(rng);
    auto plain = RandomBytes(n, rng);
    for (auto path : kPaths) {
      auto buf = plain;
      EncipherBuffer(buf.data(), static_cast<int32_t>(n), key);
      if (n >= 16) {
        ASSERT_NE(buf, plain) << n;
      }
      aes::DecipherWithPath(buf.data(), static_cast<int32_t>(n), key, false, path);
      ASSERT_EQ(buf, plain) << PathName(path) << " buffer length " << n;

      std::string text(plain.begin(), plain.end());
      std::string enc = EncipherText(text, key);
      ASSERT_EQ(enc.size(), n);
      auto tbuf = std::vector<uint8_t>(enc.begin(), enc.end());
      aes::DecipherWithPath(tbuf.data(), static_cast<int32_t>(n), key, true, path);
      ASSERT_EQ(tbuf, plain) << PathName(path) << " text length " << n;
    }
    ASSERT_EQ(DecipherText(EncipherText(std::string(plain.begin(), plain.end()), key), key),
              std::string(plain.begin(), plain.end()));
  }
}

// Packages hand the decipher arbitrary addresses (a value inside a body).
TEST(Cipher, UnalignedDataGivesTheSameBytes) {
  std::mt19937 rng(11);
  CipherKey key = RandomKey(rng);
  auto data = RandomBytes(16 * 9 + 5, rng);
  auto expected = data;
  aes::DecipherWithPath(expected.data(), static_cast<int32_t>(expected.size()), key, false, aes::Path::kTable);
  std::vector<uint8_t> storage(data.size() + 16);
  for (size_t offset = 1; offset < 16; offset += 2) {
    for (auto path : kPaths) {
      std::copy(data.begin(), data.end(), storage.begin() + offset);
      aes::DecipherWithPath(storage.data() + offset, static_cast<int32_t>(data.size()), key, false, path);
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), storage.begin() + offset))
          << PathName(path) << " offset " << offset;
    }
  }
}

// The two variants differ exactly in bytes 0..3 of each block and the first
// tail byte when given the same enciphered bytes.
TEST(Cipher, BufferAndTextDifferOnlyWhereTheScheduleDiffers) {
  std::mt19937 rng(10);
  CipherKey key = RandomKey(rng);
  key[0] |= 1;  // so the tail's k0 differs between the variants
  auto data = RandomBytes(53, rng);
  auto as_buffer = data, as_text = data;
  DecipherBuffer(as_buffer.data(), 53, key);
  aes::DecipherWithPath(as_text.data(), 53, key, true, aes::Path::kAuto);
  for (size_t i = 0; i < 53; ++i) {
    if (i < 48 && i % 16 < 4)
      EXPECT_EQ(as_text[i], as_buffer[i] ^ key[i % 16]) << i;
    else if (i == 48)
      EXPECT_EQ(as_text[i], as_buffer[i] ^ key[0]) << i;
    else
      EXPECT_EQ(as_text[i], as_buffer[i]) << i;
  }
}

TEST(Cipher, NewCipherKeyBytesBelow255) {
  for (int round = 0; round < 50; ++round) {
    CipherKey key;
    key.fill(0xFF);
    upkit::NewCipherKey(key);
    for (int i = 0; i < 32; ++i) ASSERT_LE(key[i], 254) << "round " << round << " byte " << i;
  }
}

TEST(Cipher, AesNiAvailability) {
  std::printf("AES default loop: %s (AES-NI %savailable)\n", PathName(aes::AutoPath()),
              aes::HasAesNi() ? "" : "not ");
  if (aes::AutoPath() == aes::Path::kAesNi) {
    EXPECT_TRUE(aes::HasAesNi());
  }
}

}  // namespace

namespace {

TEST(Cipher, ParseCipherKeyTakesExactly64HexDigits) {
  CipherKey key;
  ASSERT_TRUE(upkit::pack::ParseCipherKey(
      "000102030405060708090a0b0c0d0e0f101112131415161718191A1B1C1D1E1F", key));
  EXPECT_EQ(key, SequentialKey());
  const char* bad[] = {
      "",
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1",    // 63
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f0",  // 65
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1g",
      "0x0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
      " 00102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
  };
  for (const char* text : bad) EXPECT_FALSE(upkit::pack::ParseCipherKey(text, key)) << '"' << text << '"';
}

}  // namespace
