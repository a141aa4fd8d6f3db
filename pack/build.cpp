#include "pack/build.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "codec/crc32.h"
#include "codec/error.h"
#include "delta/delta_encode.h"
#include "pack/ansi_text.h"
#include "delta/delta.h"
#include "delta/delta_blocks.h"
#include "pack/diff.h"
#include "pack/host_fs.h"
#include "pack/multi_build.h"
#include "pack/overlay_writer.h"
#include "pack/pe_reader.h"

namespace upkit::pack {
namespace {

int32_t Crc(const std::vector<uint8_t>& bytes) {
  return static_cast<int32_t>(Crc32Block(bytes.data(), static_cast<uint32_t>(bytes.size())));
}

std::vector<uint8_t> ReadPayload(const std::string& path) {
  std::vector<uint8_t> bytes = ReadHostFile(path);
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) throw Error(path + ": file too large (2 GiB or more)");
  return bytes;
}

// The old file of a patch or delta item. A payload computed from a different
// old file would corrupt every target that passes the checks: refuse it.
// Fills the item's expected size and CRC from it where the manifest asks for
// a check without giving the value.
std::vector<uint8_t> ReadOldFile(const ManifestItem& it, PackageItem& p) {
  std::vector<uint8_t> old_bytes = ReadPayload(it.old_file);
  if (it.size && ExpectedSizeOf(*it.size) != old_bytes.size())
    throw Error(it.old_file + ": size " + std::to_string(old_bytes.size()) + " differs from the item's size " +
                std::to_string(*it.size) + "; run `upkit diff` again");
  if (it.crc && *it.crc != Crc(old_bytes))
    throw Error(it.old_file + ": CRC differs from the item's crc; run `upkit diff` again");
  if (it.check_size && !it.size) ExpectedSize(p, old_bytes.size());
  if (it.check_crc && !it.crc) p.CRC = Crc(old_bytes);
  return old_bytes;
}

// The size and CRC-32 of the file the item produces (extension values).
void SetNewCheck(PackageItem& p, const std::vector<uint8_t>& new_bytes) {
  p.HasNewCheck = true;
  p.NewSize = static_cast<int32_t>(new_bytes.size());
  p.NewCRC = Crc(new_bytes);
}

// A delta item whose old or new file is too big to read whole
// (delta/delta_blocks.h).
bool IsBigDelta(const ManifestItem& it) {
  std::error_code ec;
  const uint64_t a = std::filesystem::file_size(HostPath(it.old_file), ec);
  if (ec) return false;  // reading it reports the cause
  const uint64_t b = std::filesystem::file_size(HostPath(it.new_file), ec);
  return !ec && (a >= kBlockMatchThreshold || b >= kBlockMatchThreshold);
}

// Its stream: the one made earlier when it rebuilds the pair, checked and
// otherwise made again through bounded reads; the old file's size and CRC
// (as ReadOldFile checks and fills them) come from the stream's head.
void BigDelta(const ManifestItem& it, PackageItem& p) {
  FileByteSource old_source(it.old_file), new_source(it.new_file);
  std::error_code missing;
  if (!it.stream_file.empty() && std::filesystem::is_regular_file(HostPath(it.stream_file), missing)) {
    p.Data = ReadPayload(it.stream_file);
    if (!DeltaRebuildsSources(p.Data, old_source, new_source)) p.Data.clear();
  }
  if (p.Data.empty()) p.Data = EncodeBlockDelta(old_source, new_source);
  const DeltaHead head = ReadDeltaHead(p.Data.data(), p.Data.size());
  if (it.size && ExpectedSizeOf(*it.size) != head.old_size)
    throw Error(it.old_file + ": size " + std::to_string(head.old_size) + " differs from the item's size " +
                std::to_string(*it.size) + "; run `upkit diff` again");
  if (it.crc && static_cast<uint32_t>(*it.crc) != head.old_crc)
    throw Error(it.old_file + ": CRC differs from the item's crc; run `upkit diff` again");
  if (it.check_size && !it.size) ExpectedSize(p, head.old_size);
  if (it.check_crc && !it.crc) p.CRC = static_cast<int32_t>(head.old_crc);
}

PackageItem ItemFromManifest(const ManifestItem& it, bool read_payload = true) {
  PackageItem p;
  p.OriginName = it.origin_name;
  p.UpdateName = it.update_name;
  p.Path = it.path;
  p.Action = it.action;
  p.CheckSize = it.check_size ? 1 : 0;
  p.CheckCRC = it.check_crc ? 1 : 0;
  if (it.size) ExpectedSize(p, ExpectedSizeOf(*it.size));
  p.CRC = it.crc.value_or(0);
  p.BaseName = it.base_name;
  p.BasePath = it.base_path;
  p.BaseMoves = it.base_moves ? 1 : 0;
  switch (it.action) {
    case kActionReplace:
      if (!read_payload) break;  // it goes into the overlay
      p.Data = ReadPayload(it.file);
      SetNewCheck(p, p.Data);
      break;
    case kActionPatch:
      if (!it.old_file.empty()) {
        std::vector<uint8_t> old_bytes = ReadOldFile(it, p);
        std::vector<uint8_t> new_bytes = ReadPayload(it.new_file);
        p.Data = PatchListFor(old_bytes, new_bytes);
        SetNewCheck(p, new_bytes);  // lets a re-run see that the file is done
      } else {
        std::vector<PatchRun> runs;
        for (const auto& r : it.records) runs.push_back({r.offset, r.bytes});
        p.Data = PatchListRuns(*it.new_size, runs);
      }
      break;
    case kActionDelta: {
      if (IsBigDelta(it)) {
        BigDelta(it, p);
        break;
      }
      std::vector<uint8_t> old_bytes = ReadOldFile(it, p);
      std::vector<uint8_t> new_bytes = ReadPayload(it.new_file);
      // A stream made earlier is taken only when it rebuilds this very pair;
      // a missing or stale one is made again.
      std::error_code missing;
      if (!it.stream_file.empty() && std::filesystem::is_regular_file(HostPath(it.stream_file), missing)) {
        p.Data = ReadPayload(it.stream_file);
        if (!DeltaRebuilds(p.Data, old_bytes, new_bytes)) p.Data.clear();
      }
      if (p.Data.empty()) p.Data = EncodeDelta(old_bytes, new_bytes);
      break;
    }
    case kActionResources: {
      std::vector<ResourceEntry> entries;
      for (const auto& r : it.resources) {
        ResourceEntry e;
        e.type_is_name = r.type_is_name;
        e.type_id = r.type_id;
        e.type_name = r.type_name;
        e.name_is_text = r.name_is_text;
        e.name_id = r.name_id;
        e.name_text = r.name_text;
        e.language = r.language;
        if (!r.remove) {
          e.data = ReadPayload(r.file);
          // An empty content would remove the resource instead of writing it.
          if (e.data.empty()) throw Error(r.file + ": empty resource content (use remove = true to delete)");
        }
        entries.push_back(std::move(e));
      }
      p.Data = ResourceList(entries);
      break;
    }
    default:
      break;
  }
  // An installer that knows only the 32-bit Size would take a file 4 GiB
  // larger or smaller for this one; the CRC-32 tells them apart. A delta's
  // stream checks the old file's full size and CRC itself.
  if (p.CheckSize == 1 && p.Size64 && p.CheckCRC != 1 && it.action != kActionDelta)
    throw Error(Cp1251ToUtf8(it.origin_name) + ": a size check of 4 GiB or more needs check_crc too (an installer that compares "
                "only the low 32 bits of the size would take a file 4 GiB larger or smaller)");
  return p;
}

}  // namespace

