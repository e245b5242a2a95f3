// A stand-in for the upgrade library that imports AdbWinApi.dll as the real
// one does, so the loader must find that DLL before the export can run. The
// export calls nothing in it and reports a failed transfer.
#include <windows.h>

#include <cstdint>

#include "adbwinapi/adb_api.h"

// The import stays in the file only while something refers to it.
extern "C" __declspec(dllexport) void* stubImportedAdbCall() {
  return reinterpret_cast<void*>(&AdbCloseHandle);
}

extern "C" __declspec(dllexport) int letsStartUpgrade(uint8_t, uint8_t,
                                                      const wchar_t*,
                                                      const char*, const char*,
                                                      GUID) {
  return 1;
}
