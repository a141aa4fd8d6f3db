// upkit delta / apply-delta: the delta codec alone, to make and check a
// stream by hand and to measure the encoder beside other diff tools.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "codec/compress.h"
#include "codec/crc32.h"
#include "codec/error.h"
#include "container/stream.h"
#include "delta/delta.h"
#include "delta/delta_encode.h"
#include "delta/delta_blocks.h"
#include "pack/host_fs.h"
#include "tools/upkit/cli.h"

namespace upkit::cli {
namespace {

int RunDelta(const Args& args);
int RunApplyDelta(const Args& args);

UPKIT_COMMAND("delta", "make the delta stream that turns OLD into NEW",
              "usage: upkit delta [--no-x86] [--x86-addresses] [--no-pe-tables] [--no-jump-if] [--no-rip]\n"
              "                   [--keep-short] [--no-labels] [--no-targets] [--v1] [--packed] [--blocks]\n"
              "                   [--jobs N] OLD NEW -o OUT\n"
              "  Writes the delta stream (the Data of a delta item) that rebuilds NEW\n"
              "  from OLD. When either file has 64 MiB or more, it is matched by blocks\n"
              "  (bounded memory, every core); the x86 options and --v1 then do nothing.\n"
              "  --no-x86         do not predict x86 CALL/JMP targets, even in x86 code\n"
              "  --x86-addresses  predict absolute addresses too (32-bit PE files)\n"
              "  --no-pe-tables   find references by the byte rule even in PE files\n"
              "                   whose relocation table reads well\n"
              "  --no-jump-if     with PE tables: leave 0F 8x conditional jumps as bytes\n"
              "  --no-rip         with PE tables: leave RIP-relative operands (PE32+) as bytes\n"
              "  --keep-short     keep short copies that match little instead of new bytes\n"
              "  --no-labels      with PE tables: send the new relocation table as bytes\n"
              "                   instead of rebuilding it from the old one's addresses\n"
              "  --no-targets     keep the new bytes' x86 branches as distances, never\n"
              "                   as the targets they name\n"
              "  --v1             write stream version 1 (sections not LZMA-coded)\n"
              "  --packed         write the stream as a package stores it: an AP32\n"
              "                   packed value when that is smaller\n"
              "  --blocks         match by blocks whatever the size\n"
              "  --jobs N         use at most N threads (default: one per core); the\n"
              "                   stream is the same for any N\n",
              &RunDelta);
UPKIT_COMMAND("apply-delta", "rebuild NEW from OLD and a delta stream",
              "usage: upkit apply-delta OLD DELTA -o NEW\n"
              "  Applies DELTA (as `upkit delta` writes it, not packed) to OLD and\n"
              "  writes the result; fails (and leaves no NEW) when OLD or the result\n"
              "  is not the file the stream names. Files of any size: neither is\n"
              "  held in memory.\n",
              &RunApplyDelta);

const Command& Find(const char* name) {
  for (const Command& c : Commands())
    if (std::string(c.name) == name) return c;
  std::abort();
}

// Splits off "-o OUT"; the rest are positional or flags.
bool TakeOutput(const Args& args, Args& rest, std::string& out) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o") {
      if (i + 1 == args.size()) return false;
      out = args[++i];
    } else {
      rest.push_back(args[i]);
    }
  }
  return !out.empty();
}

