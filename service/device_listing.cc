#include "service/device_listing.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <cstddef>
#include <cstring>
#include <cwchar>

#include "common/event_report.h"
#include "common/unique_handle.h"
#include "service/device_family.h"

namespace {

// A device information list, destroyed on every path. The call that makes
// one says "none" with INVALID_HANDLE_VALUE, which cannot be a constant
// here; the owner takes null for it instead.
struct DeviceInfoListTraits {
  using Handle = HDEVINFO;
  static constexpr Handle kNone = nullptr;
  static void close(Handle list) { SetupDiDestroyDeviceInfoList(list); }
};
using DeviceInfoList = UniqueHandle<DeviceInfoListTraits>;

// Room for the detail record of a path of kDevicePathUnits, NUL included.
constexpr size_t kDetailBytes =
    offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
    kDevicePathUnits * sizeof(wchar_t);

// The path of one enumerated interface; false when it does not fit whole.
bool interfacePath(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* interface,
                   wchar_t (&path)[kDevicePathUnits]) {
  alignas(SP_DEVICE_INTERFACE_DETAIL_DATA_W) unsigned char
      buffer[kDetailBytes] = {};
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(list, interface, detail, sizeof buffer,
                                        nullptr, nullptr)) {
    return false;
  }
  size_t length = wcsnlen(detail->DevicePath, kDevicePathUnits);
  if (length == 0 || length >= kDevicePathUnits) return false;
  std::memcpy(path, detail->DevicePath, (length + 1) * sizeof(wchar_t));
  return true;
}

// The first present interface of `interfaceClass` that `wanted` takes, its
// path in the form an arrival announces (toAnnouncedPath).
template <typename Wanted>
PresentDevice firstPresent(const GUID& interfaceClass,
                           wchar_t (&path)[kDevicePathUnits], Wanted wanted) {
  HDEVINFO listed = SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (listed == INVALID_HANDLE_VALUE) {
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "present devices cannot be listed: %d",
                      static_cast<int>(GetLastError()));
    return PresentDevice::kNotListed;
  }
  DeviceInfoList list(listed);
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interface = {};
    interface.cbSize = sizeof interface;
    if (!SetupDiEnumDeviceInterfaces(list.get(), nullptr, &interfaceClass,
                                     index, &interface)) {
      return PresentDevice::kNone;
    }
    if (!interfacePath(list.get(), &interface, path)) continue;
    toAnnouncedPath(path);
    if (wanted(static_cast<const wchar_t*>(path))) return PresentDevice::kFound;
  }
}

}  // namespace

PresentDevice findPresentDevice(const GUID& interfaceClass,
                                wchar_t (&path)[kDevicePathUnits]) {
  return firstPresent(interfaceClass, path,
                      [](const wchar_t*) { return true; });
}

PresentDevice lookForDevice(const GUID& interfaceClass,
                            const wchar_t* devicePath) {
  const size_t length = wcsnlen(devicePath, kDevicePathUnits);
  wchar_t path[kDevicePathUnits];
  return firstPresent(interfaceClass, path, [&](const wchar_t* listed) {
    return samePath(devicePath, length, listed);
  });
}

PresentDevice forEachPresentDevice(
    const GUID& interfaceClass,
    const std::function<void(const wchar_t* path)>& visit) {
  wchar_t path[kDevicePathUnits];
  return firstPresent(interfaceClass, path, [&](const wchar_t* listed) {
    visit(listed);
    return false;
  });
}
