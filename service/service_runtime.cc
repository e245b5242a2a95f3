#include "service/service_runtime.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "common/event_report.h"
#include "common/system_paths.h"
#include "common/upgrade_contract.h"
#include "service/device_family.h"
#include "service/outcome_record.h"
#include "service/present_devices.h"
#include "service/registry_key.h"
#include "service/service_identity.h"
#include "service/upgrade_worker.h"

namespace {

// Digits a flag stored as text may have, with its terminator.
constexpr size_t kFlagTextUnits = 32;

// Reports `state` to the service control manager; with the state lock held.
// A service reported stopped reports nothing more: the status never goes
// back from STOPPED.
void setServiceState(ServiceContext* context, DWORD state) {
  if (context->stopReported) return;
  context->status.dwCurrentState = state;
  SetServiceStatus(context->statusHandle, &context->status);
  if (state == SERVICE_STOPPED) context->stopReported = true;
}

void reportServiceState(ServiceContext* context, DWORD state) {
  std::lock_guard<std::mutex> hold(context->stateLock);
  setServiceState(context, state);
}

// Stops the device notifications, once; with the state lock held.
void unregisterDeviceEvents(ServiceContext* context) {
  if (context->deviceNotify == nullptr) return;
  UnregisterDeviceNotification(context->deviceNotify);
  context->deviceNotify = nullptr;
}

bool workerRunning(const ServiceContext* context) {
  return context->workerThread != nullptr &&
         WaitForSingleObject(context->workerThread, 0) == WAIT_TIMEOUT;
}

// The device path a broadcast carries, with its length without the NUL; null
// when it carries none that can be read: no data, a record shorter than its
// header, or a name that does not end inside the record.
const wchar_t* broadcastPath(const void* eventData, size_t* length) {
  if (eventData == nullptr) return nullptr;
  auto* broadcast =
      static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(eventData);
  const size_t nameOffset =
      offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (broadcast->dbcc_size < nameOffset) return nullptr;
  size_t units = (broadcast->dbcc_size - nameOffset) / sizeof(wchar_t);
  size_t found = wcsnlen(broadcast->dbcc_name, units);
  if (found == units) return nullptr;
  *length = found;
  return broadcast->dbcc_name;
}

// Copies the arrived device's path whole, or not at all; false after the
// event that says why not. A null `path` is one that could not be read.
bool copyDevicePath(ServiceContext* context, const wchar_t* path,
                    size_t length) {
  if (path == nullptr) {
    reportEvent(EVENTLOG_ERROR_TYPE,
                L"device path is unreadable, ignore device arrival");
    return false;
  }
  if (length >= kDevicePathUnits) {
    reportEvent(EVENTLOG_ERROR_TYPE,
                L"device path is too long, ignore device arrival");
    return false;
  }
  std::memcpy(context->devicePath, path, length * sizeof(wchar_t));
  context->devicePath[length] = L'\0';
  return true;
}

void reportArrival(const DeviceFamily& family, const wchar_t* devicePath) {
  LPCWSTR strings[2] = {family.arrivalText, devicePath};
  ReportEventW(eventSource, EVENTLOG_INFORMATION_TYPE, 0, eventCounter++,
               nullptr, 2, 0, strings, nullptr);
}

// A text value; it stays terminated even when stored without its NUL.
bool queryText(HKEY key, const char* name, char* text) {
  DWORD size = kSettingTextBytes;
  if (RegQueryValueExA(key, name, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS) {
    return false;
  }
  if (size < kSettingTextBytes) text[size] = '\0';
  return true;
}

// The low-order byte of the number a flag stored as text spells in decimal
// digits; false for an empty text or one that is not such a number.
bool flagFromText(const wchar_t* text, size_t units, uint8_t* flag) {
  size_t length = wcsnlen(text, units);
  if (length == 0) return false;
  unsigned value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    // Only the low-order byte counts, so the number may be of any length.
    value = (value * 10 + static_cast<unsigned>(text[i] - L'0')) & 0xFF;
  }
  *flag = static_cast<uint8_t>(value);
  return true;
}

// Deployment scripts often write flags as text: read back as four raw
// bytes, "0" would arrive as 0x30, a set flag.
bool queryTextFlag(HKEY key, const wchar_t* name, uint8_t* flag) {
  wchar_t text[kFlagTextUnits] = {};
  DWORD size = sizeof text;
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  return flagFromText(text, size / sizeof(wchar_t), flag);
}

// A DWORD flag; only its low-order byte counts. A flag stored as text is
// its decimal number.
bool queryFlag(HKEY key, const wchar_t* name, uint8_t* flag) {
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof value;
  LSTATUS result = RegQueryValueExW(key, name, nullptr, &type,
                                    reinterpret_cast<BYTE*>(&value), &size);
  if (type == REG_SZ &&
      (result == ERROR_SUCCESS || result == ERROR_MORE_DATA)) {
    return queryTextFlag(key, name, flag);
  }
  if (result != ERROR_SUCCESS) return false;
  *flag = static_cast<uint8_t>(value & 0xFF);
  return true;
}

DWORD readSettings(ServiceContext* context, const DeviceFamily& family) {
  RegistryKey key;
  if (RegOpenKeyW(HKEY_LOCAL_MACHINE, family.registryKey, key.receive()) !=
      ERROR_SUCCESS) {
    reportEvent(EVENTLOG_ERROR_TYPE, family.keyFailureText);
    return kArrivalKeyNotOpened;
  }
  if (!queryText(key.get(), "updatefile", context->updateFile)) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"Query updatefile fail");
    return kArrivalUpdateFileNotRead;
  }
  if (!queryFlag(key.get(), L"bForce", &context->bForce)) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"Query bForce fail");
    return kArrivalForceNotRead;
  }
  if (!queryFlag(key.get(), L"bUpdate", &context->bUpdate)) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"Query bUpdate fail");
    return kArrivalUpdateNotRead;
  }
  if (!queryText(key.get(), "version", context->version)) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"Query version fail");
    return kArrivalVersionNotRead;
  }
  return kArrivalWorkerStarted;
}

