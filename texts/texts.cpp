#include "texts/texts.h"

namespace upkit {

namespace {
// English until the package says otherwise; a load failure is always English.
uint32_t g_language = 1;
}  // namespace

void SetLanguage(uint32_t value) {
  if (value == 0 || value == 1) g_language = value;
}

uint32_t LanguageFlag() { return g_language; }

const char* PickText(const char* russian, const char* english) {
  return g_language != 0 ? english : russian;
}

const char* PickText(const TextPair& pair) { return PickText(pair.russian, pair.english); }

}  // namespace upkit
