// The settings of a device family, read from its key under
// HKEY_LOCAL_MACHINE when one of its devices arrives: the update file, the
// bForce and bUpdate flags and the version handed to the worker.
#ifndef VELUNOR_SERVICE_FAMILY_SETTINGS_H_
#define VELUNOR_SERVICE_FAMILY_SETTINGS_H_

#include <windows.h>

#include "service/device_family.h"
#include "service/service_context.h"

// Reads `family`'s settings into the context's updateFile, bForce, bUpdate
// and version, in that order. kArrivalWorkerStarted when all four are read;
// else, after the error event that names the first one missing (or the key),
// the ControlResult that says which.
DWORD readSettings(ServiceContext* context, const DeviceFamily& family);

// The settings read, as one event.
void reportSettings(const ServiceContext* context);

#endif  // VELUNOR_SERVICE_FAMILY_SETTINGS_H_
