// What every part of the running service shares: its context, the limits of
// the texts it holds, its waits, and what the control handler returns.
#ifndef VELUNOR_SERVICE_SERVICE_CONTEXT_H_
#define VELUNOR_SERVICE_SERVICE_CONTEXT_H_

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "service/device_identity.h"
#include "service/upgrade_worker.h"

// Device interface path, terminating NUL included.
constexpr size_t kDevicePathUnits = MAX_PATH;
// Bytes a registry text may fill; one more byte always stays 0.
constexpr DWORD kSettingTextBytes = MAX_PATH;
// A SHA-256 digest in hexadecimal and its NUL.
constexpr size_t kSha256TextBytes = 65;

struct ServiceContext {
  SERVICE_STATUS status;
  SERVICE_STATUS_HANDLE statusHandle;
  HDEVNOTIFY deviceNotify;
  wchar_t devicePath[kDevicePathUnits];
  char updateFile[kSettingTextBytes + 1];
  HANDLE workerThread;
  DWORD workerThreadId;
  uint8_t bForce;
  uint8_t bUpdate;
  char version[kSettingTextBytes + 1];
  // The family's `sha256` setting, lower case; empty without one.
  char imageSha256[kSha256TextBytes];
  UpgradeThreadParams params;
  std::atomic<uint32_t> workerPhase;  // a WorkerPhase, shared with the worker
  WorkerBinding workerBinding;        // what the worker bound, for a removal
  // Set by the worker when the library tells it the start request is about
  // to go out to the device, cleared when a worker starts: from then on the
  // try may not be undone, only waited for.
  std::atomic<bool> startRequestSent;
  // How long a cancelled worker is given to end before it is killed.
  DWORD cancelWaitMs;
  // Keeps a repeated cancel of an ending worker from reaching the next one:
  // the arrival starts a worker, and the watch cancels, only while holding
  // it. A slim lock, which never allocates.
  SRWLOCK cancelLock;
  // The control handler and the worker both stop the service; the lock keeps
  // the status, its one STOPPED report and the notification in step.
  std::mutex stateLock;
  bool stopReported;
  // The arrival procedure runs for a broadcast on the handler's thread and
  // for a device found at start on the scan's: one at a time, so that one
  // worker starts and its settings and path come from one device.
  std::mutex arrivalLock;
  HANDLE scanThread;  // the scan for present devices; never closed
  // Set by a stop or shutdown: the settle waits end at once, and no worker
  // starts from then on.
  HANDLE stopSignal;
  std::atomic<bool> stopping;
  // The last arrival's settle wait and procedure, run off the handler; its
  // exit code is the arrival's result. Closed when the next one starts.
  HANDLE arrivalThread;
  // The devices whose try ended in this run: none is tried twice.
  ServedDevices served;
  // The look for the next waiting device that a try's end started, with
  // its settle wait. Closed when the next one starts.
  std::atomic<HANDLE> nextThread;
  // Sleep and shutdown (power_events.h, awake_hold.h). Set from a suspend
  // to the resume: settle waits end, and no worker starts.
  HANDLE suspendSignal;
  std::atomic<bool> suspended;
  // Set by an arrival once the start request went out: the device is back.
  HANDLE deviceBack;
  // How long a device told to start is waited for (kDeviceBackBoundMs).
  DWORD deviceBackWaitMs;
  // Set by a shutdown that waits for the device told to start: its stop
  // signal does not end the worker's own wait for it.
  std::atomic<bool> shutdownWaits;
  // The thread that keeps the system awake for the last try; closed when
  // the next one starts.
  HANDLE awakeThread;
};

// What the control handler returns: NO_ERROR for every control it handled,
// else why an arrival started no worker.
enum ControlResult : DWORD {
  kControlHandled = NO_ERROR,
  kArrivalWorkerStarted = NO_ERROR,
  kArrivalWorkerBusy = NO_ERROR,  // a worker runs: the arrival is ignored
  kArrivalServiceStopped = NO_ERROR,  // too late: the service has stopped
  kArrivalDeviceGone = NO_ERROR,  // pulled during the settle wait: ignored
  kArrivalSystemSuspended = NO_ERROR,  // the resume looks for it again
  kArrivalKeyNotOpened = 3,
  kArrivalUpdateFileNotRead = 4,
  kArrivalPathRefused = 5,
  kArrivalThreadNotCreated = 6,
  kArrivalForceNotRead = 12,
  kArrivalUpdateNotRead = 13,
  kArrivalVersionNotRead = 14,
  kArrivalSha256NotRead = 15,
  // The device took this image already, or had its try in this run.
  kArrivalAlreadyServed = NO_ERROR,
};

// How long an arrived device is given to settle before it is looked at. The
// scan for devices present at start waits as long before it looks.
constexpr DWORD kArrivalSettleMs = 15000;
// How long a worker cancelled on a removal is given to end before it is
// killed: longer than the library's one driver call in flight, a write of
// 20 s at most.
constexpr DWORD kCancelWaitMs = 30000;
// While waiting, the cancel is said again this often: one that met the
// library's start was cleared by it.
constexpr DWORD kCancelRepeatMs = 1000;

// A new context as the service starts with it. Never freed: the worker may
// still use it while the process ends.
ServiceContext* newServiceContext();

// Whether the context's worker has started and not yet ended.
bool workerRunning(const ServiceContext* context);

#endif  // VELUNOR_SERVICE_SERVICE_CONTEXT_H_
