#include "tests/e2e/embed.h"

#include <windows.h>

#include <cstdio>

namespace upkit::e2e {

std::string EmbedResources(const std::string& stub, const std::string& target,
                           const std::vector<std::pair<std::string, std::vector<uint8_t>>>& resources) {
  if (!CopyFileA(stub.c_str(), target.c_str(), FALSE)) return "cannot copy " + stub + " to " + target;
  if (resources.empty()) return {};
  HANDLE update = BeginUpdateResourceA(target.c_str(), FALSE);
  if (!update) return "BeginUpdateResourceA failed for " + target;
  for (const auto& [name, bytes] : resources) {
    if (!UpdateResourceA(update, MAKEINTRESOURCEA(10), name.c_str(),
                         MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                         const_cast<uint8_t*>(bytes.data()), static_cast<DWORD>(bytes.size()))) {
      EndUpdateResourceA(update, TRUE);
      return "UpdateResourceA failed for " + name;
    }
  }
  if (!EndUpdateResourceA(update, FALSE)) return "EndUpdateResourceA failed for " + target;
  return {};
}

}  // namespace upkit::e2e
