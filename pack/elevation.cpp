#include "pack/elevation.h"

#include <optional>
#include <string_view>

#include "codec/error.h"

namespace upkit::pack {
namespace {

constexpr uint16_t kManifestType = 24;
constexpr char kAdminLevel[] = "requireAdministrator";
constexpr char kUserLevel[] = "asInvoker";

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Where the value of the level attribute lies in the manifest text (between
// its quotes); nothing when the manifest requests no level.
std::optional<std::string_view> LevelValue(std::string_view xml) {
  size_t element = xml.find("<requestedExecutionLevel");
  if (element == std::string_view::npos) return std::nullopt;
  std::string_view tag = xml.substr(element, xml.find('>', element) - element);
  for (size_t at = tag.find("level"); at != std::string_view::npos; at = tag.find("level", at + 1)) {
    size_t i = at + 5;
    if (!Blank(tag[at - 1])) continue;  // part of another name, such as "uiAccesslevel"
    while (i < tag.size() && Blank(tag[i])) ++i;
    if (i == tag.size() || tag[i] != '=') continue;
    do ++i;
    while (i < tag.size() && Blank(tag[i]));
    if (i == tag.size() || (tag[i] != '"' && tag[i] != '\'')) continue;
    size_t close = tag.find(tag[i], i + 1);
    if (close == std::string_view::npos) return std::nullopt;
    return tag.substr(i + 1, close - i - 1);
  }
  return std::nullopt;
}

std::string_view Text(const std::vector<uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::vector<uint8_t> SetElevation(std::span<const uint8_t> image, Elevation elevation,
                                  PeWriteReport* report) {
  const std::string_view wanted = elevation == Elevation::kUser ? kUserLevel : kAdminLevel;
  for (PeResource& r : ReadPeResources(image)) {
    if (r.type != PeNameOrId::Number(kManifestType)) continue;
    std::string_view xml = Text(r.data);
    std::optional<std::string_view> level = LevelValue(xml);
    if (!level) continue;
    if (*level == wanted) return {image.begin(), image.end()};
    std::string text(xml);
    text.replace(static_cast<size_t>(level->data() - xml.data()), level->size(), wanted);
    r.data.assign(text.begin(), text.end());
    return SetPeResource(image, std::move(r), report);
  }
  // A stub without a requested level (not one built here) keeps its
  // manifest for the default; a vendor's "user" has nowhere to go.
  if (elevation == Elevation::kAdmin) return {image.begin(), image.end()};
  throw Error("the stub's manifest requests no execution level, so it cannot carry the elevation");
}

std::string ReadElevation(std::span<const uint8_t> image) {
  try {
    for (const PeResource& r : ReadPeResources(image)) {
      if (r.type != PeNameOrId::Number(kManifestType)) continue;
      std::optional<std::string_view> level = LevelValue(Text(r.data));
      if (!level) continue;
      if (*level == kAdminLevel) return "admin";
      if (*level == kUserLevel) return "user";
      return std::string(*level);
    }
  } catch (const Error&) {
    // An image the resource reader refuses names no level.
  }
  return {};
}

}  // namespace upkit::pack
