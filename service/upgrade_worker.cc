#include "service/upgrade_worker.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/event_report.h"
#include "common/system_paths.h"
#include "common/upgrade_contract.h"
#include "service/awake_hold.h"
#include "service/device_family.h"
#include "service/installation.h"
#include "service/next_device.h"
#include "service/outcome_record.h"
#include "service/service_context.h"
#include "service/update_image.h"

namespace {

// The worker that is removing the service, for the main thread to wait on.
std::atomic<HANDLE> removingWorker{nullptr};

struct UpgradeLibrary {
  LetsStartUpgradeFunction start = nullptr;  // null after an error event
  // Null in a library from before the start notice: it still upgrades, but
  // cannot check the image against `sha256`, nor tell the record that the
  // line is being crossed.
  LetsStartUpgradeCheckedFunction checked = nullptr;
  LetsCancelUpgradeFunction cancel = nullptr;  // optional
};

template <typename Function>
Function bindExport(HMODULE library, const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// The exports. The library stays loaded. Its own import, AdbWinApi.dll,
// comes only from the library's folder or from System32: never from a folder
// on PATH, the current directory or the program's folder, where anyone might
// have placed one to run as LocalSystem.
UpgradeLibrary bindUpgradeLibrary() {
  const SystemPaths* paths = systemPaths();
  if (paths == nullptr) {
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "the Windows folder is not a drive's \\Windows folder, "
                      "nothing loaded: %s",
                      windowsFolderName());
    return {};
  }
  HMODULE library = LoadLibraryExW(
      paths->upgradeLibraryPath, nullptr,
      LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library == nullptr) {
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "can not load velunorUpdateExport.dll: %d",
                      static_cast<int>(GetLastError()));
    return {};
  }
  FARPROC address = GetProcAddress(library, kUpgradeExportName);
  if (address == nullptr) {
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "can not find letsStartUpgrade in "
                      "velunorUpdateExport.dll: %d",
                      static_cast<int>(GetLastError()));
    return {};
  }
  UpgradeLibrary bound;
  bound.start = reinterpret_cast<LetsStartUpgradeFunction>(
      reinterpret_cast<void*>(address));
  bound.checked =
      bindExport<LetsStartUpgradeCheckedFunction>(library,
                                                  kUpgradeCheckedExportName);
  bound.cancel =
      bindExport<LetsCancelUpgradeFunction>(library, kUpgradeCancelExportName);
  return bound;
}

// A `sha256` setting promises that only that image is sent: a library that
// cannot check it is not called.
bool canKeepSha256(const UpgradeLibrary& library, const char* imageSha256) {
  if (library.checked != nullptr || imageSha256 == nullptr ||
      imageSha256[0] == '\0') {
    return true;
  }
  reportEventFormat(EVENTLOG_ERROR_TYPE,
                    "can not find letsStartUpgradeChecked in "
                    "velunorUpdateExport.dll, the sha256 setting cannot be "
                    "kept: %d",
                    static_cast<int>(ERROR_PROC_NOT_FOUND));
  return false;
}

// Tells the removal procedure what it can cancel with; true unless a removal
// claimed the worker while the library was loading, when it must not be
// called at all. The binding is published before the phase is read, and the
// removal claims the phase before it reads the binding: one of the two sees
// the other.
bool publishBinding(const UpgradeThreadParams& params,
                    LetsCancelUpgradeFunction cancel) {
  if (params.binding != nullptr) {
    params.binding->cancelUpgrade = cancel;
    params.binding->bound = true;
  }
  return params.phase == nullptr || params.phase->load() != kWorkerEnding;
}

// The removal is killing this thread: it waits for that holding no lock.
[[noreturn]] void awaitKill() {
  for (;;) SuspendThread(GetCurrentThread());
}

