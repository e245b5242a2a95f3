#include "service/power_events.h"

#include <cstdint>
#include <mutex>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "service/cancel_watch.h"
#include "service/device_listing.h"
#include "service/present_devices.h"
#include "service/service_status.h"
#include "service/upgrade_worker.h"

namespace {

// Windows gives a suspend about two seconds: whatever runs is told at once,
// and the settle waits end, so that no worker starts as the PC goes down.
void onSuspend(ServiceContext* context) {
  context->suspended = true;
  SetEvent(context->suspendSignal);
  std::lock_guard<std::mutex> hold(context->arrivalLock);
  if (awaitingDeviceBack(context)) {
    reportEvent(EVENTLOG_WARNING_TYPE,
                L"system is suspending after the start request, upgrade goes "
                L"on");
    return;
  }
  if (!workerRunning(context)) return;
  // As a removal does: only a worker still in the library is cancelled.
  uint32_t phase = kWorkerUpgrading;
  if (!context->workerPhase.compare_exchange_strong(phase, kWorkerEnding)) {
    return;
  }
  reportEvent(EVENTLOG_INFORMATION_TYPE, L"system is suspending, cancel upgrade");
  endClaimedWorker(context, false);
}

// The devices that were there before the suspend may be there again, and
// announce no arrival: the start scan's procedure looks for them.
void onResume(ServiceContext* context) {
  context->suspended = false;
  ResetEvent(context->suspendSignal);
  if (context->stopping.load() || serviceStopped(context)) return;
  // A scan still running (past its settle wait) finds the device itself.
  if (context->scanThread != nullptr &&
      WaitForSingleObject(context->scanThread, 0) == WAIT_TIMEOUT) {
    return;
  }
  reportEvent(EVENTLOG_INFORMATION_TYPE,
              L"system resumed, look for present devices");
  if (context->scanThread != nullptr) CloseHandle(context->scanThread);
  startPresentDeviceScan(context);
}

// Whether the device, once seen gone from the listing, is listed again:
// while the service stops, no arrival may reach it.
bool listedAgain(const ServiceContext* context, bool* goneSeen) {
  PresentDevice found = lookForDevice(kUpdateDeviceClass, context->devicePath);
  if (found == PresentDevice::kNone) *goneSeen = true;
  return found == PresentDevice::kFound && *goneSeen;
}

// Waits, reporting stop pending with a rising checkpoint each second, until
// the device is back or the bound has passed; whether it came back.
bool awaitDeviceBack(ServiceContext* context) {
  bool goneSeen = false;
  DWORD checkPoint = 1;
  for (DWORD waited = 0; waited < context->deviceBackWaitMs;
       waited += kCancelRepeatMs) {
    if (WaitForSingleObjectEx(context->deviceBack, kCancelRepeatMs, FALSE) ==
        WAIT_OBJECT_0) {
      return true;
    }
    reportStopPending(context, ++checkPoint);
    if (listedAgain(context, &goneSeen)) {
      SetEvent(context->deviceBack);  // ends the awake hold too
      return true;
    }
  }
  return WaitForSingleObject(context->deviceBack, 0) == WAIT_OBJECT_0;
}

DWORD WINAPI shutdownWaitThread(LPVOID parameter) {
  auto* context = static_cast<ServiceContext*>(parameter);
  if (awaitDeviceBack(context)) {
    reportEvent(EVENTLOG_INFORMATION_TYPE,
                L"device is back after the start request, shutdown goes on");
  } else {
    reportEventFormat(EVENTLOG_WARNING_TYPE,
                      "device did not come back %u s after the start request, "
                      "shutdown goes on",
                      static_cast<unsigned>(context->deviceBackWaitMs / 1000));
  }
  reportStopped(context);
  return 0;
}

}  // namespace

DWORD onPowerEvent(ServiceContext* context, DWORD eventType) {
  switch (eventType) {
    case PBT_APMSUSPEND:
      onSuspend(context);
      break;
    case PBT_APMRESUMEAUTOMATIC:
      onResume(context);
      break;
    default:
      break;
  }
  return kControlHandled;
}

bool waitForDeviceAtShutdown(ServiceContext* context) {
  std::unique_lock<std::mutex> hold(context->arrivalLock);
  if (!awaitingDeviceBack(context)) {
    if (workerRunning(context) &&
        context->workerPhase.load() == kWorkerUpgrading) {
      reportEvent(EVENTLOG_INFORMATION_TYPE,
                  L"system is shutting down, cancel upgrade");
    }
    return false;
  }
  // From here on no arrival starts a worker and no settle wait goes on.
  context->stopping = true;
  SetEvent(context->stopSignal);
  hold.unlock();
  reportEvent(EVENTLOG_INFORMATION_TYPE,
              L"system is shutting down after the start request, wait for "
              L"the device");
  reportStopPending(context, 1);
  HANDLE thread =
      CreateThread(nullptr, 0, shutdownWaitThread, context, 0, nullptr);
  if (thread == nullptr) {
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "create shutdown wait thread fail, shutdown goes on: %d",
                      static_cast<int>(GetLastError()));
    reportStopped(context);
    return true;
  }
  CloseHandle(thread);
  return true;
}

bool arrivalRefusedWhileSuspended(ServiceContext* context) {
  if (!context->suspended.load()) return false;
  reportEvent(EVENTLOG_INFORMATION_TYPE,
              L"system is suspended, ignore device arrival");
  return true;
}
