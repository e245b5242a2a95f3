#include "service/upgrade_worker.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/event_report.h"
#include "common/system_paths.h"
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
// it does not fit, or the drivers folder is not known.
bool updateFilePath(const char* updateFile, char (&path)[kDeletionPathBytes]) {
  const SystemPaths* paths = systemPaths();
  if (paths == nullptr) return false;
  int length = snprintf(path, sizeof path, "%s%s",
                        paths->driversFolderForDeletion, updateFile);
  return length >= 0 && static_cast<size_t>(length) < sizeof path;
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
    case UpgradeOutcome::kStartUnconfirmed:
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
DWORD keepForNextArrival(const UpgradeThreadParams& params) {
  reportEvent(EVENTLOG_INFORMATION_TYPE,
              L"device went away before the update started, service kept");
  if (params.phase != nullptr) params.phase->store(kWorkerIdle);
  return kWorkerDeviceWentAway;
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
  if (!publishBinding(*params, library.cancel)) return endClaimed(library);
  recordUpgradeStart(attempt);
  int32_t result = library.start(params->bForce, params->bUpdate,
                                 params->devicePath, params->updateFile,
                                 params->version, params->interfaceGuid);
  // The result, not when a removal came, tells what the upgrade did: the
  // library knows whether the device accepted the start.
  if (!leaveUpgrade(*params, kWorkerFinishing)) awaitKill();
  recordOutcome(attempt, result);
  if (result == kUpgradeDeviceWentAway) return keepForNextArrival(*params);
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
