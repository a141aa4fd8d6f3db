// Big payloads after the PE image: blocks coded by upkit build and expanded
// by the installer's reader, the records `upkit build` fills in afterwards,
// and the executable that carries them.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "codec/crc32.h"
#include "codec/error.h"
#include "container/stream.h"
#include "pack/build.h"
#include "pack/host_fs.h"
#include "pack/manifest.h"
#include "pack/overlay_writer.h"
#include "pack/pe_writer.h"
#include "tests/pack/temp_dir.h"
#include "tests/pack/tiny_pe.h"
#include "package/overlay_payload.h"
#include "package/update_file.h"

namespace upkit::pack {
namespace {

using Bytes = std::vector<uint8_t>;

// Half text (packs well), half random (stays stored): both block markers.
Bytes Mixed(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = (i / 50000) % 2 ? static_cast<uint8_t>(rng()) : "line of text\n"[i % 13];
  return v;
}

class MemorySource : public OverlaySource {
 public:
  explicit MemorySource(const Bytes& bytes) : bytes_(bytes) {}
  void Read(uint64_t offset, uint8_t* out, size_t length) override {
    if (offset > bytes_.size() || length > bytes_.size() - offset) throw Error(kStreamReadError);
    std::memcpy(out, bytes_.data() + offset, length);
  }

 private:
  const Bytes& bytes_;
};

class MemorySink : public OverlaySink {
 public:
  void Write(const uint8_t* bytes, size_t length) override {
    largest = std::max(largest, length);
    out.insert(out.end(), bytes, bytes + length);
  }
  Bytes out;
  size_t largest = 0;
};

// The blocks of `content` as `upkit build` writes them, behind `lead` bytes.
Bytes Coded(const test::TempDir& dir, const Bytes& content, OverlayCoding coding, OverlayWritten* written,
            size_t lead = 0) {
  dir.Write("payload.bin", content);
  Bytes file(lead, 0xEE);
  *written = WriteOverlayPayload(dir.Path("payload.bin"), content.size(), coding,
                                 [&](const uint8_t* p, size_t n) { file.insert(file.end(), p, p + n); });
  return file;
}

OverlayPayload Record(const OverlayWritten& w, const OverlayCoding& coding, uint64_t at) {
  OverlayPayload p;
  p.at = at;
  p.length = w.length;
  p.size = w.size;
  p.crc = w.crc;
  p.block = coding.block;
  p.enciphered = coding.enciphered;
  p.key = coding.key;
  return p;
}

TEST(Overlay, BlocksExpandOneAtATimeToTheFileWhateverTheThreads) {
  test::TempDir dir;
  OverlayCoding coding;
  coding.block = kOverlayMinBlock;
  coding.level = 1;
  coding.key.fill(0x5A);
  const Bytes content = Mixed(3 * kOverlayMinBlock + 1234, 7);
  OverlayWritten one, three;
  Bytes file = Coded(dir, content, coding, &one, 100);
  coding.jobs = 3;
  EXPECT_EQ(Coded(dir, content, coding, &three, 100), file) << "the output depends on the thread count";
  EXPECT_LT(one.length, content.size()) << "the text blocks are packed";
  EXPECT_EQ(one.crc, Crc32Block(content.data(), static_cast<uint32_t>(content.size())));

  MemorySource source(file);
  MemorySink sink;
  ExpandOverlay(Record(one, coding, 100), source, sink);
  EXPECT_EQ(sink.out, content);
  EXPECT_EQ(sink.largest, kOverlayMinBlock) << "handed on block by block";

  // Plain and stored: the same reader.
  coding.enciphered = coding.compressed = false;
  Bytes plain = Coded(dir, content, coding, &one);
  EXPECT_EQ(one.length, content.size() + 4 * kOverlayBlockHead);
  MemorySource plain_source(plain);
  MemorySink plain_sink;
  ExpandOverlay(Record(one, coding, 0), plain_source, plain_sink);
  EXPECT_EQ(plain_sink.out, content);
}

TEST(Overlay, DamageIsRefusedBeforeTheFileIsPlaced) {
  test::TempDir dir;
  OverlayCoding coding;
  coding.block = kOverlayMinBlock;
  coding.level = 1;
  const Bytes content = Mixed(2 * kOverlayMinBlock + 10, 8);
  OverlayWritten w;
  const Bytes file = Coded(dir, content, coding, &w);
  auto expand = [&](const Bytes& bytes, OverlayPayload p) {
    MemorySource source(bytes);
    MemorySink sink;
    ExpandOverlay(p, source, sink);
  };
  const OverlayPayload good = Record(w, coding, 0);
  EXPECT_NO_THROW(expand(file, good));
  // Every byte of a packed and of a stored block, its heads included, is checked.
  for (size_t at : {size_t{2}, size_t{4}, size_t{40}, file.size() / 2, file.size() - 1}) {
    Bytes bad = file;
    bad[at] ^= 0x01;
    EXPECT_THROW(expand(bad, good), Error) << "byte " << at;
  }
  OverlayPayload shorter = good, longer = good, other = good, larger = good;
  shorter.length -= 1;
  longer.length += 1;
  other.crc ^= 1;
  larger.size += 1;
  Bytes padded = file;
  padded.push_back(0);
  EXPECT_THROW(expand(file, shorter), Error);
  EXPECT_THROW(expand(padded, longer), Error) << "bytes left over";
  EXPECT_THROW(expand(file, other), Error) << "another content";
  EXPECT_THROW(expand(file, larger), Error) << "a block missing";

  // Records the loader refuses before anything is read.
  std::array<uint8_t, 8> at{}, length{}, size{}, crc_block{};
  auto put = [](std::array<uint8_t, 8>& a, uint64_t v) {
    for (int i = 0; i < 8; ++i) a[i] = static_cast<uint8_t>(v >> (8 * i));
  };
  OverlayPayload p;
  put(length, 5);
  put(size, 10);
  put(crc_block, uint64_t{kOverlayMinBlock} << 32);
  EXPECT_TRUE(ReadOverlayRecord(at, length, size, crc_block, &p));
  put(size, kOverlayMinBlock + 1);  // two blocks cannot fit in 5 bytes
  EXPECT_FALSE(ReadOverlayRecord(at, length, size, crc_block, &p));
  put(size, 10);
  put(crc_block, uint64_t{kOverlayMinBlock + 1} << 32);  // not a power of two
  EXPECT_FALSE(ReadOverlayRecord(at, length, size, crc_block, &p));
  put(crc_block, uint64_t{kOverlayMaxBlock * 2} << 32);
  EXPECT_FALSE(ReadOverlayRecord(at, length, size, crc_block, &p));
  put(crc_block, uint64_t{kOverlayMinBlock} << 32);
  put(at, UINT64_MAX - 3);  // passes 2^64
  EXPECT_FALSE(ReadOverlayRecord(at, length, size, crc_block, &p));
}

// The executable upkit build writes: small payloads stay in the package,
// big ones follow the image, and the package finds them there.
TEST(Overlay, ExecutableCarriesBigPayloadsAfterItsImage) {
  test::TempDir dir;
  const Bytes big = Mixed(300000, 9), small(1000, 'x');
  dir.Write("big.bin", big);
  dir.Write("small.txt", small);
  const std::string toml = R"([project]
name = "Big"
[package]
key = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
[[item]]
origin_name = "small.txt"
action = "replace"
file = "small.txt"
[[item]]
origin_name = "big.bin"
action = "replace"
file = "big.bin"
)";
  Manifest m = ParseManifest(toml, "upkit.toml", dir.Path());
  const Bytes stub = test::TinyPe();
  BuildOptions options;
  options.overlay_from = 100000;
  options.jobs = 2;
  BuildResult result = BuildExecutable(m, stub, dir.Path("Setup.exe"), options);
  EXPECT_EQ(result.overlay_items, 1u);
  const Bytes exe = ReadHostFile(dir.Path("Setup.exe"));
  ASSERT_EQ(exe.size(), result.file_size);
  EXPECT_EQ(StoredPeChecksum(exe), PeChecksum(exe)) << "the checksum covers the overlay";

