#include "upgrade/upgrade_device.h"

#include <atomic>

#include "upgrade/device_discovery.h"
#include "upgrade/upgrade_cancel.h"
#include "upgrade/usb_transport.h"

namespace {

// Written only by the upgrading thread, at the start and end of its call.
const WCHAR* watchedPath = nullptr;
GUID watchedClass{};
std::atomic<bool> started{false};
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
  started = false;
}

UpgradeDeviceWatch::~UpgradeDeviceWatch() { watchedPath = nullptr; }

bool deviceGoneAfterFailure(DWORD waitMs) {
  if (!gone(waitMs)) return false;
  setUpgradeCancel();
  return true;
}

void noteStartAccepted() { started = true; }

StartRequestInFlight::StartRequestInFlight() { startInFlight = true; }

StartRequestInFlight::~StartRequestInFlight() { startInFlight = false; }

bool startRequestInFlight() { return startInFlight; }

bool startAccepted() { return started; }

bool upgradeDeviceWentAway() { return upgradeCancelled() && !started; }
