#include "service/service_context.h"

#include "service/awake_hold.h"

ServiceContext* newServiceContext() {
  auto* context = new ServiceContext();
  context->status.dwServiceType = SERVICE_WIN32;
  context->status.dwCurrentState = SERVICE_STOPPED;
  context->cancelWaitMs = kCancelWaitMs;
  context->deviceBackWaitMs = kDeviceBackBoundMs;
  InitializeSRWLock(&context->cancelLock);
  context->stopSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  context->suspendSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  context->deviceBack = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return context;
}

bool workerRunning(const ServiceContext* context) {
  return context->workerThread != nullptr &&
         WaitForSingleObject(context->workerThread, 0) == WAIT_TIMEOUT;
}
