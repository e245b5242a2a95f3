#include "testing/service/upgrade_library_stub.h"

#include <cstdio>
#include <cwchar>

namespace {

StubCall lastCall;
int nextResult = 0;
HANDLE entered = nullptr;
HANDLE released = nullptr;

}  // namespace

extern "C" {

__declspec(dllexport) int letsStartUpgrade(uint8_t bForce, uint8_t bUpdate,
                                           const wchar_t* devicePath,
                                           const char* updateFile,
                                           const char* version,
                                           GUID interfaceGuid) {
  ++lastCall.calls;
  lastCall.bForce = bForce;
  lastCall.bUpdate = bUpdate;
  swprintf(lastCall.devicePath, 300, L"%ls", devicePath);
  snprintf(lastCall.updateFile, sizeof lastCall.updateFile, "%s", updateFile);
  snprintf(lastCall.version, sizeof lastCall.version, "%s", version);
  lastCall.interfaceGuid = interfaceGuid;
  if (entered != nullptr) {
    SetEvent(entered);
    WaitForSingleObject(released, INFINITE);
  }
  return nextResult;
}

__declspec(dllexport) void stubSetResult(int result) { nextResult = result; }

__declspec(dllexport) void stubHoldCalls() {
  entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

__declspec(dllexport) bool stubWaitEntered(DWORD timeoutMs) {
  return WaitForSingleObject(entered, timeoutMs) == WAIT_OBJECT_0;
}

__declspec(dllexport) void stubRelease() { SetEvent(released); }

__declspec(dllexport) const StubCall* stubLastCall() { return &lastCall; }

}  // extern "C"