int RunDelta(const Args& args) {
  const Command& self = Find("delta");
  Args rest, files;
  std::string out;
  if (!TakeOutput(args, rest, out)) return UsageError(self, "expected -o OUT");
  pack::DeltaOptions options;
  pack::BlockDeltaOptions blocks;
  bool packed = false;
  for (size_t i = 0; i < rest.size(); ++i) {
    const std::string& a = rest[i];
    if (a == "--jobs") {
      if (i + 1 == rest.size() || !ParseJobs(rest[++i], &blocks.jobs))
        return UsageError(self, "--jobs needs a number of threads (1 or more)");
      continue;
    }
    if (a == "--no-x86")
      options.x86_branches = false;
    else if (a == "--x86-addresses")
      options.x86_addresses = true;
    else if (a == "--no-jump-if")
      options.jump_if = false;
    else if (a == "--no-rip")
      options.rip_relative = false;
    else if (a == "--keep-short")
      options.fold_short_copies = false;
    else if (a == "--no-labels")
      options.reloc_labels = false;
    else if (a == "--no-targets")
      options.new_bytes_targets = false;
    else if (a == "--no-pe-tables")
      options.pe_tables = false;
    else if (a == "--v1")
      options.lzma = false;
    else if (a == "--packed")
      packed = true;
    else if (a == "--blocks")
      blocks.threshold = 0;
    else if (a.rfind("--jobs=", 0) == 0 && ParseJobs(a.substr(7), &blocks.jobs))
      continue;
    else if (!a.empty() && a[0] == '-')
      return UsageError(self, "unknown option " + a);
    else
      files.push_back(a);
  }
  if (files.size() != 2) return UsageError(self, "expected OLD and NEW");
  std::vector<uint8_t> stream;
  {
    pack::FileByteSource old_source(files[0]), new_source(files[1]);
    if (old_source.Size() >= blocks.threshold || new_source.Size() >= blocks.threshold) {
      pack::ByteProgress progress("delta", old_source.Size() + new_source.Size());
      blocks.progress = &progress;
      stream = pack::EncodeBlockDelta(old_source, new_source, blocks);
    }
  }
  options.jobs = blocks.jobs;
  if (stream.empty()) stream = pack::EncodeDelta(ReadFile(files[0]), ReadFile(files[1]), options);
  std::vector<uint8_t> stored = packed ? pack::CompressPacked(stream.data(), stream.size(), 9, stream.size() - 1) : stream;
  WriteFile(out, stored.empty() ? stream : stored);
  return 0;
}

// The old file through bounded reads at 64-bit offsets.
struct FileSource : DeltaSource {
  FileStream& file;
  explicit FileSource(FileStream& f) : file(f) {}
  void ReadOld(uint64_t offset, uint8_t* out, size_t length) override {
    file.Seek(offset);
    file.ReadExact(out, length);
  }
};

// The new file, written as the decoder hands it over; removed again unless
// Keep() is called, so a failed run leaves no file behind.
class FileSink : public DeltaSink {
 public:
  explicit FileSink(std::string path) : path_(std::move(path)), file_(std::fopen(path_.c_str(), "wb")) {
    if (!file_) throw Error("cannot create " + path_ + ": " + std::strerror(errno));
  }
  ~FileSink() override {
    if (file_) std::fclose(file_);
    if (!kept_) std::remove(path_.c_str());
  }
  void WriteNew(const uint8_t* bytes, size_t length) override {
    if (std::fwrite(bytes, 1, length, file_) != length) throw Error("cannot write " + path_);
  }
  void Keep() {
    bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!closed) throw Error("cannot write " + path_);
    kept_ = true;
  }

 private:
  std::string path_;
  std::FILE* file_;
  bool kept_ = false;
};

// CRC-32 of the whole file, of any size, in pieces of 1 MiB.
uint32_t FileCrc(FileStream& file) {
  std::vector<uint8_t> piece(1 << 20);
  uint32_t crc = 0;
  file.Seek(0);
  for (uint64_t left = file.Size(); left != 0;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, piece.size()));
    file.ReadExact(piece.data(), n);
    crc = Crc32Update(crc, piece.data(), static_cast<uint32_t>(n));
    left -= n;
  }
  return crc;
}

// Neither file is held whole: the old one is read in bounded pieces, the new
// one written as it is rebuilt; only the stream is in memory.
int RunApplyDelta(const Args& args) {
  const Command& self = Find("apply-delta");
  Args files;
  std::string out;
  if (!TakeOutput(args, files, out)) return UsageError(self, "expected -o NEW");
  if (files.size() != 2) return UsageError(self, "expected OLD and DELTA");
  // NEW is written while OLD is read: never the same file.
  std::error_code same_error;
  if (std::filesystem::equivalent(files[0], out, same_error)) return UsageError(self, "NEW must not be OLD");
  FileStream old_file(files[0]);
  std::vector<uint8_t> stream = ReadFile(files[1]);
  DeltaHead head = ReadDeltaHead(stream.data(), stream.size());
  if (head.old_size != old_file.Size() || head.old_crc != FileCrc(old_file))
    return Fail(files[0] + ": not the file the delta applies to");
  FileSource source(old_file);
  FileSink sink(out);
  uint32_t crc = ApplyDelta(stream.data(), stream.size(), source, sink);
  if (crc != head.new_crc) return Fail(files[1] + ": the rebuilt file does not match the CRC the delta names");
  sink.Keep();
  return 0;
}

}  // namespace
}  // namespace upkit::cli
