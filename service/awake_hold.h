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

// Whether the try has crossed the line and is still being waited for: its
// worker runs, or its device is not back yet and the bound has not passed.
bool awaitingDeviceBack(const ServiceContext* context);

#endif  // VELUNOR_SERVICE_AWAKE_HOLD_H_