void reportSettings(const ServiceContext* context) {
  const char* strings[8] = {"update file : ", context->updateFile,
                            "bForce : ",      context->bForce ? "1" : "0",
                            "bUpdate : ",     context->bUpdate ? "1" : "0",
                            "version : ",     context->version};
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, strings, 8);
}

// The worker the arrival procedure found ended leaves no handle behind.
void closeEndedWorker(ServiceContext* context) {
  if (context->workerThread == nullptr) return;
  CloseHandle(context->workerThread);
  context->workerThread = nullptr;
  context->workerThreadId = 0;
}

DWORD startWorker(ServiceContext* context) {
  UpgradeThreadParams& params = context->params;
  params.bForce = context->bForce;
  params.bUpdate = context->bUpdate;
  params.updateFile = context->updateFile;
  params.devicePath = context->devicePath;
  params.version = context->version;
  params.interfaceGuid = kUpdateDeviceClass;
  params.context = context;
  params.stopService = stopService;
  params.phase = &context->workerPhase;
  params.binding = &context->workerBinding;
  closeEndedWorker(context);
  // A removal from the first instruction of the worker on may end it.
  context->workerPhase = kWorkerUpgrading;
  context->workerBinding.bound = false;
  context->workerBinding.cancelUpgrade = nullptr;
  AcquireSRWLockExclusive(&context->cancelLock);
  context->workerThread = CreateThread(nullptr, 0, updateThread, &params, 0,
                                       &context->workerThreadId);
  ReleaseSRWLockExclusive(&context->cancelLock);
  if (context->workerThread != nullptr) return kArrivalWorkerStarted;
  context->workerPhase = kWorkerIdle;
  reportEventFormat(EVENTLOG_ERROR_TYPE, "create update thread fail: %d",
                    static_cast<int>(GetLastError()));
  return kArrivalThreadNotCreated;
}

bool serviceStopped(ServiceContext* context) {
  std::lock_guard<std::mutex> hold(context->stateLock);
  return context->stopReported;
}