// A removal claimed this worker before it called the library: like a killed
// one it deletes nothing, leaves the service be and leaves the outcome
// record as it was. Without the cancel export the removal kills it as soon
// as it has claimed it.
DWORD endClaimed(const UpgradeLibrary& library) {
  if (library.cancel == nullptr) awaitKill();
  reportEvent(EVENTLOG_INFORMATION_TYPE,
              L"update thread ended on device remove, service kept");
  return kWorkerEnded;
}

void deleteUpdateFile(const char* updateFile) {
  if (!isPlainFileName(updateFile)) {
    reportEvent(EVENTLOG_ERROR_TYPE,
                L"update file name is not a plain file name, not deleted");
    return;
  }
  // Never null here: the library was loaded by these paths.
  const SystemPaths* paths = systemPaths();
  if (paths == nullptr) return;
  char path[kUpdateFilePathBytes];
  if (!updateFilePath(updateFile, path)) {
    reportEvent(EVENTLOG_ERROR_TYPE,
                L"update file path is too long, not deleted");
    return;
  }
  remove(path);
}

OutcomeTry outcomeTryOf(const UpgradeThreadParams& params) {
  OutcomeTry attempt;
  attempt.familyKey = familyOf(params.devicePath).registryKey;
  attempt.devicePath = params.devicePath;
  attempt.updateFile = params.updateFile;
  attempt.version = params.version;
  attempt.image = imageDigestOf(params.updateFile, params.imageSha256);
  return attempt;
}

// What the start notice needs: the try, and where to say the line is being
// crossed.
struct StartNotice {
  const OutcomeTry* attempt;
  ServiceContext* context;
};

// On the upgrading thread, before the start request goes out: from now on
// the device may run what it was sent, so the record says so first.
void onProgress(const UpgradeProgress* progress, void* notice) {
  if (progress->step != kUpgradeProgressStarting) return;
  auto* start = static_cast<StartNotice*>(notice);
  if (start->context != nullptr) start->context->startRequestSent = true;
  recordStartRequest(*start->attempt);
}

int32_t callLibrary(const UpgradeLibrary& library,
                    const UpgradeThreadParams& params, StartNotice* notice) {
  if (library.checked == nullptr) {
    return library.start(params.bForce, params.bUpdate, params.devicePath,
                         params.updateFile, params.version,
                         params.interfaceGuid);
  }
  const char* sha256 = params.imageSha256 != nullptr &&
                               params.imageSha256[0] != '\0'
                           ? params.imageSha256
                           : nullptr;
  return library.checked(params.bForce, params.bUpdate, params.devicePath,
                         params.updateFile, params.version,
                         params.interfaceGuid, sha256, onProgress, notice);
}

// Whether the try crossed the line: the library said the start request was
// going out, or its result says the device took one.
bool crossedTheLine(const UpgradeThreadParams& params, int32_t result) {
  return result == kUpgradeSucceeded || result == kUpgradeStartUnconfirmed ||
         (params.context != nullptr && params.context->startRequestSent.load());
}

// Whether the device was told to start its update and may be writing its
// new firmware now: it took the start request, confirmed or not.
bool toldToStart(const UpgradeThreadParams& params, int32_t result) {
  return result == kUpgradeStartUnconfirmed ||
         (result == kUpgradeSucceeded && params.bUpdate != 0);
}

DWORD reportUpgradeResult(int32_t result) {
  if (result == kUpgradeStartUnconfirmed) {
    reportEvent(EVENTLOG_INFORMATION_TYPE,
                L"device was told to start the update and restarted before it "
                L"confirmed, not sent again");
    return kWorkerStartUnconfirmed;
  }
  switch (upgradeOutcomeOf(result)) {
    case UpgradeOutcome::kSucceeded:
      reportEvent(EVENTLOG_INFORMATION_TYPE,
                  L"send updatefile to device success");
      return kWorkerDone;
    case UpgradeOutcome::kTransferFailed:
      reportEvent(EVENTLOG_ERROR_TYPE, L"send updatefile to device error");
      return kWorkerTransferFailed;
    default:
      return kWorkerDone;
  }
}

