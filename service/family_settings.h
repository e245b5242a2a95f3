// The settings of a device family, read from its key under
// HKEY_LOCAL_MACHINE when one of its devices arrives: the update file, the
// bForce and bUpdate flags and the version handed to the worker.
#ifndef VELUNOR_SERVICE_FAMILY_SETTINGS_H_
#define VELUNOR_SERVICE_FAMILY_SETTINGS_H_

#include <windows.h>

#include "service/device_family.h"
#include "service/service_context.h"

// Reads `family`'s settings into the context's updateFile, bForce, bUpdate
// and version, in that order, then its optional `sha256`.
// kArrivalWorkerStarted when all are read; else, after the error event that
// names the first one missing or, for `sha256`, not a SHA-256 digest (or
// the key), the ControlResult that says which.
DWORD readSettings(ServiceContext* context, const DeviceFamily& family);

// The image a family's settings name, for a look at the devices that wait
// for it: read quietly, since most families have no settings on a PC.
struct FamilyImage {
  char updateFile[kSettingTextBytes + 1];
  char sha256[kSha256TextBytes];  // empty without the setting
};

// False when the family has no settings (no key, or no update file).
bool readFamilyImage(const DeviceFamily& family, FamilyImage* image);

// The settings read, as one event.
void reportSettings(const ServiceContext* context);

#endif  // VELUNOR_SERVICE_FAMILY_SETTINGS_H_
