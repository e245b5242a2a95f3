// The device families of the update devices, told apart by the product ID in
// the device interface path. The service picks the settings of an arrived
// device by it; the runner shows which family the service would pick.
#ifndef VELUNOR_SERVICE_DEVICE_FAMILY_H_
#define VELUNOR_SERVICE_DEVICE_FAMILY_H_

#include <cstddef>

struct DeviceFamily {
  const wchar_t* name;
  // Product IDs ("PID_xxxx") that make a device one of the family.
  const wchar_t* productIds[3];
  const wchar_t* arrivalText;
  const wchar_t* registryKey;  // under HKEY_LOCAL_MACHINE
  const wchar_t* keyFailureText;
};

// Every family, "other" last: kFamilyCount of them.
constexpr size_t kFamilyCount = 3;
const DeviceFamily& familyAt(size_t index);

// The family of the device at `devicePath`: the first whose product ID is the
// product ID part of the path's device ID field ("VID_xxxx&PID_xxxx" after
// the bus), else "other". Letter case counts, the vendor ID does not, and the
// serial number and class that follow are never read.
const DeviceFamily& familyOf(const wchar_t* devicePath);

// Puts an interface path that enumeration gives in any letter case into the
// form the system announces an arrival with: the device instance part (bus,
// vendor and product IDs, serial number) in capitals, the class GUID as it
// is. The family rule reads the product ID in capitals, so a device found by
// enumeration must be judged on this form to get the family its arrival
// would get.
void toAnnouncedPath(wchar_t* path);

// Whether the `length` units at `path` and the terminated `other` name the
// same device: whatever the case of their ASCII letters, as the upgrade
// library matches them; other letters must agree.
bool samePath(const wchar_t* path, size_t length, const wchar_t* other);

#endif  // VELUNOR_SERVICE_DEVICE_FAMILY_H_