// The arrival procedure after the settle wait, for a broadcast's device and
// for one found at start alike.
DWORD arrive(ServiceContext* context, const wchar_t* path, size_t length) {
  std::lock_guard<std::mutex> hold(context->arrivalLock);
  // The running worker reads the context's settings and texts.
  if (workerRunning(context)) {
    reportEvent(EVENTLOG_INFORMATION_TYPE,
                L"update thread is running, ignore device arrival");
    return kArrivalWorkerBusy;
  }
  // An upgrade has ended the service while this arrival waited (one
  // installed service performs one upgrade), or a stop has come.
  if (serviceStopped(context) || context->stopping.load()) {
    reportEvent(EVENTLOG_INFORMATION_TYPE,
                L"service is stopped, ignore device arrival");
    return kArrivalServiceStopped;
  }
  if (!copyDevicePath(context, path, length)) return kArrivalPathRefused;
  const DeviceFamily& family = familyOf(context->devicePath);
  reportArrival(family, context->devicePath);
  DWORD result = readSettings(context, family);
  if (result != kArrivalWorkerStarted) return result;
  reportSettings(context);
  return startWorker(context);
}

// A broadcast's arrival, kept for its settle wait off the handler: the path
// is the broadcast's only for the handler's call.
struct PendingArrival {
  ServiceContext* context;
  bool readable;
  size_t length;  // as broadcast; a path too long is refused after the wait
  wchar_t path[kDevicePathUnits];
};

// Looks again, as the start scan does, whether the device is there: one
// pulled during the settle wait is not upgraded, and the service stays for
// its next arrival. A path the arrival refuses is left to it, with its own
// event. A listing that fails says nothing of the device: the arrival goes
// on, so that an upgrade that may be due is not skipped unseen.
bool goneAfterSettle(const PendingArrival& arrival) {
  if (!arrival.readable || arrival.length >= kDevicePathUnits) return false;
  if (lookForDevice(kUpdateDeviceClass, arrival.path) != PresentDevice::kNone) {
    return false;
  }
  reportEvent(EVENTLOG_INFORMATION_TYPE,
              L"device is gone after the settle wait, ignore device arrival");
  return true;
}

DWORD settleAndArrive(const PendingArrival& arrival) {
  // A stop ended the wait: the arrival says so itself, nothing is listed.
  if (settleUnlessStopping(arrival.context) && goneAfterSettle(arrival)) {
    return kArrivalDeviceGone;
  }
  return arrive(arrival.context, arrival.readable ? arrival.path : nullptr,
                arrival.length);
}

// The broadcast's path, cut to the buffer: one too long is refused after
// the wait by its length, which stays as broadcast.
void keepPath(PendingArrival* arrival, const wchar_t* path) {
  if (path == nullptr) return;
  size_t kept = arrival->length < kDevicePathUnits ? arrival->length
                                                   : kDevicePathUnits - 1;
  std::memcpy(arrival->path, path, kept * sizeof(wchar_t));
  arrival->path[kept] = L'\0';
}

DWORD WINAPI arrivalThread(LPVOID parameter) {
  std::unique_ptr<PendingArrival> arrival(
      static_cast<PendingArrival*>(parameter));
  return settleAndArrive(*arrival);
}

// The settle wait runs on a thread of its own, so that every other control,
// stop included, is answered at once. With no thread to be had it runs
// here, as it once always did.
DWORD onDeviceArrival(ServiceContext* context, const void* eventData) {
  size_t length = 0;
  const wchar_t* path = broadcastPath(eventData, &length);
  std::unique_ptr<PendingArrival> arrival(new (std::nothrow) PendingArrival{
      context, path != nullptr, length, {}});
  if (arrival == nullptr) {
    PendingArrival here{context, path != nullptr, length, {}};
    keepPath(&here, path);
    return settleAndArrive(here);
  }
  keepPath(arrival.get(), path);
  HANDLE thread =
      CreateThread(nullptr, 0, arrivalThread, arrival.get(), 0, nullptr);
  if (thread == nullptr) return settleAndArrive(*arrival);
  arrival.release();
  HANDLE earlier = context->arrivalThread;
  context->arrivalThread = thread;
  if (earlier != nullptr) CloseHandle(earlier);
  return kControlHandled;
}

// Only the device being upgraded takes its worker along. A removal that does
// not say which device went ends the worker as any removal once did.
bool removalConcernsWorker(const ServiceContext* context,
                           const void* eventData) {
  size_t length = 0;
  const wchar_t* path = broadcastPath(eventData, &length);
  return path == nullptr || samePath(path, length, context->devicePath);
}

