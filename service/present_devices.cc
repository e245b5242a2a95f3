#include "service/present_devices.h"

#include <windows.h>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "service/device_events.h"
#include "service/device_listing.h"

namespace {

DWORD WINAPI scanThread(LPVOID parameter) {
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
  switch (findPresentDevice(kUpdateDeviceClass, path)) {
    case PresentDevice::kNotListed:
      return;
    case PresentDevice::kNone:
      reportEvent(EVENTLOG_INFORMATION_TYPE, L"no device present at start");
      return;
    case PresentDevice::kFound:
      break;
  }
  reportEvent(EVENTLOG_INFORMATION_TYPE, L"device found at start");
  onDevicePresent(context, path);
}

void startPresentDeviceScan(ServiceContext* context) {
  context->scanThread =
      CreateThread(nullptr, 0, scanThread, context, 0, nullptr);
  if (context->scanThread == nullptr) {
    reportEventFormat(EVENTLOG_ERROR_TYPE, "create scan thread fail: %d",
                      static_cast<int>(GetLastError()));
  }
}
