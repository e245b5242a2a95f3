#include "service/service_context.h"

ServiceContext* newServiceContext() {
  auto* context = new ServiceContext();
  context->status.dwServiceType = SERVICE_WIN32;
  context->status.dwCurrentState = SERVICE_STOPPED;
  context->cancelWaitMs = kCancelWaitMs;
  InitializeSRWLock(&context->cancelLock);
  context->stopSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return context;
}

bool workerRunning(const ServiceContext* context) {
  return context->workerThread != nullptr &&
         WaitForSingleObject(context->workerThread, 0) == WAIT_TIMEOUT;
}