// A cancelled worker being waited for, off the control handler.
struct CancelWatch {
  ServiceContext* context;
  HANDLE worker;  // a handle of its own: the arrival closes the context's
  DWORD limitMs;
  bool thenStop;  // a stop waits for the worker: report stopped after it
};

// Written first: once the service is reported stopped the dispatcher
// returns and the process may end, also while a thread other than the
// handler's writes the event.
void reportStopped(ServiceContext* context) {
  reportEvent(EVENTLOG_INFORMATION_TYPE, L"service control stop success");
  stopService(context);
}

// While a stop waits for the worker: still stopping, and how far.
void reportStopPending(ServiceContext* context, DWORD checkPoint) {
  std::lock_guard<std::mutex> hold(context->stateLock);
  context->status.dwCheckPoint = checkPoint;
  context->status.dwWaitHint = 2 * kCancelRepeatMs;
  setServiceState(context, SERVICE_STOP_PENDING);
}

// Says the cancel again, unless the worker has ended: then the next one may
// already run, and the cancel is not for it.
void repeatCancel(const CancelWatch& watch) {
  AcquireSRWLockExclusive(&watch.context->cancelLock);
  LetsCancelUpgradeFunction cancel =
      watch.context->workerBinding.cancelUpgrade.load();
  if (cancel != nullptr && WaitForSingleObject(watch.worker, 0) == WAIT_TIMEOUT) {
    cancel();
  }
  ReleaseSRWLockExclusive(&watch.context->cancelLock);
}

// Takes the cancelled worker `worker` for the kill; false when it has ended
// or the library has returned meanwhile: then it is finishing what the
// result says, and must not be ended half way.
bool claimForKill(ServiceContext* context, HANDLE worker) {
  if (WaitForSingleObject(worker, 0) != WAIT_TIMEOUT) return false;
  uint32_t phase = kWorkerEnding;
  return context->workerPhase.compare_exchange_strong(phase, kWorkerKilled);
}

// A killed worker cannot finish its outcome record: the killer does.
void killWorker(HANDLE worker, const wchar_t* familyKey) {
  TerminateThread(worker, kWorkerEnded);
  recordKilledUpgrade(familyKey);
}

// Waits the bounded time for the cancelled worker; kills it only if it is
// still in the library by then.
void awaitCancelledWorker(const CancelWatch& watch) {
  // Taken while the worker runs: once it has ended, an arrival may change
  // the device path.
  const wchar_t* familyKey = familyOf(watch.context->devicePath).registryKey;
  DWORD limit = watch.limitMs;
  DWORD checkPoint = 1;
  for (DWORD waited = 0; waited < limit;) {
    DWORD slice = limit - waited < kCancelRepeatMs ? limit - waited
                                                   : kCancelRepeatMs;
    if (WaitForSingleObject(watch.worker, slice) != WAIT_TIMEOUT) return;
    waited += slice;
    if (watch.thenStop) reportStopPending(watch.context, ++checkPoint);
    // Loaded meanwhile, a library that cannot cancel: its worker saw the
    // claim and waits, holding nothing, to be killed as ever.
    const WorkerBinding& binding = watch.context->workerBinding;
    if (binding.bound.load() && binding.cancelUpgrade.load() == nullptr) {
      if (!claimForKill(watch.context, watch.worker)) return;
      reportEvent(EVENTLOG_ERROR_TYPE, L"update thread is exist, kill thread");
      killWorker(watch.worker, familyKey);
      return;
    }
    repeatCancel(watch);
  }
  if (!claimForKill(watch.context, watch.worker)) return;
  // Killed first, reported after: the report may need a lock the stuck
  // worker holds, which only its end sets free.
  killWorker(watch.worker, familyKey);
  reportEventFormat(EVENTLOG_ERROR_TYPE,
                    "update thread did not end %u ms after cancel, kill thread",
                    static_cast<unsigned>(limit));
}

DWORD WINAPI cancelWatchThread(LPVOID parameter) {
  auto* watch = static_cast<CancelWatch*>(parameter);
  awaitCancelledWorker(*watch);
  if (watch->thenStop) reportStopped(watch->context);
  CloseHandle(watch->worker);
  delete watch;
  return 0;
}

