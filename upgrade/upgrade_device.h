// The device of the upgrade in progress, as the library judges what happened
// to it: whether it went away, and whether it has passed the point of no
// return, the start request handed to the transport. Before that point a
// device that went away is an upgrade not done; after it, the device may be
// restarting into its new firmware (it may take the request and restart
// before it answers), and its going only ends the library's waits.
#ifndef VELUNOR_UPGRADE_UPGRADE_DEVICE_H_
#define VELUNOR_UPGRADE_UPGRADE_DEVICE_H_

#include "platform/win32.h"

// How long a failed bulk write waits for the caller's cancel before the
// device is taken as still there: a pulled cable fails the write at once,
// and the removal's broadcast reaches the caller a moment later.
constexpr DWORD kDeviceGoneWaitMs = 3000;

// The device of one call of the export, for as long as the call runs (the
// path is the caller's and is not kept after it). The start request is the
// call's own: none when it begins and when it ends.
class UpgradeDeviceWatch {
 public:
  UpgradeDeviceWatch(const WCHAR* devicePath, GUID interfaceGuid);
  ~UpgradeDeviceWatch();
  UpgradeDeviceWatch(const UpgradeDeviceWatch&) = delete;
  UpgradeDeviceWatch& operator=(const UpgradeDeviceWatch&) = delete;
};

// After a transport call failed: true when the device is gone, that is the
// cancel has come, or the device's interface is no longer listed, or within
// `waitMs` the cancel comes or the interface leaves the listing. A gone
// device is sent nothing more (the cancel signal is set). A listing that
// fails says nothing: the device counts as there. Outside an upgrade (no
// device watched) only the cancel counts.
bool deviceGoneAfterFailure(DWORD waitMs);

// The start request of the running call, from the host's side.
enum class StartRequest {
  kNotSent,
  kSent,       // handed to the transport; the device has not confirmed it
  kConfirmed,  // the status read after it says success
  kRefused,    // the status read after it says failure
};

// Called just before the start request is handed to the transport: from
// here on the device may have changed, and the call sends it nothing more.
void noteStartRequestSent();
// The status read after the start request succeeded, with this status.
void noteStartAnswered(bool confirmed);
StartRequest startRequest();
bool startRequestSent();

// While it lives, a failed control request is not tried again: the start
// request, which a device may take and restart on before its answer comes
// back, is sent to it once.
class StartRequestInFlight {
 public:
  StartRequestInFlight();
  ~StartRequestInFlight();
  StartRequestInFlight(const StartRequestInFlight&) = delete;
  StartRequestInFlight& operator=(const StartRequestInFlight&) = delete;
};
bool startRequestInFlight();

// The upgrade is not done because the device went away (or the caller said
// so) before a start request was handed to the transport.
bool upgradeDeviceWentAway();

#endif  // VELUNOR_UPGRADE_UPGRADE_DEVICE_H_
