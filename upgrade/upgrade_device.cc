#include "upgrade/upgrade_device.h"

#include <atomic>

#include "upgrade/device_discovery.h"
#include "upgrade/upgrade_cancel.h"
#include "upgrade/usb_transport.h"

namespace {

// Written only by the upgrading thread, at the start and end of its call.
const WCHAR* watchedPath = nullptr;
GUID watchedClass{};
std::atomic<StartRequest> start{StartRequest::kNotSent};
bool startInFlight = false;  // the upgrading thread's own

bool watchedDeviceListed() {
  return watchedPath == nullptr ||
         usb_interface_listed(watchedPath, watchedClass);
}

bool gone(DWORD waitMs) {
  if (upgradeCancelled() || !watchedDeviceListed()) return true;
  if (waitMs == 0 || watchedPath == nullptr) return false;
  return waitMilliseconds(waitMs) || !watchedDeviceListed();
}

}  // namespace

UpgradeDeviceWatch::UpgradeDeviceWatch(const WCHAR* devicePath,
                                       GUID interfaceGuid) {
  watchedPath = devicePath;
  watchedClass = interfaceGuid;
  start = StartRequest::kNotSent;
}

UpgradeDeviceWatch::~UpgradeDeviceWatch() {
  watchedPath = nullptr;
  start = StartRequest::kNotSent;
}

bool deviceGoneAfterFailure(DWORD waitMs) {
  if (!gone(waitMs)) return false;
  setUpgradeCancel();
  return true;
}

void noteStartRequestSent() { start = StartRequest::kSent; }

void noteStartAnswered(bool confirmed) {
  start = confirmed ? StartRequest::kConfirmed : StartRequest::kRefused;
}

StartRequest startRequest() { return start; }

bool startRequestSent() { return start != StartRequest::kNotSent; }

StartRequestInFlight::StartRequestInFlight() { startInFlight = true; }

StartRequestInFlight::~StartRequestInFlight() { startInFlight = false; }

bool startRequestInFlight() { return startInFlight; }

bool upgradeDeviceWentAway() {
  return upgradeCancelled() && !startRequestSent();
}
