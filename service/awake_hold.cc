#include "service/awake_hold.h"

#include <memory>
#include <new>

#include "common/event_report.h"

namespace {

struct AwakeHold {
  ServiceContext* context;
  HANDLE worker;  // a handle of its own: the next arrival closes the context's
};

bool running(HANDLE thread) {
  return thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

DWORD WINAPI holdAwake(LPVOID parameter) {
  std::unique_ptr<AwakeHold> hold(static_cast<AwakeHold*>(parameter));
  ServiceContext* context = hold->context;
  SetThreadExecutionState(ES_SYSTEM_REQUIRED | ES_CONTINUOUS);
  ResumeThread(hold->worker);
  WaitForSingleObject(hold->worker, INFINITE);
  // A device told to start may be writing its firmware: a sleep now could
  // take its power.
  if (context->startRequestSent.load()) {
    WaitForSingleObjectEx(context->deviceBack, context->deviceBackWaitMs, FALSE);
  }
  SetThreadExecutionState(ES_CONTINUOUS);
  CloseHandle(hold->worker);
  return 0;
}

}  // namespace

void startHeldAwake(ServiceContext* context) {
  // The new try has not crossed the line, and its device has not left.
  context->startRequestSent = false;
  ResetEvent(context->deviceBack);
  if (context->awakeThread != nullptr) CloseHandle(context->awakeThread);
  context->awakeThread = nullptr;
  std::unique_ptr<AwakeHold> hold(new (std::nothrow)
                                      AwakeHold{context, nullptr});
  if (hold != nullptr &&
      DuplicateHandle(GetCurrentProcess(), context->workerThread,
                      GetCurrentProcess(), &hold->worker, 0, FALSE,
                      DUPLICATE_SAME_ACCESS)) {
    context->awakeThread =
        CreateThread(nullptr, 0, holdAwake, hold.get(), 0, nullptr);
    if (context->awakeThread != nullptr) {
      hold.release();
      return;
    }
    CloseHandle(hold->worker);
  }
  reportEventFormat(EVENTLOG_ERROR_TYPE,
                    "keep awake thread not created, upgrade goes on: %d",
                    static_cast<int>(GetLastError()));
  ResumeThread(context->workerThread);
}

void noteArrival(ServiceContext* context) {
  if (context->startRequestSent.load()) SetEvent(context->deviceBack);
}

bool awaitingDeviceBack(const ServiceContext* context) {
  return context->startRequestSent.load() &&
         (workerRunning(context) || running(context->awakeThread));
}
