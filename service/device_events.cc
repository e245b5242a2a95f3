#include "service/device_events.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "service/awake_hold.h"
#include "service/cancel_watch.h"
#include "service/device_family.h"
#include "service/device_listing.h"
#include "service/family_settings.h"
#include "service/next_device.h"
#include "service/update_image.h"
#include "service/power_events.h"
#include "service/service_status.h"
#include "service/upgrade_worker.h"

namespace {

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
  ReportEventW(eventSource, EVENTLOG_INFORMATION_TYPE, 0, takeEventId(2),
               nullptr, 2, 0, strings, nullptr);
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
  params.imageSha256 = context->imageSha256;
  closeEndedWorker(context);
  context->startRequestSent = false;
  // A removal from the first instruction of the worker on may end it.
  context->workerPhase = kWorkerUpgrading;
  context->workerBinding.bound = false;
  context->workerBinding.cancelUpgrade = nullptr;
  AcquireSRWLockExclusive(&context->cancelLock);
  context->workerThread =
      CreateThread(nullptr, 0, updateThread, &params, CREATE_SUSPENDED,
                   &context->workerThreadId);
  ReleaseSRWLockExclusive(&context->cancelLock);
  if (context->workerThread != nullptr) {
    startHeldAwake(context);
    return kArrivalWorkerStarted;
  }
  context->workerPhase = kWorkerIdle;
  reportEventFormat(EVENTLOG_ERROR_TYPE, "create update thread fail: %d",
                    static_cast<int>(GetLastError()));
  return kArrivalThreadNotCreated;
}

// One try for each device and image: a device that had its try in this run
// is left be, and one that took this image is never sent it again; the
// service then looks for who else waits.
bool alreadyServed(ServiceContext* context, const DeviceFamily& family) {
  if (context->served.contains(identityOf(context->devicePath))) {
    reportEvent(EVENTLOG_INFORMATION_TYPE,
                L"device had its update try, ignore device arrival");
    return true;
  }
  ImageDigest image = imageDigestOf(context->updateFile, context->imageSha256);
  if (!alreadyTookImage(context, family, context->devicePath, image)) {
    return false;
  }
  actOnNext(context, lookForNext(context, nullptr));
  return true;
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
  if (arrivalRefusedWhileSuspended(context)) return kArrivalSystemSuspended;
  if (!copyDevicePath(context, path, length)) return kArrivalPathRefused;
  const DeviceFamily& family = familyOf(context->devicePath);
  reportArrival(family, context->devicePath);
  DWORD result = readSettings(context, family);
  if (result != kArrivalWorkerStarted) return result;
  reportSettings(context);
  if (alreadyServed(context, family)) return kArrivalAlreadyServed;
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

}  // namespace

DWORD onDeviceEvent(ServiceContext* context, DWORD eventType,
                    const void* eventData) {
  switch (eventType) {
    case DBT_DEVICEARRIVAL:
      noteArrival(context);
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

bool settleUnlessStopping(ServiceContext* context) {
  // Without the events (they could not be made) the wait is still a wait.
  if (context->stopSignal == nullptr || context->suspendSignal == nullptr) {
    Sleep(kArrivalSettleMs);
    return !context->stopping.load();
  }
  // A suspend ends it too: the resume looks for the device again.
  HANDLE ends[] = {context->stopSignal, context->suspendSignal};
  return WaitForMultipleObjectsEx(2, ends, FALSE, kArrivalSettleMs, FALSE) ==
             WAIT_TIMEOUT &&
         !context->stopping.load() && !context->suspended.load();
}

DWORD onDevicePresent(ServiceContext* context, const wchar_t* devicePath) {
  return arrive(context, devicePath, wcsnlen(devicePath, kDevicePathUnits));
}

DWORD arriveAfterSettle(ServiceContext* context, const wchar_t* devicePath) {
  PendingArrival arrival{context, true, wcsnlen(devicePath, kDevicePathUnits),
                         {}};
  keepPath(&arrival, devicePath);
  return settleAndArrive(arrival);
}
