#include "service/service_runtime.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <cstdint>
#include <mutex>

#include "common/event_report.h"
#include "common/system_paths.h"
#include "common/upgrade_contract.h"
#include "service/cancel_watch.h"
#include "service/device_events.h"
#include "service/power_events.h"
#include "service/present_devices.h"
#include "service/service_context.h"
#include "service/service_identity.h"
#include "service/service_status.h"
#include "service/upgrade_worker.h"

namespace {

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

// Sleep and shutdown are announced to the service (power_events.h).
constexpr DWORD kAcceptedPowerControls =
    SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_PRESHUTDOWN;

// The service control manager must not be left waiting for a service that
// could not start.
void reportStartFailure(ServiceContext* context, DWORD error) {
  context->status.dwWin32ExitCode = error;
  reportServiceState(context, SERVICE_STOPPED);
}

}  // namespace

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
      SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | kAcceptedPowerControls;
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
    case SERVICE_CONTROL_PRESHUTDOWN:
      if (waitForDeviceAtShutdown(serviceContext)) return kControlHandled;
      return onStop(serviceContext);
    case SERVICE_CONTROL_POWEREVENT:
      return onPowerEvent(serviceContext, eventType);
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
