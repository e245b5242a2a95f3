#include "service/present_devices.h"

#include <windows.h>

#include <mutex>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "service/device_events.h"
#include "service/device_family.h"
#include "service/device_listing.h"
#include "service/next_device.h"
#include "service/outcome_record.h"
#include "service/service_status.h"

namespace {

void resolveInterruptedTries() {
  for (size_t i = 0; i < kFamilyCount; ++i) {
    recordKilledUpgrade(familyAt(i).registryKey);
  }
}

DWORD WINAPI scanThread(LPVOID parameter) {
  // No worker of this process has run yet: a record left "upgrading" was
  // left by a process that ended.
  resolveInterruptedTries();
  upgradePresentDevice(static_cast<ServiceContext*>(parameter));
  return 0;
}

}  // namespace

void upgradePresentDevice(ServiceContext* context) {
  // The settle wait of an arrival comes first: at a restart the device may
  // have been enumerated a moment ago, and one that goes away meanwhile is
  // not found, rather than upgraded after it has gone. A stop ends it.
  if (!settleUnlessStopping(context)) return;
  wchar_t path[kDevicePathUnits];
  PresentDevice found = findPresentDevice(kUpdateDeviceClass, path);
  switch (found) {
    case PresentDevice::kNotListed:
      return;
    case PresentDevice::kNone:
      reportEvent(EVENTLOG_INFORMATION_TYPE, L"no device present at start");
      break;
    case PresentDevice::kFound:
      reportEvent(EVENTLOG_INFORMATION_TYPE, L"device found at start");
      break;
  }
  // A device that took its image already is passed over; with every family
  // served (a repair after the upgrade), the service removes itself.
  NextDevice next = lookForNext(context, nullptr);
  if (next.step == NextStep::kUpgrade) {
    onDevicePresent(context, next.path);
    return;
  }
  std::unique_lock<std::mutex> hold(context->arrivalLock);
  if (!serviceStopped(context) && !context->stopping.load()) {
    if (!workerRunning(context)) actOnNext(context, next);
    return;
  }
  // Too late: the device found is ignored as its arrival would be.
  hold.unlock();
  if (found == PresentDevice::kFound) onDevicePresent(context, path);
}

void startPresentDeviceScan(ServiceContext* context) {
  context->scanThread =
      CreateThread(nullptr, 0, scanThread, context, 0, nullptr);
  if (context->scanThread == nullptr) {
    reportEventFormat(EVENTLOG_ERROR_TYPE, "create scan thread fail: %d",
                      static_cast<int>(GetLastError()));
  }
}
