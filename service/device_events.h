// The device events of the running service: an arrival waits its settle time
// off the control handler, looks again whether its device is there and
// starts the upgrade worker with its family's settings; a removal of the
// device being upgraded ends that worker. A device found present at start
// takes the same arrival procedure.
#ifndef VELUNOR_SERVICE_DEVICE_EVENTS_H_
#define VELUNOR_SERVICE_DEVICE_EVENTS_H_

#include <windows.h>

#include "service/service_context.h"

// A SERVICE_CONTROL_DEVICEEVENT of type `eventType` with its broadcast
// `eventData`, as the control handler gets it; a ControlResult.
DWORD onDeviceEvent(ServiceContext* context, DWORD eventType,
                    const void* eventData);

// Waits the settle time of an arrival; false when a stop, a shutdown or a
// suspend ended the wait.
bool settleUnlessStopping(ServiceContext* context);

// The arrival procedure for a device that was connected before the service
// started, at `devicePath` as its arrival would be announced: what an
// arrival broadcast leads to once it has waited out its settle time.
DWORD onDevicePresent(ServiceContext* context, const wchar_t* devicePath);

// The arrival procedure for a device the service found waiting, with the
// settle wait and the second look of a broadcast's arrival; a ControlResult.
DWORD arriveAfterSettle(ServiceContext* context, const wchar_t* devicePath);

#endif  // VELUNOR_SERVICE_DEVICE_EVENTS_H_