Package PackageFromManifest(const Manifest& m) { return PackageFromManifest(m, BuildOptions()); }

Package PackageFromManifest(const Manifest& m, const BuildOptions& options) {
  Package pkg;
  pkg.ProjectName = m.name;
  pkg.DefaultDir = m.default_dir;
  pkg.WinURL = m.url;
  pkg.FormCaption = m.caption;
  pkg.ButtonCaption = m.button;
  pkg.AutorName = m.author_name;
  pkg.AutorMail = m.author_mail;
  pkg.AutorWWW = m.author_web;
  pkg.Language = m.language;
  pkg.DocumentType = m.document_type;
  pkg.AllOrNothing = m.all_or_nothing;
  if (!m.picture.empty()) {
    pkg.Picture = ReadPayload(m.picture);
    if (pkg.Picture.size() < 2 || pkg.Picture[0] != 'B' || pkg.Picture[1] != 'M')
      throw Error(m.picture + ": not a BMP file");
  }
  if (!m.document.empty()) {
    pkg.DocumentText = ReadPayload(m.document);
    if (pkg.DocumentText.empty()) throw Error(m.document + ": empty document");
  }
  Progress progress("reading payloads");
  PayloadPool pool;  // payloads placed so far, for multi-release items to share
  uint64_t kept = 0;  // payload bytes in the package so far
  for (size_t i = 0; i < m.items.size(); ++i) {
    progress.Update(i, m.items.size());
    const auto index = static_cast<int32_t>(i);
    const ManifestItem& it = m.items[i];
    if (options.overlay && it.from.empty() && it.action == kActionReplace) {
      std::error_code failed;
      const uint64_t size = std::filesystem::file_size(HostPath(it.file), failed);
      if (failed) throw Error(it.file + ": " + failed.message());
      if (size >= options.overlay_from || size > options.package_budget - std::min(kept, options.package_budget)) {
        PackageItem p = ItemFromManifest(it, /*read_payload=*/false);
        p.OverlayFile = it.file;
        p.OverlaySize = size;
        pkg.Items.push_back(std::move(p));
        continue;
      }
    }
    if (it.from.empty()) {
      pkg.Items.push_back(ItemFromManifest(m.items[i]));
      pool.Add(pkg.Items.back().Data, index, 0);
    } else {
      pkg.Items.push_back(MultiItemFromManifest(m.items[i], index, m.releases, pkg.Items, pool));
    }
    kept += pkg.Items.back().Data.size();
  }
  for (const std::string& name : m.releases) {
    auto ansi = Utf8ToCp1251(name);
    if (!ansi || ansi->find('\n') != std::string::npos)
      throw Error("release \"" + name + "\" cannot be written in code page 1251 on one line");
    pkg.Releases += (pkg.Releases.empty() ? "" : "\n") + *ansi;
  }
  return pkg;
}

