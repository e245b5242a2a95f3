#include "service/upgrade_worker.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "service/installation.h"

namespace {

constexpr size_t kDeletionPathBytes = MAX_PATH;

// The worker that is removing the service, for the main thread to wait on.
std::atomic<HANDLE> removingWorker{nullptr};

// The export, or null after an error event. The library stays loaded. Its
// own import, AdbWinApi.dll, comes only from the library's folder or from
// System32: never from a folder on PATH, the current directory or the
// program's folder, where anyone might have placed one to run as LocalSystem.
LetsStartUpgradeFunction bindUpgradeLibrary() {
  HMODULE library = LoadLibraryExW(
      kUpgradeLibraryPath, nullptr,
      LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library == nullptr) {
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "can not load velunorUpdateExport.dll: %d",
                      static_cast<int>(GetLastError()));
    return nullptr;
  }
  FARPROC address = GetProcAddress(library, kUpgradeExportName);
  if (address == nullptr) {
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "can not find letsStartUpgrade in "
                      "velunorUpdateExport.dll: %d",
                      static_cast<int>(GetLastError()));
    return nullptr;
  }
  return reinterpret_cast<LetsStartUpgradeFunction>(
      reinterpret_cast<void*>(address));
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

void deleteUpdateFile(const char* updateFile) {
  if (!isPlainFileName(updateFile)) {
    reportEvent(EVENTLOG_ERROR_TYPE,
                L"update file name is not a plain file name, not deleted");
    return;
  }
  char path[kDeletionPathBytes];
  int length = snprintf(path, sizeof path, "%s%s", kDriversFolderForDeletion,
                        updateFile);
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
    reportEvent(EVENTLOG_ERROR_TYPE,
                L"update file path is too long, not deleted");
    return;
  }
  remove(path);
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

// Leaves the upgrade for `next`, unless a device removal has claimed this
// thread: it is being ended and must do nothing more.
void leaveUpgrade(const UpgradeThreadParams& params, WorkerPhase next) {
  if (params.phase == nullptr) return;
  uint32_t phase = params.phase->load();
  while (phase != kWorkerEnding) {
    if (params.phase->compare_exchange_weak(phase, next)) return;
  }
  // The removal ends this thread as soon as it has claimed it.
  for (;;) SuspendThread(GetCurrentThread());
}

}  // namespace

DWORD WINAPI updateThread(LPVOID parameter) {
  auto* params = static_cast<UpgradeThreadParams*>(parameter);
  LetsStartUpgradeFunction letsStartUpgrade = bindUpgradeLibrary();
  if (letsStartUpgrade == nullptr) {
    leaveUpgrade(*params, kWorkerIdle);
    return kWorkerLibraryNotLoaded;
  }
  int32_t result = letsStartUpgrade(params->bForce, params->bUpdate,
                                    params->devicePath, params->updateFile,
                                    params->version, params->interfaceGuid);
  leaveUpgrade(*params, kWorkerFinishing);
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
