#include "service/power_events.h"

#include <cstdint>
#include <mutex>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "service/cancel_watch.h"
#include "service/present_devices.h"
#include "service/service_status.h"
#include "service/upgrade_worker.h"

namespace {

// How long a shutdown that saw the device back gives the worker to remove
// the service before it reports stopped.
constexpr DWORD kWorkerAfterDeviceBackMs = 5000;

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

// The shutdown waits with stop pending and a rising checkpoint each second.
void reportWaitedSecond(ServiceContext* context, DWORD seconds) {
  reportStopPending(context, seconds + 1);
}

DWORD WINAPI shutdownWaitThread(LPVOID parameter) {
  auto* context = static_cast<ServiceContext*>(parameter);
  if (awaitDeviceBack(context, nullptr, reportWaitedSecond) ==
      DeviceBackLook::kBack) {
    reportEvent(EVENTLOG_INFORMATION_TYPE,
                L"device is back after the start request, shutdown goes on");
  } else {
    reportEventFormat(EVENTLOG_WARNING_TYPE,
                      "device did not come back %u s after the start request, "
                      "shutdown goes on",
                      static_cast<unsigned>(context->deviceBackWaitMs / 1000));
  }
  // A worker past the library waited for the device too, and goes on to
  // remove the service: the stopped report ends the process, so it is given
  // a moment first.
  if (context->workerThread != nullptr &&
      context->workerPhase.load() == kWorkerFinishing) {
    WaitForSingleObject(context->workerThread, kWorkerAfterDeviceBackMs);
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
  // From here on no arrival starts a worker and no settle wait goes on; a
  // worker waiting for the device goes on waiting.
  context->shutdownWaits = true;
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
