// The library's load-time entry point. Everything the library sets up happens
// inside letsStartUpgrade, so loading and unloading only run the runtime's
// own start-up and shut-down around this.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD /*reason*/,
                               LPVOID /*reserved*/) {
  return TRUE;
}