ContainerOptions ContainerOptionsFor(const Manifest& m) {
  ContainerOptions o;
  o.version = m.version;
  o.enciphered = m.enciphered;
  o.compressed = m.compressed;
  o.level = m.level;
  if (m.key) o.key = *m.key;
  else SystemRandom(o.key.data(), o.key.size());
  return o;
}

void CheckPackageSize(uint64_t size) {
  if (size <= kMaxPackageSize) return;
  throw Error("the package is " + std::to_string(size) + " bytes; an installer takes at most " +
              std::to_string(kMaxPackageSize) +
              " bytes (1 GiB), so that 32-bit Windows can start it: split the update into several "
              "packages");
}

std::vector<uint8_t> BuildContainer(const Manifest& manifest) {
  Package pkg = PackageFromManifest(manifest);
  Progress progress(manifest.compressed ? "compressing" : "writing package");
  progress.Update(0, 1);
  std::vector<uint8_t> container = WritePackage(std::move(pkg), ContainerOptionsFor(manifest));
  CheckPackageSize(container.size());
  return container;
}

std::vector<uint8_t> EmbedPackage(std::span<const uint8_t> stub, std::vector<uint8_t> container,
                                  PeWriteReport* report) {
  CheckGuiExecutable(stub);
  PeResource r;
  r.type = PeNameOrId::Number(kPeRcData);
  r.name = PeNameOrId::Named(kPackageResourceName);
  r.language = 0;
  r.data = std::move(container);
  return SetPeResource(stub, std::move(r), report);
}

namespace {

// The PE checksum's word sum over bytes that arrive in pieces after an
// image of even size: 16-bit little-endian words, folded at the end.
class ChecksumWords {
 public:
  void Add(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      sum_ += odd_ ? uint64_t{p[i]} << 8 : p[i];
      odd_ = !odd_;
    }
  }
  uint64_t Sum() const { return sum_; }

 private:
  uint64_t sum_ = 0;
  bool odd_ = false;
};

uint32_t Fold(uint64_t sum) {
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum);
}

std::array<uint8_t, 8> Le64(uint64_t v) {
  std::array<uint8_t, 8> out;
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
  return out;
}

}  // namespace

