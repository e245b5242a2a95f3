// Keeps the PC from sleeping on idle while the service works on a device:
// from the start of a try to its end and, once the start request went out,
// until the device is back (its arrival) or a bound has passed. The state
// belongs to the thread that sets it, so a thread of its own holds it: it
// watches the worker and clears the state however the worker ends, a kill
// included. The display is never kept on.
#ifndef VELUNOR_SERVICE_AWAKE_HOLD_H_
#define VELUNOR_SERVICE_AWAKE_HOLD_H_

#include <windows.h>

#include "service/service_context.h"

// How long a device told to start its update is waited for: long enough to
// write its new firmware and enumerate again, short enough to fit a
// shutdown's wait with the cancel's 30 s beside it.
constexpr DWORD kDeviceBackBoundMs = 120000;

// Lets the worker `context->workerThread`, created suspended, run once the
// system is held awake for it. Without a thread to hold the state the worker
// runs all the same, after an error event: the upgrade matters more.
void startHeldAwake(ServiceContext* context);

// An arrival of the update class: once the start request went out, the
// device is back, and nothing more is waited for.
void noteArrival(ServiceContext* context);

// How a wait for a device told to start ended.
enum class DeviceBackLook { kBoundPassed, kBack, kStopped };

// Waits for the device told to start, a second at a time, until it is back,
// `stop` (may be null) is set, or the context's bound has passed. The device
// is back once its arrival came, or once the listing, having lost it, lists
// it again: an arrival may be missed. `eachSecond` (may be null) is called
// after each second waited, with its count.
DeviceBackLook awaitDeviceBack(ServiceContext* context, HANDLE stop,
                               void (*eachSecond)(ServiceContext* context,
                                                  DWORD seconds));

// After a try whose device was told to start its update, before the service
// goes on (to the next device, or its own removal): waits for the device to
// be back (its arrival) or the bound, and says which. A stop ends the wait,
// unless it comes from a shutdown that waits for the device itself.
void awaitDeviceBackAfterStart(ServiceContext* context);

// Whether the try has crossed the line and is still being waited for: its
// worker runs, or its device is not back yet and the bound has not passed.
bool awaitingDeviceBack(const ServiceContext* context);

#endif  // VELUNOR_SERVICE_AWAKE_HOLD_H_
