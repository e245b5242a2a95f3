// A stand-in for the upgrade library, for the worker's tests: its export
// records what it was called with and returns what the test asks for, and
// can be held inside the call until the test lets it go or cancels it (the
// cancel export counts its calls; a cancelled call returns 2, as from a
// device gone before the start, unless the test says otherwise). Built twice: velunor_upgrade_stub.dll with
// the cancel export, velunor_upgrade_stub_uncancellable.dll without.
#ifndef VELUNOR_TESTING_SERVICE_UPGRADE_LIBRARY_STUB_H_
#define VELUNOR_TESTING_SERVICE_UPGRADE_LIBRARY_STUB_H_

#include <windows.h>

#include <cstdint>

struct StubCall {
  int calls;
  uint8_t bForce;
  uint8_t bUpdate;
  wchar_t devicePath[300];
  char updateFile[300];
  char version[300];
  GUID interfaceGuid;
};

using StubSetResult = void (*)(int result);
// What a held call returns when it was cancelled (2 after stubHoldCalls).
using StubSetCancelledResult = void (*)(int result);
using StubHoldCalls = void (*)();
using StubWaitEntered = bool (*)(DWORD timeoutMs);
using StubRelease = void (*)();
using StubLastCall = const StubCall* (*)();
using StubCancelCount = int (*)();
using StubIgnoreCancel = void (*)();

#endif  // VELUNOR_TESTING_SERVICE_UPGRADE_LIBRARY_STUB_H_
