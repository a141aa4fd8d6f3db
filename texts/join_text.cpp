#include "texts/join_text.h"

namespace upkit {

std::string JoinText(std::initializer_list<std::string_view> parts) {
  size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  std::string text;
  text.reserve(size);
  for (std::string_view part : parts) text.append(part.data(), part.size());
  return text;
}

}  // namespace upkit