// Waits for the cancelled worker on a thread of its own, so that the control
// handler is free at once. With no thread to be had it waits here, no longer
// than an arrival's settle time.
void watchCancelledWorker(ServiceContext* context, bool thenStop) {
  auto* watch = new (std::nothrow)
      CancelWatch{context, nullptr, context->cancelWaitMs, thenStop};
  if (watch != nullptr &&
      DuplicateHandle(GetCurrentProcess(), context->workerThread,
                      GetCurrentProcess(), &watch->worker, 0, FALSE,
                      DUPLICATE_SAME_ACCESS)) {
    HANDLE thread =
        CreateThread(nullptr, 0, cancelWatchThread, watch, 0, nullptr);
    if (thread != nullptr) {
      CloseHandle(thread);
      return;
    }
    CloseHandle(watch->worker);
  }
  delete watch;
  DWORD limit = context->cancelWaitMs < kArrivalSettleMs ? context->cancelWaitMs
                                                         : kArrivalSettleMs;
  awaitCancelledWorker(
      CancelWatch{context, context->workerThread, limit, thenStop});
  if (thenStop) reportStopped(context);
}

// Ends the worker a removal or a stop has claimed: a library that can cancel
// is asked to, and the worker ends by itself; one that cannot has it killed,
// as ever.
void endClaimedWorker(ServiceContext* context, bool thenStop) {
  WorkerBinding& binding = context->workerBinding;
  if (binding.bound.load() && binding.cancelUpgrade.load() == nullptr) {
    if (claimForKill(context, context->workerThread)) {
      reportEvent(EVENTLOG_ERROR_TYPE, L"update thread is exist, kill thread");
      killWorker(context->workerThread,
                 familyOf(context->devicePath).registryKey);
    }
    if (thenStop) reportStopped(context);
    return;
  }
  reportEvent(EVENTLOG_ERROR_TYPE, L"update thread is exist, cancel upgrade");
  // Not bound yet, the worker sees the claim once the library is loaded and
  // never calls it.
  if (LetsCancelUpgradeFunction cancel = binding.cancelUpgrade.load()) cancel();
  watchCancelledWorker(context, thenStop);
}

DWORD onDeviceRemoval(ServiceContext* context, const void* eventData) {
  reportEvent(EVENTLOG_INFORMATION_TYPE, L"device remove");
  if (!workerRunning(context)) return kControlHandled;
  if (!removalConcernsWorker(context, eventData)) {
    reportEvent(EVENTLOG_INFORMATION_TYPE,
                L"update thread is for another device, ignore device remove");
    return kControlHandled;
  }
  // Once the library has returned, the worker is deleting the file and
  // removing the service: ended there, it would leave both half done.
  uint32_t phase = kWorkerUpgrading;
  if (!context->workerPhase.compare_exchange_strong(phase, kWorkerEnding)) {
    if (phase == kWorkerFinishing) {
      reportEvent(EVENTLOG_INFORMATION_TYPE,
                  L"update thread is finishing, ignore device remove");
    }
    return kControlHandled;
  }
  endClaimedWorker(context, false);
  return kControlHandled;
}

DWORD onDeviceEvent(ServiceContext* context, DWORD eventType,
                    const void* eventData) {
  switch (eventType) {
    case DBT_DEVICEARRIVAL:
      return onDeviceArrival(context, eventData);
    case DBT_DEVICEREMOVECOMPLETE: {
      // Not while an arrival found at start is starting its worker.
      std::lock_guard<std::mutex> hold(context->arrivalLock);
      return onDeviceRemoval(context, eventData);
    }
    default:
      reportEvent(EVENTLOG_INFORMATION_TYPE, L"device event others");
      return kControlHandled;
  }
}

// Answered at once: settle waits end, no worker starts from here on, and a
// running upgrade is cancelled. The service reports itself stopped once the
// worker has ended (at most the cancel's wait), so that the worker either
// finishes what its result says, image and registration together, or
// leaves both.
DWORD onStop(ServiceContext* context) {
  context->stopping = true;
  SetEvent(context->stopSignal);
  std::unique_lock<std::mutex> hold(context->arrivalLock);
  if (!workerRunning(context)) {
    hold.unlock();
    reportStopped(context);
    return kControlHandled;
  }
  reportStopPending(context, 1);
  uint32_t phase = kWorkerUpgrading;
  if (context->workerPhase.compare_exchange_strong(phase, kWorkerEnding)) {
    endClaimedWorker(context, true);
  } else {
    watchCancelledWorker(context, true);
  }
  return kControlHandled;
}

