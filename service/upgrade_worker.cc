#include "service/upgrade_worker.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "service/device_family.h"
#include "service/installation.h"
#include "service/outcome_record.h"

namespace {

constexpr size_t kDeletionPathBytes = MAX_PATH;

// The worker that is removing the service, for the main thread to wait on.
std::atomic<HANDLE> removingWorker{nullptr};

struct UpgradeLibrary {
  LetsStartUpgradeFunction start = nullptr;  // null after an error event
  LetsCancelUpgradeFunction cancel = nullptr;  // optional
};

// The exports. The library stays loaded. Its own import, AdbWinApi.dll,
// comes only from the library's folder or from System32: never from a folder
// on PATH, the current directory or the program's folder, where anyone might
// have placed one to run as LocalSystem.
UpgradeLibrary bindUpgradeLibrary() {
  HMODULE library = LoadLibraryExW(
      kUpgradeLibraryPath, nullptr,
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
  bound.cancel = reinterpret_cast<LetsCancelUpgradeFunction>(
      reinterpret_cast<void*>(
          GetProcAddress(library, kUpgradeCancelExportName)));
  return bound;
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

// A removal claimed this worker: like a killed one it deletes nothing and
// leaves the service be. Without the cancel export the removal kills it as
// soon as it has claimed it, so it waits for that holding no lock (the
// removal records the outcome then). `result` is null when the library was
// never called: the record stays as it was.
DWORD endClaimed(const UpgradeLibrary& library, const OutcomeTry& attempt,
                 const int32_t* result) {
  if (library.cancel == nullptr) {
    for (;;) SuspendThread(GetCurrentThread());
  }
  if (result != nullptr) {
    recordUpgradeEnd(attempt, kStateDeviceWentAway, *result, ImageDigest{});
  }
  reportEvent(EVENTLOG_INFORMATION_TYPE,
              L"update thread ended on device remove, service kept");
  return kWorkerEnded;
}

// The service runs as LocalSystem: a registry value must never lead it to
// delete anything but a file directly in the drivers folder.
bool isPlainFileName(const char* name) {
  if (name[0] == '\0' || std::strcmp(name, ".") == 0 ||
      std::strcmp(name, "..") == 0) {
    return false;
  }
  return std::strpbrk(name, "\\/:") == nullptr;
}

// The path of the update file directly in the drivers folder; false when
// it does not fit.
bool updateFilePath(const char* updateFile, char (&path)[kDeletionPathBytes]) {
  int length = snprintf(path, sizeof path, "%s%s", kDriversFolderForDeletion,
                        updateFile);
  return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

void deleteUpdateFile(const char* updateFile) {
  if (!isPlainFileName(updateFile)) {
    reportEvent(EVENTLOG_ERROR_TYPE,
                L"update file name is not a plain file name, not deleted");
    return;
  }
  char path[kDeletionPathBytes];
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
  return attempt;
}

// The digest of the image that was sent: the one file the service deletes
// after a success, named exactly by the setting (the library sends every
// file whose name contains it, in sub-folders too). Taken once the upgrade
// has succeeded, so that it costs a failed or cancelled upgrade nothing and
// never holds up a download.
ImageDigest digestOfSentImage(const char* updateFile) {
  char path[kDeletionPathBytes];
  if (!isPlainFileName(updateFile) || !updateFilePath(updateFile, path)) {
    return ImageDigest{};
  }
  return digestOfFile(path);
}

// Records the outcome that the worker goes on to act on, from the library's
// result, before it acts.
void recordOutcome(const OutcomeTry& attempt, int32_t result) {
  const wchar_t* state = outcomeStateOf(result);
  ImageDigest image = {};
  if (std::wcscmp(state, kStateUpgraded) == 0) {
    image = digestOfSentImage(attempt.updateFile);
  }
  recordUpgradeEnd(attempt, state, result, image);
}

DWORD reportUpgradeResult(int32_t result, const char* updateFile) {
  switch (upgradeOutcomeOf(result)) {
    case UpgradeOutcome::kSucceeded:
      reportEvent(EVENTLOG_INFORMATION_TYPE,
                  L"send updatefile to device success");
      deleteUpdateFile(updateFile);
      return kWorkerDone;
    case UpgradeOutcome::kTransferFailed:
      reportEvent(EVENTLOG_ERROR_TYPE, L"send updatefile to device error");
      return kWorkerTransferFailed;
    case UpgradeOutcome::kNeither:
      break;
  }
  return kWorkerDone;
}

// Lets the main thread wait for this thread once the service is reported
// stopped, since that report ends the dispatcher and so the process.
void announceRemoval() {
  HANDLE self = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
  HANDLE earlier = removingWorker.exchange(self);
  if (earlier != nullptr) CloseHandle(earlier);
}

void stopAndRemoveService(const UpgradeThreadParams& params) {
  announceRemoval();
  // A stop control may have stopped the service already; it is removed
  // either way.
  params.stopService(params.context);
  uninstallService();
}

// Leaves the upgrade for `next`; false when a device removal has claimed
// this thread first: it must do nothing more.
bool leaveUpgrade(const UpgradeThreadParams& params, WorkerPhase next) {
  if (params.phase == nullptr) return true;
  uint32_t phase = params.phase->load();
  while (phase != kWorkerEnding) {
    if (params.phase->compare_exchange_weak(phase, next)) return true;
  }
  return false;
}

}  // namespace

DWORD WINAPI updateThread(LPVOID parameter) {
  auto* params = static_cast<UpgradeThreadParams*>(parameter);
  const OutcomeTry attempt = outcomeTryOf(*params);
  UpgradeLibrary library = bindUpgradeLibrary();
  if (library.start == nullptr) {
    leaveUpgrade(*params, kWorkerIdle);
    return kWorkerLibraryNotLoaded;
  }
  if (!publishBinding(*params, library.cancel)) {
    return endClaimed(library, attempt, nullptr);
  }
  recordUpgradeStart(attempt);
  int32_t result = library.start(params->bForce, params->bUpdate,
                                 params->devicePath, params->updateFile,
                                 params->version, params->interfaceGuid);
  // The phase, not the result, tells a cancelled worker: the library may
  // have succeeded just as the device went.
  if (!leaveUpgrade(*params, kWorkerFinishing)) {
    return endClaimed(library, attempt, &result);
  }
  recordOutcome(attempt, result);
  DWORD threadResult = reportUpgradeResult(result, params->updateFile);
  stopAndRemoveService(*params);
  return threadResult;
}

void waitForServiceRemoval() {
  HANDLE worker = removingWorker.exchange(nullptr);
  if (worker == nullptr) return;
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
}
