#include "service/service_status.h"

#include "common/event_report.h"

namespace {

// Reports `state` to the service control manager; with the state lock held.
// A service reported stopped reports nothing more: the status never goes
// back from STOPPED.
void setServiceState(ServiceContext* context, DWORD state) {
  if (context->stopReported) return;
  context->status.dwCurrentState = state;
  SetServiceStatus(context->statusHandle, &context->status);
  if (state == SERVICE_STOPPED) context->stopReported = true;
}

// Stops the device notifications, once; with the state lock held.
void unregisterDeviceEvents(ServiceContext* context) {
  if (context->deviceNotify == nullptr) return;
  UnregisterDeviceNotification(context->deviceNotify);
  context->deviceNotify = nullptr;
}

}  // namespace

void reportServiceState(ServiceContext* context, DWORD state) {
  std::lock_guard<std::mutex> hold(context->stateLock);
  setServiceState(context, state);
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

void reportStopPending(ServiceContext* context, DWORD checkPoint) {
  std::lock_guard<std::mutex> hold(context->stateLock);
  context->status.dwCheckPoint = checkPoint;
  context->status.dwWaitHint = 2 * kCancelRepeatMs;
  setServiceState(context, SERVICE_STOP_PENDING);
}

// Written first: once the service is reported stopped the dispatcher
// returns and the process may end, also while a thread other than the
// handler's writes the event.
void reportStopped(ServiceContext* context) {
  reportEvent(EVENTLOG_INFORMATION_TYPE, L"service control stop success");
  stopService(context);
}

bool serviceStopped(ServiceContext* context) {
  std::lock_guard<std::mutex> hold(context->stateLock);
  return context->stopReported;
}
