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

bool HasResource(const char* name) {
  return FindResourceA(GetModuleHandleA(nullptr), name, MAKEINTRESOURCEA(10)) != nullptr;
}

}  // namespace upkit::app
