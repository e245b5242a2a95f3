#include "upgrade/device_discovery.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "common/event_report.h"
#include "common/unique_handle.h"

namespace {

constexpr bool kExcludeNotPresent = true;
constexpr bool kExcludeRemoved = true;
constexpr bool kActiveOnly = true;
constexpr bool kAnsi = true;
constexpr unsigned char kFirstEndpoint = 0;
constexpr uint8_t kExpectedEndpoints = 1;
// No interface name comes near this; a larger answer is not trusted.
constexpr AdbULong kMaxInterfaceNameChars = 32768;
constexpr size_t kEntryNameUnits =
    (kInterfaceEntryBytes - kInterfaceEntryNameOffset) / sizeof(AdbWideChar);

// The enumeration handle, closed on every way out of the search.
struct EnumerationTraits {
  using Handle = ADBAPIHANDLE;
  static constexpr Handle kNone = nullptr;
  static void close(Handle handle) { AdbCloseHandle(handle); }
};
using Enumeration = UniqueHandle<EnumerationTraits>;

// One entry of the enumeration, aligned so that its name can be read as
// UTF-16 in place.
struct InterfaceEntry {
  alignas(8) uint8_t bytes[kInterfaceEntryBytes];

  const AdbWideChar* name() const {
    return reinterpret_cast<const AdbWideChar*>(bytes +
                                                kInterfaceEntryNameOffset);
  }
};

// The device path with its ASCII capitals made small; false when it does not
// fit, and then nothing may match it.
bool lowerCaseCopy(const WCHAR* devicePath,
                   AdbWideChar (&copy)[kMatchingPathUnits]) {
  size_t length = wideLength(devicePath);
  if (length >= kMatchingPathUnits) return false;
  for (size_t i = 0; i <= length; ++i) {
    AdbWideChar unit = static_cast<AdbWideChar>(devicePath[i]);
    if (unit >= 'A' && unit <= 'Z') unit = static_cast<AdbWideChar>(unit + 32);
    copy[i] = unit;
  }
  return true;
}

// Unit by unit, terminators included. A name without a terminator inside
// the entry matches nothing.
bool sameName(const AdbWideChar* path, const InterfaceEntry& entry) {
  const AdbWideChar* name = entry.name();
  for (size_t i = 0; i < kEntryNameUnits; ++i) {
    if (path[i] != name[i]) return false;
    if (path[i] == 0) return true;
  }
  return false;
}

// The descriptors and the one bulk endpoint that make a usable candidate;
// sets zlp_mask from the endpoint's packet size.
bool examine(UsbDeviceHandle* candidate, AdbUsbDeviceDescriptor* device,
             AdbUsbInterfaceDescriptor* interface) {
  AdbEndpointInformation endpoint{};
  if (!AdbGetUsbDeviceDescriptor(candidate->interface_handle, device)) {
    return false;
  }
  if (!AdbGetUsbInterfaceDescriptor(candidate->interface_handle, interface)) {
    return false;
  }
  if (interface->bNumEndpoints != kExpectedEndpoints) return false;
  if (!AdbGetEndpointInformation(candidate->interface_handle, kFirstEndpoint,
                                 &endpoint)) {
    return false;
  }
  candidate->zlp_mask = static_cast<uint32_t>(endpoint.max_packet_size) - 1u;
  return true;
}

void describe(const UsbDeviceHandle& candidate,
              const AdbUsbDeviceDescriptor& device,
              const AdbUsbInterfaceDescriptor& interface,
              DeviceMatchInfo* info) {
  *info = DeviceMatchInfo{};
  info->vendor_id = device.idVendor;
  info->product_id = device.idProduct;
  info->device_class = device.bDeviceClass;
  info->device_subclass = device.bDeviceSubClass;
  info->device_protocol = device.bDeviceProtocol;
  info->interface_class = interface.bInterfaceClass;
  info->interface_subclass = interface.bInterfaceSubClass;
  info->interface_protocol = interface.bInterfaceProtocol;
  info->fixed_flags[0] = 0;
  info->fixed_flags[1] = 1;
  info->fixed_flags[2] = 1;
  AdbULong size = kSerialNumberBytes;
  if (AdbGetSerialNumber(candidate.interface_handle, info->serial_number, &size,
                         kAnsi)) {
    info->serial_number[kSerialNumberBytes - 1] = '\0';
  } else {
    info->serial_number[0] = '\0';
  }
  info->vendor_text[0] = '\0';
}

void dropCandidate(std::unique_ptr<UsbDeviceHandle> candidate) {
  close_device_handles(candidate.get());
}

// The failure of steps after the interface was created: one text for all of
// them, every handle closed, the reason left in the last error.
std::unique_ptr<UsbDeviceHandle> openFailed(
    std::unique_ptr<UsbDeviceHandle> record) {
  int error = static_cast<int>(GetLastError());
  errno = error;
  reportEventFormat(EVENTLOG_ERROR_TYPE,
                    "AdbOpenDefaultBulkReadEndpoint, errno: %d", error);
  close_device_handles(record.get());
  SetLastError(static_cast<DWORD>(error));
  errno = error;
  return nullptr;
}

// The interface's own name, in the ANSI form, without its terminator.
bool readInterfaceName(UsbDeviceHandle* record) {
  AdbULong size = 0;
  AdbGetInterfaceName(record->interface_handle, nullptr, &size, kAnsi);
  if (size == 0 || size > kMaxInterfaceNameChars) return false;
  record->interface_name.assign(size, '\0');
  if (!AdbGetInterfaceName(record->interface_handle, &record->interface_name[0],
                           &size, kAnsi)) {
    return false;
  }
  record->interface_name.resize(std::strlen(record->interface_name.c_str()));
  return true;
}

}  // namespace

