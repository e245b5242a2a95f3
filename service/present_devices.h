// The devices of the update class that are already connected when the
// service starts. Nobody plugs a device in at an unattended PC: one that was
// there before the service (at installation, or enumerated before the
// service registered at a restart) is upgraded as if it had just arrived.
#ifndef VELUNOR_SERVICE_PRESENT_DEVICES_H_
#define VELUNOR_SERVICE_PRESENT_DEVICES_H_

#include "service/service_context.h"

// The scan itself: after the settle wait of an arrival, reports whether a
// device is present and hands the first one to the arrival procedure
// (onDevicePresent).
void upgradePresentDevice(ServiceContext* context);

// Runs upgradePresentDevice on a thread of its own, so the service's start
// never waits for it; the thread's handle goes to `context->scanThread`.
void startPresentDeviceScan(ServiceContext* context);

#endif  // VELUNOR_SERVICE_PRESENT_DEVICES_H_
