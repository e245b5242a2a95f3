// Finding and opening the device interface that has just arrived: the
// interface of the class whose name equals the device path, opened with its
// default bulk endpoints, examined and offered to an acceptance callback.
#ifndef VELUNOR_UPGRADE_DEVICE_DISCOVERY_H_
#define VELUNOR_UPGRADE_DEVICE_DISCOVERY_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "adbwinapi/adb_api.h"
#include "platform/win32.h"
#include "upgrade/usb_transport.h"

constexpr size_t kSerialNumberBytes = 256;
constexpr size_t kVendorTextBytes = 32;
// One enumeration entry as AdbNextInterface fills it; the name starts at
// byte 20, behind the class identifier and the flags word.
constexpr AdbULong kInterfaceEntryBytes = 2048;
constexpr size_t kInterfaceEntryNameOffset = 20;
// The lower-cased device path, terminator included: longer paths never match.
constexpr size_t kMatchingPathUnits = 1024;

// A candidate interface, as the acceptance callback sees it.
struct DeviceMatchInfo {
  uint16_t vendor_id;
  uint16_t product_id;
  uint8_t device_class;
  uint8_t device_subclass;
  uint8_t device_protocol;
  uint8_t interface_class;
  uint8_t interface_subclass;
  uint8_t interface_protocol;
  uint8_t fixed_flags[3];  // always 0, 1, 1
  char serial_number[kSerialNumberBytes];
  char vendor_text[kVendorTextBytes];  // always empty
};

// 0 accepts the device and ends the search; anything else rejects it. The
// record is valid only during the call.
using DeviceMatchCallback = int32_t (*)(const DeviceMatchInfo* info);

// A transport open on the interface named `devicePath` (any letter case),
// or null when none was found, opened and accepted.
std::unique_ptr<WindowsUsbTransport> open_usb_transport(
    DeviceMatchCallback callback, const WCHAR* devicePath, GUID interfaceGuid);

// The opened and accepted interface with its zlp_mask set, or null.
std::unique_ptr<UsbDeviceHandle> find_usb_device(DeviceMatchCallback callback,
                                                 const WCHAR* devicePath,
                                                 GUID interfaceGuid);

// The interface with its two bulk endpoints open and its name read, or null
// (last error: the reason).
std::unique_ptr<UsbDeviceHandle> do_usb_open(const AdbWideChar* interface_name);

// Whether an interface of the class named `devicePath` (any letter case) is
// listed now; also true when the listing itself fails, which says nothing of
// the device. Opens nothing.
bool usb_interface_listed(const WCHAR* devicePath, GUID interfaceGuid);

// Logs the serial number of the offered device and accepts it.
int32_t log_device_match(const DeviceMatchInfo* info);

#endif  // VELUNOR_UPGRADE_DEVICE_DISCOVERY_H_