HDEVNOTIFY registerDeviceEvents(SERVICE_STATUS_HANDLE statusHandle) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kUpdateDeviceClass;
  return RegisterDeviceNotificationW(statusHandle, &filter,
                                     DEVICE_NOTIFY_SERVICE_HANDLE);
}

// The service control manager must not be left waiting for a service that
// could not start.
void reportStartFailure(ServiceContext* context, DWORD error) {
  context->status.dwWin32ExitCode = error;
  reportServiceState(context, SERVICE_STOPPED);
}

}  // namespace

ServiceContext* newServiceContext() {
  auto* context = new ServiceContext();
  context->status.dwServiceType = SERVICE_WIN32;
  context->status.dwCurrentState = SERVICE_STOPPED;
  context->cancelWaitMs = kCancelWaitMs;
  InitializeSRWLock(&context->cancelLock);
  context->stopSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return context;
}

bool settleUnlessStopping(ServiceContext* context) {
  // Without the event (it could not be made) the wait is still a wait.
  if (context->stopSignal == nullptr) {
    Sleep(kArrivalSettleMs);
    return !context->stopping.load();
  }
  return WaitForSingleObjectEx(context->stopSignal, kArrivalSettleMs, FALSE) ==
             WAIT_TIMEOUT &&
         !context->stopping.load();
}

void stopService(ServiceContext* context) {
  std::lock_guard<std::mutex> hold(context->stateLock);
  if (context->stopReported) return;
  context->status.dwCheckPoint = 0;
  context->status.dwWaitHint = 0;
  setServiceState(context, SERVICE_STOP_PENDING);
  unregisterDeviceEvents(context);
  setServiceState(context, SERVICE_STOPPED);
}

DWORD onDevicePresent(ServiceContext* context, const wchar_t* devicePath) {
  return arrive(context, devicePath, wcsnlen(devicePath, kDevicePathUnits));
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceContext* context = newServiceContext();
  context->statusHandle = RegisterServiceCtrlHandlerExW(
      kServiceName, ServiceCtrlHandlerEx, context);
  if (context->statusHandle == nullptr) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"register service ctrl handlerEx fail");
    reportEvent(EVENTLOG_ERROR_TYPE, L"initial service fail");
    return;
  }
  // Everything it loads and deletes is on the Windows folder's drive.
  if (systemPaths() == nullptr) {
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "the Windows folder is not a drive's \\Windows folder, "
                      "service not started: %s",
                      windowsFolderName());
    reportStartFailure(context, ERROR_BAD_ENVIRONMENT);
    return;
  }
  context->deviceNotify = registerDeviceEvents(context->statusHandle);
  if (context->deviceNotify == nullptr) {
    DWORD error = GetLastError();
    reportEvent(EVENTLOG_ERROR_TYPE, L"register device notification fail");
    reportEvent(EVENTLOG_ERROR_TYPE, L"initial service fail");
    reportStartFailure(context, error);
    return;
  }
  reportEvent(EVENTLOG_INFORMATION_TYPE, L"initial service success");
  reportServiceState(context, SERVICE_START_PENDING);
  context->status.dwControlsAccepted |=
      SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  reportServiceState(context, SERVICE_RUNNING);
  startPresentDeviceScan(context);
}

DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD eventType,
                                  LPVOID eventData, LPVOID context) {
  auto* serviceContext = static_cast<ServiceContext*>(context);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      return onStop(serviceContext);
    case SERVICE_CONTROL_DEVICEEVENT:
      return onDeviceEvent(serviceContext, eventType, eventData);
    default:
      return kControlHandled;
  }
}

void runService() {
  SERVICE_TABLE_ENTRYW table[] = {
      {const_cast<LPWSTR>(kServiceName), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"start service control dispatcher fail");
  }
  waitForServiceRemoval();
  reportEvent(EVENTLOG_INFORMATION_TYPE, L"runServcie success");
}
