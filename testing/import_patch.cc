#include "testing/import_patch.h"
#ifdef _WIN32

#include <cstring>

namespace {

void writeSlot(void** address, void* value) {
  DWORD old_protection = 0;
  VirtualProtect(address, sizeof *address, PAGE_READWRITE, &old_protection);
  *address = value;
  VirtualProtect(address, sizeof *address, old_protection, &old_protection);
}

}  // namespace

ImportPatch::ImportPatch(HMODULE module, const char* function,
                         const void* replacement) {
  auto* base = reinterpret_cast<BYTE*>(module ? module : GetModuleHandleW(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return;
  auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(
      base + directory.VirtualAddress);
  for (; import->Name != 0; ++import) {
    DWORD names_rva = import->OriginalFirstThunk ? import->OriginalFirstThunk
                                                 : import->FirstThunk;
    auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + names_rva);
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
    for (; name->u1.AddressOfData != 0; ++name, ++slot) {
      if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
      auto* by_name =
          reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) != 0) {
        continue;
      }
      auto** address = reinterpret_cast<void**>(&slot->u1.Function);
      slots_.push_back({address, *address});
      writeSlot(address, const_cast<void*>(replacement));
    }
  }
}

ImportPatch::~ImportPatch() {
  for (const Slot& slot : slots_) writeSlot(slot.address, slot.original);
}

#endif  // _WIN32
