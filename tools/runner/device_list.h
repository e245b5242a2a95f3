// The devices a person can update: every interface of the update class that
// AdbWinApi enumerates, named as the system announces its arrival to the
// service, with the family the service would pick for it and its serial
// number.
#ifndef VELUNOR_TOOLS_RUNNER_DEVICE_LIST_H_
#define VELUNOR_TOOLS_RUNNER_DEVICE_LIST_H_

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "service/device_family.h"

struct ListedDevice {
  std::wstring path;  // as announced: the library accepts it as DEVICE_PATH
  const DeviceFamily* family;
  bool hasSerial;
  std::string serial;
};

// What listing found. An enumeration that AdbWinApi refused, or that failed
// before its end, is not `enumerated` and keeps its reason; it lists what it
// reached.
struct DeviceList {
  bool bound = false;  // false: `module` lacks one of the calls
  bool enumerated = false;
  DWORD error = 0;  // when not enumerated
  std::vector<ListedDevice> devices;
};

// Lists through the AdbWinApi.dll loaded as `module`: the same calls and
// filters the upgrade library uses to find a device. Each interface is opened
// a moment for its serial number.
DeviceList listDevices(HMODULE module, GUID interfaceClass);

// What a listing says of one device now.
enum class DevicePresence { kListed, kMissing, kUnknown };

// Whether the upgrade library would find the device at `devicePath` now: the
// path in small letters is the name of an enumerated interface. kUnknown
// when the listing failed, at its start or part way, which says nothing of
// the device: only a complete listing that lacks it says kMissing. Opens
// nothing, so it can be asked while the library has the device open.
DevicePresence devicePresence(HMODULE module, GUID interfaceClass,
                              const std::wstring& devicePath);

// The path the system gives an arriving interface for the name AdbWinApi
// enumerates, by the service's own rule (toAnnouncedPath): the device
// instance part in capitals, the class GUID as it is. The service's family
// rule looks for the product ID in capitals, so it is decided on this form.
std::wstring announcedPath(const wchar_t* interfaceName);

// One line: the path, the family, the serial number.
void printDevice(FILE* out, const ListedDevice& device);

// The ANSI code page form of a wide text, for standard output and error.
std::string narrow(const std::wstring& text);

#endif  // VELUNOR_TOOLS_RUNNER_DEVICE_LIST_H_