std::unique_ptr<WindowsUsbTransport> open_usb_transport(
    DeviceMatchCallback callback, const WCHAR* devicePath, GUID interfaceGuid) {
  std::unique_ptr<UsbDeviceHandle> record =
      find_usb_device(callback, devicePath, interfaceGuid);
  if (record == nullptr) return nullptr;
  // Without memory for the transport the device is let go and the caller
  // sees no device, rather than an exception crossing the library's export.
  std::unique_ptr<WindowsUsbTransport> transport(
      new (std::nothrow) WindowsUsbTransport(std::move(record)));
  if (transport == nullptr) {
    close_device_handles(record.get());
    return nullptr;
  }
  return transport;
}

std::unique_ptr<UsbDeviceHandle> find_usb_device(DeviceMatchCallback callback,
                                                 const WCHAR* devicePath,
                                                 GUID interfaceGuid) {
  Enumeration enumeration(AdbEnumInterfaces(interfaceGuid, kExcludeNotPresent,
                                            kExcludeRemoved, kActiveOnly));
  if (enumeration.get() == nullptr) {
    reportEvent(EVENTLOG_ERROR_TYPE, U16("Can not find velunor update device"));
    return nullptr;
  }
  AdbWideChar matchingPath[kMatchingPathUnits];
  bool matchable = lowerCaseCopy(devicePath, matchingPath);
  InterfaceEntry entry;
  AdbULong size = kInterfaceEntryBytes;
  while (AdbNextInterface(enumeration.get(), entry.bytes, &size)) {
    size = kInterfaceEntryBytes;
    if (!matchable || !sameName(matchingPath, entry)) continue;
    std::unique_ptr<UsbDeviceHandle> candidate = do_usb_open(entry.name());
    if (candidate == nullptr) {
      reportEvent(EVENTLOG_ERROR_TYPE,
                  U16("Can not open velunor update device"));
      continue;
    }
    reportEvent(EVENTLOG_INFORMATION_TYPE, U16("do_usb_open() success"));
    AdbUsbDeviceDescriptor device{};
    AdbUsbInterfaceDescriptor interface {};
    if (examine(candidate.get(), &device, &interface)) {
      DeviceMatchInfo info;
      describe(*candidate, device, interface, &info);
      if (callback(&info) == 0) return candidate;
    }
    dropCandidate(std::move(candidate));
  }
  return nullptr;
}

std::unique_ptr<UsbDeviceHandle> do_usb_open(
    const AdbWideChar* interface_name) {
  std::unique_ptr<UsbDeviceHandle> record(new (std::nothrow) UsbDeviceHandle);
  if (record == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  record->interface_handle = AdbCreateInterfaceByName(interface_name);
  if (record->interface_handle == nullptr) {
    errno = static_cast<int>(GetLastError());
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "AdbCreateInterfaceByName, errno: %d", errno);
    return nullptr;
  }
  record->read_endpoint = AdbOpenDefaultBulkReadEndpoint(
      record->interface_handle, AdbOpenAccessTypeReadWrite,
      AdbOpenSharingModeReadWrite);
  if (record->read_endpoint == nullptr) return openFailed(std::move(record));
  record->write_endpoint = AdbOpenDefaultBulkWriteEndpoint(
      record->interface_handle, AdbOpenAccessTypeReadWrite,
      AdbOpenSharingModeReadWrite);
  if (record->write_endpoint == nullptr) return openFailed(std::move(record));
  if (!readInterfaceName(record.get())) return openFailed(std::move(record));
  return record;
}

bool usb_interface_listed(const WCHAR* devicePath, GUID interfaceGuid) {
  Enumeration enumeration(AdbEnumInterfaces(interfaceGuid, kExcludeNotPresent,
                                            kExcludeRemoved, kActiveOnly));
  if (enumeration.get() == nullptr) return true;
  // A path too long to match any name was never the device's.
  AdbWideChar matchingPath[kMatchingPathUnits];
  if (!lowerCaseCopy(devicePath, matchingPath)) return true;
  InterfaceEntry entry;
  AdbULong size = kInterfaceEntryBytes;
  while (AdbNextInterface(enumeration.get(), entry.bytes, &size)) {
    size = kInterfaceEntryBytes;
    if (sameName(matchingPath, entry)) return true;
  }
  // Only a listing that reached its end says the device is not in it.
  return GetLastError() != ERROR_NO_MORE_ITEMS;
}

int32_t log_device_match(const DeviceMatchInfo* info) {
  const char* strings[4] = {"serial_number : ", info->serial_number,
                            "dev_vendor : ", info->vendor_text};
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, strings, 4);
  return 0;
}
