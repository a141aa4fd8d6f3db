#include "app/resource_stream.h"

#include <windows.h>

#include <string>

#include "codec/error.h"

namespace upkit::app {

ResourceStream::ResourceStream(const char* name) {
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC info = FindResourceA(module, name, MAKEINTRESOURCEA(10));  // RT_RCDATA
  HGLOBAL handle = info ? LoadResource(module, info) : nullptr;
  const void* memory = handle ? LockResource(handle) : nullptr;
  if (!memory) throw Error(std::string("Resource ") + name + " not found");
  SetMemory(memory, SizeofResource(module, info));
}

uint8_t* ResourceStream::ChangeableLastingMemory() {
  if (!Memory() || Size() == 0) return nullptr;
  DWORD previous = 0;
  // The image's pages give a private copy of each page on its first write.
  if (!VirtualProtect(const_cast<uint8_t*>(Memory()), static_cast<SIZE_T>(Size()), PAGE_WRITECOPY, &previous))
    return nullptr;
  return const_cast<uint8_t*>(Memory());
}

bool HasResource(const char* name) {
  return FindResourceA(GetModuleHandleA(nullptr), name, MAKEINTRESOURCEA(10)) != nullptr;
}

}  // namespace upkit::app