// A handle of this thread that others may wait on.
HANDLE thisThread() {
  return OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
}

// Lets the main thread wait for this thread once the service is reported
// stopped, since that report ends the dispatcher and so the process.
void announceRemoval() {
  HANDLE earlier = removingWorker.exchange(thisThread());
  if (earlier != nullptr) CloseHandle(earlier);
}


// Leaves the upgrade for `next`; false when the thread is being killed: it
// must do nothing more.
bool leaveUpgrade(const UpgradeThreadParams& params, WorkerPhase next) {
  if (params.phase == nullptr) return true;
  uint32_t phase = params.phase->load();
  while (phase != kWorkerKilled) {
    if (params.phase->compare_exchange_weak(phase, next)) return true;
  }
  return false;
}

// Nothing on the device changed: the service waits for its next arrival.
DWORD keepForNextArrival() {
  reportEvent(EVENTLOG_INFORMATION_TYPE,
              L"device went away before the update started, service kept");
  return kWorkerDeviceWentAway;
}

// After the try: the next device that waits is upgraded (after this thread
// has ended), or the service removes itself when no family waits any more.
// A device that went away before the update started is waited for: its
// next arrival upgrades it.
void serveNext(const UpgradeThreadParams& params, int32_t result) {
  const EndedTry ended = {&familyOf(params.devicePath), params.devicePath,
                          result != kUpgradeDeviceWentAway};
  if (params.context != nullptr && ended.finished) {
    params.context->served.add(identityOf(params.devicePath));
  }
  NextDevice next = params.context == nullptr
                        ? NextDevice{}
                        : lookForNext(params.context, &ended);
  // The image stays while another device of the family waits for it.
  if (result == kUpgradeSucceeded && !next.familyWaits) {
    deleteUpdateFile(params.updateFile);
  }
  if (next.step == NextStep::kRemove) {
    removeService(params.context, params.stopService);
    return;
  }
  if (params.phase != nullptr) params.phase->store(kWorkerIdle);
  if (next.step == NextStep::kUpgrade) {
    upgradeNext(params.context, next.path, thisThread());
  }
}

}  // namespace

DWORD WINAPI updateThread(LPVOID parameter) {
  auto* params = static_cast<UpgradeThreadParams*>(parameter);
  const OutcomeTry attempt = outcomeTryOf(*params);
  UpgradeLibrary library = bindUpgradeLibrary();
  if (library.start == nullptr ||
      !canKeepSha256(library, params->imageSha256)) {
    leaveUpgrade(*params, kWorkerIdle);
    return kWorkerLibraryNotLoaded;
  }
  if (!publishBinding(*params, library.cancel)) return endClaimed(library);
  recordUpgradeStart(attempt);
  StartNotice notice = {&attempt, params->context};
  int32_t result = callLibrary(library, *params, &notice);
  // The result, not when a removal came, tells what the upgrade did: the
  // library knows whether the device accepted the start.
  if (!leaveUpgrade(*params, kWorkerFinishing)) awaitKill();
  recordUpgradeEnd(attempt, result, crossedTheLine(*params, result));
  DWORD threadResult = result == kUpgradeDeviceWentAway
                           ? keepForNextArrival()
                           : reportUpgradeResult(result);
  // Neither the next device nor the removal may let the PC sleep or shut
  // down while this device writes its firmware; and a device that arrives
  // meanwhile is found by the look that follows.
  if (params->context != nullptr && toldToStart(*params, result)) {
    awaitDeviceBackAfterStart(params->context);
  }
  serveNext(*params, result);
  return threadResult;
}

void removeService(ServiceContext* context,
                   void (*stopService)(ServiceContext* context)) {
  announceRemoval();
  // A stop control may have stopped the service already; it is removed
  // either way.
  stopService(context);
  uninstallService();
}

void waitForServiceRemoval() {
  HANDLE worker = removingWorker.exchange(nullptr);
  if (worker == nullptr) return;
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
}
