#include "testing/service/present_devices_double.h"

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <utility>

namespace {

std::atomic<PresentDevicesDouble*> activeDouble{nullptr};

// The one list the double hands out: an address no real list has.
HDEVINFO const kList = reinterpret_cast<HDEVINFO>(0x5E7D1);

HDEVINFO WINAPI fakeGetClassDevsW(const GUID* interfaceClass, PCWSTR, HWND,
                                  DWORD flags) {
  return activeDouble.load()->makeList(interfaceClass, flags);
}

BOOL WINAPI fakeEnumDeviceInterfaces(HDEVINFO list, PSP_DEVINFO_DATA,
                                     const GUID* interfaceClass, DWORD index,
                                     PSP_DEVICE_INTERFACE_DATA data) {
  return activeDouble.load()->interfaceAt(list, interfaceClass, index, data);
}

BOOL WINAPI fakeGetDeviceInterfaceDetailW(
    HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
    PSP_DEVINFO_DATA) {
  return activeDouble.load()->detailOf(list, data, detail, size, required);
}

BOOL WINAPI fakeDestroyDeviceInfoList(HDEVINFO list) {
  return activeDouble.load()->destroy(list);
}

}  // namespace

PresentDevicesDouble::PresentDevicesDouble() {
  const std::pair<const char*, const void*> replacements[] = {
      {"SetupDiGetClassDevsW", reinterpret_cast<const void*>(&fakeGetClassDevsW)},
      {"SetupDiEnumDeviceInterfaces",
       reinterpret_cast<const void*>(&fakeEnumDeviceInterfaces)},
      {"SetupDiGetDeviceInterfaceDetailW",
       reinterpret_cast<const void*>(&fakeGetDeviceInterfaceDetailW)},
      {"SetupDiDestroyDeviceInfoList",
       reinterpret_cast<const void*>(&fakeDestroyDeviceInfoList)},
  };
  activeDouble = this;
  for (const auto& [name, replacement] : replacements) {
    patches_.push_back(
        std::make_unique<ImportPatch>(nullptr, name, replacement));
  }
}

PresentDevicesDouble::~PresentDevicesDouble() {
  patches_.clear();
  activeDouble = nullptr;
}

void PresentDevicesDouble::connect(const std::wstring& path) {
  for (const std::wstring& listed : paths) {
    if (_wcsicmp(listed.c_str(), path.c_str()) == 0) return;
  }
  paths.push_back(path);
}

GUID PresentDevicesDouble::listedClass() const {
  std::lock_guard<std::mutex> hold(lock_);
  return class_;
}

DWORD PresentDevicesDouble::listedFlags() const {
  std::lock_guard<std::mutex> hold(lock_);
  return flags_;
}

HDEVINFO PresentDevicesDouble::makeList(const GUID* interfaceClass,
                                        DWORD flags) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    class_ = *interfaceClass;
    flags_ = flags;
  }
  if (onListing) onListing();
  if (listingError != 0) {
    SetLastError(listingError);
    return INVALID_HANDLE_VALUE;
  }
  ++made_;
  return kList;
}

bool PresentDevicesDouble::interfaceAt(HDEVINFO list,
                                       const GUID* interfaceClass, DWORD index,
                                       SP_DEVICE_INTERFACE_DATA* data) {
  if (list != kList || data->cbSize != sizeof *data ||
      !IsEqualGUID(*interfaceClass, listedClass())) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (index >= paths.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return false;
  }
  data->InterfaceClassGuid = *interfaceClass;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index;
  return true;
}

bool PresentDevicesDouble::detailOf(HDEVINFO list,
                                    const SP_DEVICE_INTERFACE_DATA* data,
                                    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail,
                                    DWORD size, DWORD* required) {
  if (list != kList || data->Reserved >= paths.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const std::wstring& path = paths[data->Reserved];
  const DWORD needed = static_cast<DWORD>(
      offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
      (path.size() + 1) * sizeof(wchar_t));
  if (required != nullptr) *required = needed;
  if (detail == nullptr || size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return false;
  }
  std::memcpy(detail->DevicePath, path.c_str(),
              (path.size() + 1) * sizeof(wchar_t));
  return true;
}

bool PresentDevicesDouble::destroy(HDEVINFO list) {
  if (list != kList) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  ++destroyed_;
  return true;
}