BuildResult BuildExecutable(const Manifest& manifest, std::span<const uint8_t> stub, const std::string& out_path,
                            const BuildOptions& options, const std::string& container_out) {
  BuildOptions o = options;
  o.overlay = true;
  Package pkg = PackageFromManifest(manifest, o);
  struct Planned {
    std::string file;
    uint64_t size;
  };
  std::vector<Planned> planned;
  // Raw values come in item order: an item's "Size64", then its four
  // overlay values; where each overlay item's first one falls among them.
  std::vector<size_t> first_raw;
  size_t raw_count = 0;
  for (const PackageItem& item : pkg.Items) {
    if (item.Size64) ++raw_count;
    if (item.OverlayFile.empty()) continue;
    planned.push_back({item.OverlayFile, item.OverlaySize});
    first_raw.push_back(raw_count);
    raw_count += 4;
  }

  ContainerOptions co = ContainerOptionsFor(manifest);
  std::vector<uint64_t> raw_at;
  co.raw_offsets = &raw_at;
  std::vector<uint8_t> container;
  {
    Progress progress(manifest.compressed ? "compressing" : "writing package");
    progress.Update(0, 1);
    container = WritePackage(std::move(pkg), co);
  }
  CheckPackageSize(container.size());
  if (raw_at.size() != raw_count) throw Error("overlay records out of step with their items");
  if (!container_out.empty() && planned.empty()) WriteHostFile(container_out, container);
  BuildResult result;
  result.package_size = container.size();
  PeWriteReport report;
  std::vector<uint8_t> exe = EmbedPackage(stub, std::move(container), &report);
  result.certificate_dropped = report.certificate_dropped;
  result.overlay_items = planned.size();
  if (planned.empty()) {  // the executable of a package without an overlay, as before
    WriteHostFile(out_path, exe);
    result.file_size = exe.size();
    return result;
  }

  PeImageInfo image = ReadPeImage(exe);
  const PeResource* lr5 = FindPeRcData(image, "LR5");
  if (!lr5 || lr5->file_offset < 0) throw Error("the package resource is missing from the new executable");
  // SizeOfRawData is a multiple of FileAlignment: the overlay's words line up.
  if (exe.size() % 2 != 0) throw Error("the executable's image has an odd size");

#ifdef _WIN32
  std::FILE* out = _wfopen(HostPath(out_path).c_str(), L"wb");
#else
  std::FILE* out = std::fopen(HostPath(out_path).c_str(), "wb");
#endif
  if (!out) throw Error("cannot write " + out_path);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(out, &std::fclose);
  auto put = [&](const uint8_t* bytes, size_t n) {
    if (std::fwrite(bytes, 1, n, out) != n) throw Error("cannot write " + out_path);
  };
  put(exe.data(), exe.size());  // its overlay records are filled in below

  OverlayCoding coding;
  coding.compressed = manifest.compressed;
  coding.level = manifest.level;
  coding.enciphered = manifest.enciphered;
  coding.key = co.key;
  coding.jobs = o.jobs;
  uint64_t total = 0, done = 0, at = exe.size();
  for (const Planned& p : planned) total += p.size;
  ChecksumWords words;
  Progress progress("writing big payloads");
  uint8_t* package = exe.data() + lr5->file_offset;
  for (size_t k = 0; k < planned.size(); ++k) {
    OverlayWritten w = WriteOverlayPayload(
        planned[k].file, planned[k].size, coding,
        [&](const uint8_t* bytes, size_t n) {
          put(bytes, n);
          words.Add(bytes, n);
        },
        &progress, done, total);
    done += w.size;
    const std::array<uint8_t, 8> values[4] = {
        Le64(at), Le64(w.length), Le64(w.size), Le64(uint64_t{w.crc} | uint64_t{coding.block} << 32)};
    for (int v = 0; v < 4; ++v) PatchRawValue(package, lr5->size, raw_at[first_raw[k] + v], values[v]);
    at += w.length;
    result.overlay_bytes += w.length;
  }
  // The checksum of the whole file: the image's words (its checksum field
  // as zero) and the overlay's.
  const uint32_t image_words = PeChecksum(exe) - static_cast<uint32_t>(exe.size());
  StorePeChecksum(exe, Fold(uint64_t{image_words} + words.Sum()) + static_cast<uint32_t>(at));
  if (std::fseek(out, 0, SEEK_SET) != 0) throw Error("cannot write " + out_path);
  put(exe.data(), exe.size());
  if (std::fflush(out) != 0) throw Error("cannot write " + out_path);
  if (!container_out.empty()) WriteHostFile(container_out, std::vector<uint8_t>(package, package + lr5->size));
  result.file_size = at;
  return result;
}

// Found the way the installer finds it (name compared without case), with
// the installer's message when it is missing.
std::vector<uint8_t> ExtractPackage(std::span<const uint8_t> executable) {
  return ReadLr5Resource(executable);
}

}  // namespace upkit::pack
