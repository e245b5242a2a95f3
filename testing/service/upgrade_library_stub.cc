#include "testing/service/upgrade_library_stub.h"

#include "common/upgrade_contract.h"

#include <atomic>
#include <cstdio>
#include <cwchar>

namespace {

StubCall lastCall;
int nextResult = 0;
HANDLE entered = nullptr;
HANDLE released = nullptr;
std::atomic<int> cancels{0};
// What a held call returns once cancelled: a library returns 2 unless the
// device had taken the start request.
int cancelledResult = 2;
std::atomic<bool> ignoreCancel{false};
bool noticeStart = false;

int upgrade(uint8_t bForce, uint8_t bUpdate, const wchar_t* devicePath,
            const char* updateFile, const char* version, GUID interfaceGuid,
            UpgradeProgressCallback callback, void* context) {
  ++lastCall.calls;
  lastCall.bForce = bForce;
  lastCall.bUpdate = bUpdate;
  swprintf(lastCall.devicePath, 300, L"%ls", devicePath);
  snprintf(lastCall.updateFile, sizeof lastCall.updateFile, "%s", updateFile);
  snprintf(lastCall.version, sizeof lastCall.version, "%s", version);
  lastCall.interfaceGuid = interfaceGuid;
  int cancelsBefore = cancels;
  if (noticeStart && callback != nullptr) {
    UpgradeProgress progress = {kUpgradeProgressStarting, 0, updateFile, 5, 5};
    callback(&progress, context);
  }
  if (entered != nullptr) {
    SetEvent(entered);
    WaitForSingleObject(released, INFINITE);
  }
  return cancels != cancelsBefore ? cancelledResult : nextResult;
}

}  // namespace

extern "C" {

__declspec(dllexport) int letsStartUpgrade(uint8_t bForce, uint8_t bUpdate,
                                           const wchar_t* devicePath,
                                           const char* updateFile,
                                           const char* version,
                                           GUID interfaceGuid) {
  lastCall.checked = false;
  return upgrade(bForce, bUpdate, devicePath, updateFile, version,
                 interfaceGuid, nullptr, nullptr);
}

#ifndef STUB_WITHOUT_CHECKED
__declspec(dllexport) int letsStartUpgradeChecked(
    uint8_t bForce, uint8_t bUpdate, const wchar_t* devicePath,
    const char* updateFile, const char* version, GUID interfaceGuid,
    const char* imageSha256, UpgradeProgressCallback callback,
    void* context) {
  lastCall.checked = true;
  snprintf(lastCall.imageSha256, sizeof lastCall.imageSha256, "%s",
           imageSha256 == nullptr ? "(null)" : imageSha256);
  return upgrade(bForce, bUpdate, devicePath, updateFile, version,
                 interfaceGuid, callback, context);
}
#endif

#ifndef STUB_WITHOUT_CANCEL
// Counts the cancel and, unless told to ignore it, lets a held call return
// as a library ends its download at the next step.
__declspec(dllexport) void letsCancelUpgrade() {
  ++cancels;
  if (!ignoreCancel && released != nullptr) SetEvent(released);
}
#endif

__declspec(dllexport) void stubSetResult(int result) { nextResult = result; }

__declspec(dllexport) void stubNoticeStart(bool notice) {
  noticeStart = notice;
}

__declspec(dllexport) void stubSetCancelledResult(int result) {
  cancelledResult = result;
}

__declspec(dllexport) void stubHoldCalls() {
  entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  cancels = 0;
  ignoreCancel = false;
  cancelledResult = 2;
}

__declspec(dllexport) bool stubWaitEntered(DWORD timeoutMs) {
  return WaitForSingleObject(entered, timeoutMs) == WAIT_OBJECT_0;
}

__declspec(dllexport) void stubRelease() { SetEvent(released); }

__declspec(dllexport) const StubCall* stubLastCall() { return &lastCall; }

__declspec(dllexport) int stubCancelCount() { return cancels; }

// A held call that stays held through every cancel, as a library stuck in a
// driver call would.
__declspec(dllexport) void stubIgnoreCancel() { ignoreCancel = true; }

}  // extern "C"
