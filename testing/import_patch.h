// Replaces one imported function in a module's import address table, for as
// long as the patch lives. Tests use it to watch the Win32 calls that
// production code makes, without any hook in that code.
#ifndef VELUNOR_TESTING_IMPORT_PATCH_H_
#define VELUNOR_TESTING_IMPORT_PATCH_H_
#ifdef _WIN32

#include <windows.h>

#include <vector>

class ImportPatch {
 public:
  // Patches every import of `function` (any DLL) in `module`; null means the
  // test program itself.
  ImportPatch(HMODULE module, const char* function, const void* replacement);
  ~ImportPatch();
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  // Whether the module imports the function at all.
  bool applied() const { return !slots_.empty(); }

 private:
  struct Slot {
    void** address;
    void* original;
  };
  std::vector<Slot> slots_;
};

#endif  // _WIN32
#endif  // VELUNOR_TESTING_IMPORT_PATCH_H_
