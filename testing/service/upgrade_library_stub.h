// A stand-in for the upgrade library, for the worker's tests: its export
// records what it was called with and returns what the test asks for, and
// can be held inside the call until the test lets it go or cancels it (the
// cancel export counts its calls; a cancelled call returns 2, as from a
// device gone before the start, unless the test says otherwise). Its
// checked export can tell the caller that the start request is going out,
// as the library does before it hands the request to the transport. Built
// three times: velunor_upgrade_stub.dll with every export,
// velunor_upgrade_stub_uncancellable.dll without the cancel export and
// velunor_upgrade_stub_unchecked.dll without the checked one.
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
  bool checked;          // through letsStartUpgradeChecked
  char imageSha256[80];  // as passed to it; "(null)" for none
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
// Whether the calls that follow tell their callback that the start request
// is going out, before a held call holds.
using StubNoticeStart = void (*)(bool notice);

#endif  // VELUNOR_TESTING_SERVICE_UPGRADE_LIBRARY_STUB_H_