  TUpdateFile update;
  Bytes package = ExtractPackage(exe);
  BufferStream stream(package);
  update.LoadFromStream(stream);
  ASSERT_EQ(update.Items.size(), 2u);
  EXPECT_FALSE(update.Items[0].Overlay.Present());
  const OverlayPayload& record = update.Items[1].Overlay;
  ASSERT_TRUE(record.Present());
  EXPECT_EQ(update.Items[1].Action, 3);
  EXPECT_EQ(record.at + record.length, exe.size());
  EXPECT_EQ(record.size, big.size());
  MemorySource source(exe);
  MemorySink sink;
  ExpandOverlay(record, source, sink);
  EXPECT_EQ(sink.out, big);

  // A signature appended after the overlay changes nothing the reader uses.
  Bytes signed_exe = exe;
  signed_exe.resize(exe.size() + 4096, 0x30);
  MemorySource signed_source(signed_exe);
  MemorySink signed_sink;
  ExpandOverlay(record, signed_source, signed_sink);
  EXPECT_EQ(signed_sink.out, big);

  // Under the threshold the executable is the one built before overlays existed.
  options.overlay_from = big.size() + 1;
  BuildExecutable(m, stub, dir.Path("Small.exe"), options);
  EXPECT_EQ(ReadHostFile(dir.Path("Small.exe")), EmbedPackage(stub, BuildContainer(m)));
}

#ifndef _WIN32
std::string Upkit(const std::string& args, int* status) {
  FILE* p = popen((std::string(UPKIT_EXE) + " " + args + " 2>&1").c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int raw = p ? pclose(p) : -1;
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

// The command line: --jobs and the test threshold, and inspect/verify on an
// executable whose payload follows its image (read from the image alone).
TEST(Overlay, CommandLineBuildsInspectsAndVerifies) {
  test::TempDir dir;
  dir.Write("big.bin", Mixed(200000, 3));
  dir.Write("stub.exe", test::TinyPe());
  dir.WriteText("upkit.toml", "[project]\nname = \"Big\"\n[[item]]\norigin_name = \"big.bin\"\naction = \"replace\"\n"
                              "file = \"big.bin\"\n");
  const std::string q = "'" + dir.Path() + "/";
  int status = 0;
  std::string out = Upkit("build " + q + "upkit.toml' -o " + q + "S.exe' --stub " + q + "stub.exe' --jobs 0", &status);
  EXPECT_NE(status, 0) << out;
  out = Upkit("build " + q + "upkit.toml' -o " + q + "S.exe' --stub " + q + "stub.exe' --jobs 2 --overlay-from 100000",
              &status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(out.find("1 big payloads"), std::string::npos) << out;
  out = Upkit("inspect --description " + q + "S.exe'", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("\"Overlay\":{\"At\":"), std::string::npos) << out;
  EXPECT_NE(out.find("\"Size\":200000"), std::string::npos) << out;
  std::filesystem::create_directories(HostPath(dir.Path("product")));
  out = Upkit("verify " + q + "S.exe' " + q + "product'", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("big.bin: replace"), std::string::npos) << out;
}
#endif

}  // namespace
}  // namespace upkit::pack
