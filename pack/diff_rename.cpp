#include "pack/diff_rename.h"

#include <algorithm>
#include <set>

#include "codec/compress.h"
#include "delta/delta_encode.h"
#include "pack/host_fs.h"

namespace upkit::pack {
namespace {

// Content samples: the smallest distinct hashes of all 16-byte windows (a
// bottom-k sketch). Two files' sketches estimate how much they share.
constexpr size_t kWindow = 16, kSketch = 128;
// Content sampling alone pairs files that share at least this much.
constexpr double kMinResemblance = 0.2;

std::vector<uint64_t> Sketch(const std::vector<uint8_t>& f) {
  std::set<uint64_t> smallest;
  if (f.size() < kWindow) return {};
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  uint64_t power = 1, h = 0;
  for (size_t i = 0; i < kWindow; ++i) power *= kMul;
  for (size_t i = 0; i < f.size(); ++i) {
    h = h * kMul + f[i] + 1;
    if (i >= kWindow) h -= power * (f[i - kWindow] + 1);
    if (i + 1 < kWindow) continue;
    uint64_t mixed = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
    mixed ^= mixed >> 32;
    if (smallest.size() == kSketch && mixed >= *smallest.rbegin()) continue;
    if (smallest.insert(mixed).second && smallest.size() > kSketch) smallest.erase(std::prev(smallest.end()));
  }
  return {smallest.begin(), smallest.end()};
}

// Estimated share of windows the two files have in common (0 to 1).
double Resemblance(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) {
  if (a.empty() || b.empty()) return 0;
  size_t i = 0, j = 0, seen = 0, both = 0;
  while (seen < kSketch && (i < a.size() || j < b.size())) {
    if (j == b.size() || (i < a.size() && a[i] < b[j])) ++i;
    else if (i == a.size() || b[j] < a[i]) ++j;
    else ++i, ++j, ++both;
    ++seen;
  }
  return double(both) / double(seen);
}

struct Candidate {
  std::string rel;
  std::filesystem::path path;
  bool removed;
  std::string name;  // without digits
  std::vector<uint64_t> sketch;
  size_t size;
};

}  // namespace

std::string NameWithoutDigits(const std::string& rel) {
  std::string name = rel.substr(rel.rfind('/') == std::string::npos ? 0 : rel.rfind('/') + 1), out;
  for (char c : name)
    if (c < '0' || c > '9') out += (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
  return out;
}

std::map<std::string, RenameBase> PairRenamedFiles(const std::map<std::string, std::filesystem::path>& added,
                                                   const std::map<std::string, std::filesystem::path>& removed,
                                                   const std::map<std::string, std::filesystem::path>& unchanged,
                                                   int level, bool compressed) {
  std::map<std::string, RenameBase> plans;
  if (added.empty() || (removed.empty() && unchanged.empty())) return plans;
  std::vector<Candidate> candidates;
  for (const auto* group : {&removed, &unchanged})
    for (const auto& [rel, path] : *group) {
      std::vector<uint8_t> bytes = ReadHostFile(Utf8Path(path));
      if (bytes.empty()) continue;  // a delta needs a base with bytes to check
      candidates.push_back({rel, path, group == &removed, NameWithoutDigits(rel), Sketch(bytes), bytes.size()});
    }
  std::set<std::string> taken;  // removed files already chosen as a base
  for (const auto& [rel, path] : added) {
    std::vector<uint8_t> new_bytes = ReadHostFile(Utf8Path(path));
    if (new_bytes.empty()) continue;
    const std::vector<uint64_t> sketch = Sketch(new_bytes);
    const std::string name = NameWithoutDigits(rel);
    // The same name without digits first; among those (or, when none, among
    // all files of a size within 4x), the one that shares the most content.
    const Candidate* best = nullptr;
    bool best_named = false;
    double best_score = -1;
    for (const Candidate& c : candidates) {
      if (c.removed && taken.count(c.rel)) continue;
      bool named = c.name == name;
      if (!named && (c.size > 4 * new_bytes.size() || new_bytes.size() > 4 * c.size)) continue;
      double score = Resemblance(sketch, c.sketch);
      if (!named && score < kMinResemblance) continue;
      if (best && (best_named && !named)) continue;
      if (!best || (named && !best_named) || score > best_score) best = &c, best_named = named, best_score = score;
    }
    if (!best) continue;
    std::vector<uint8_t> base = ReadHostFile(Utf8Path(best->path));
    std::vector<uint8_t> stream = EncodeDelta(base, new_bytes);
    size_t whole = StoredSize(new_bytes, compressed, level);
    if (StoredSize(stream, compressed, level, whole) >= whole) continue;
    if (best->removed) taken.insert(best->rel);
    plans[rel] = {best->rel, best->path, best->removed, std::move(stream)};
  }
  return plans;
}

}  // namespace upkit::pack
