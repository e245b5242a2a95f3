// Sleep and shutdown of the PC while the service works on a device. Before
// the start request went out, a try may be undone: a suspend or a shutdown
// cancels it, it ends as not done, and the device is upgraded when it is seen
// again. After it, the device may be writing its new firmware: a suspend is
// only recorded, and a shutdown waits, reporting its progress, until the
// device is back or the bound has passed.
#ifndef VELUNOR_SERVICE_POWER_EVENTS_H_
#define VELUNOR_SERVICE_POWER_EVENTS_H_

#include <windows.h>

#include "service/awake_hold.h"
#include "service/service_context.h"

// What the installation asks the service manager to wait at shutdown for the
// service to stop: the wait for a device told to start, and the cancel's
// wait beside it.
constexpr DWORD kPreshutdownTimeoutMs = kDeviceBackBoundMs + kCancelWaitMs;

// A SERVICE_CONTROL_POWEREVENT of type `eventType`; a ControlResult.
DWORD onPowerEvent(ServiceContext* context, DWORD eventType);

// A SERVICE_CONTROL_PRESHUTDOWN: true when the start request has gone out
// and the service waits for its device, off the handler, before it reports
// stopped; false when the caller is to stop the service as for a stop (a
// running try is cancelled).
bool waitForDeviceAtShutdown(ServiceContext* context);

// True, after the event that says so, while the system is suspended: the
// arrival procedure starts no worker then.
bool arrivalRefusedWhileSuspended(ServiceContext* context);

#endif  // VELUNOR_SERVICE_POWER_EVENTS_H_
