#include "pack/build.h"

#include <filesystem>
#include <string>

#include "codec/crc32.h"
#include "codec/error.h"
#include "delta/delta_encode.h"
#include "pack/ansi_text.h"
#include "pack/diff.h"
#include "pack/host_fs.h"
#include "pack/multi_build.h"

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
  if (it.size && *it.size != static_cast<int32_t>(old_bytes.size()))
    throw Error(it.old_file + ": size " + std::to_string(old_bytes.size()) + " differs from the item's size " +
                std::to_string(*it.size) + "; run `upkit diff` again");
  if (it.crc && *it.crc != Crc(old_bytes))
    throw Error(it.old_file + ": CRC differs from the item's crc; run `upkit diff` again");
  if (it.check_size && !it.size) p.Size = static_cast<int32_t>(old_bytes.size());
  if (it.check_crc && !it.crc) p.CRC = Crc(old_bytes);
  return old_bytes;
}

// The size and CRC-32 of the file the item produces (extension values).
void SetNewCheck(PackageItem& p, const std::vector<uint8_t>& new_bytes) {
  p.HasNewCheck = true;
  p.NewSize = static_cast<int32_t>(new_bytes.size());
  p.NewCRC = Crc(new_bytes);
}

PackageItem ItemFromManifest(const ManifestItem& it) {
  PackageItem p;
  p.OriginName = it.origin_name;
  p.UpdateName = it.update_name;
  p.Path = it.path;
  p.Action = it.action;
  p.CheckSize = it.check_size ? 1 : 0;
  p.CheckCRC = it.check_crc ? 1 : 0;
  p.Size = it.size.value_or(0);
  p.CRC = it.crc.value_or(0);
  p.BaseName = it.base_name;
  p.BasePath = it.base_path;
  p.BaseMoves = it.base_moves ? 1 : 0;
  switch (it.action) {
    case kActionReplace:
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
  return p;
}

}  // namespace

Package PackageFromManifest(const Manifest& m) {
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
  for (size_t i = 0; i < m.items.size(); ++i) {
    progress.Update(i, m.items.size());
    const auto index = static_cast<int32_t>(i);
    if (m.items[i].from.empty()) {
      pkg.Items.push_back(ItemFromManifest(m.items[i]));
      pool.Add(pkg.Items.back().Data, index, 0);
    } else {
      pkg.Items.push_back(MultiItemFromManifest(m.items[i], index, m.releases, pkg.Items, pool));
    }
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

// Found the way the installer finds it (name compared without case), with
// the installer's message when it is missing.
std::vector<uint8_t> ExtractPackage(std::span<const uint8_t> executable) {
  return ReadLr5Resource(executable);
}

}  // namespace upkit::pack
