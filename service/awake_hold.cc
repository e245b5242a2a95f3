#include "service/awake_hold.h"

#include <memory>
#include <new>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "service/device_listing.h"

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

// One second of the wait: `goneSeen` keeps, between the seconds, that the
// listing lost the device.
DeviceBackLook waitASecondForDevice(ServiceContext* context, HANDLE stop,
                                    bool* goneSeen) {
  HANDLE ends[] = {context->deviceBack, stop};
  DWORD count = stop != nullptr ? 2 : 1;
  DWORD ended =
      WaitForMultipleObjectsEx(count, ends, FALSE, kCancelRepeatMs, FALSE);
  if (ended == WAIT_OBJECT_0) return DeviceBackLook::kBack;
  if (ended == WAIT_OBJECT_0 + 1) return DeviceBackLook::kStopped;
  PresentDevice found = lookForDevice(kUpdateDeviceClass, context->devicePath);
  if (found == PresentDevice::kNone) *goneSeen = true;
  if (found == PresentDevice::kFound && *goneSeen) {
    SetEvent(context->deviceBack);  // ends every other wait for it too
    return DeviceBackLook::kBack;
  }
  return DeviceBackLook::kBoundPassed;
}

}  // namespace

DeviceBackLook awaitDeviceBack(ServiceContext* context, HANDLE stop,
                               void (*eachSecond)(ServiceContext* context,
                                                  DWORD seconds)) {
  bool goneSeen = false;
  DWORD seconds = 0;
  for (DWORD waited = 0; waited < context->deviceBackWaitMs;
       waited += kCancelRepeatMs) {
    DeviceBackLook look = waitASecondForDevice(context, stop, &goneSeen);
    if (look != DeviceBackLook::kBoundPassed) return look;
    if (eachSecond != nullptr) eachSecond(context, ++seconds);
  }
  return WaitForSingleObject(context->deviceBack, 0) == WAIT_OBJECT_0
             ? DeviceBackLook::kBack
             : DeviceBackLook::kBoundPassed;
}

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

void awaitDeviceBackAfterStart(ServiceContext* context) {
  // A library without the start notice crossed the line all the same.
  context->startRequestSent = true;
  if (context->deviceBack == nullptr) return;
  // Its arrival may have come while the library was still running.
  DeviceBackLook look = DeviceBackLook::kBack;
  if (WaitForSingleObject(context->deviceBack, 0) != WAIT_OBJECT_0) {
    reportEvent(EVENTLOG_INFORMATION_TYPE,
                L"device was told to start the update, wait for it to come "
                L"back");
    look = awaitDeviceBack(context, context->stopSignal, nullptr);
    // A shutdown waits for the device too: so does this thread, so that the
    // service it then removes is removed before the process ends.
    if (look == DeviceBackLook::kStopped && context->shutdownWaits.load()) {
      look = awaitDeviceBack(context, nullptr, nullptr);
    }
  }
  switch (look) {
    case DeviceBackLook::kBack:
      reportEvent(EVENTLOG_INFORMATION_TYPE,
                  L"device is back after the start request");
      break;
    case DeviceBackLook::kStopped:
      reportEvent(EVENTLOG_INFORMATION_TYPE,
                  L"service is stopping, device not waited for");
      break;
    case DeviceBackLook::kBoundPassed:
      reportEventFormat(
          EVENTLOG_WARNING_TYPE,
          "device did not come back %u s after the start request",
          static_cast<unsigned>(context->deviceBackWaitMs / 1000));
      break;
  }
}

bool awaitingDeviceBack(const ServiceContext* context) {
  return context->startRequestSent.load() &&
         (workerRunning(context) || running(context->awakeThread));
}
