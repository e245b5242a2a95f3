// What names the service to Windows and to the upgrade library.
#ifndef VELUNOR_SERVICE_SERVICE_IDENTITY_H_
#define VELUNOR_SERVICE_SERVICE_IDENTITY_H_

#include <windows.h>

// Service name, display name and event source of the program alike.
constexpr wchar_t kServiceName[] = L"VelunorUpdateService";

// The USB device interface class of the supported devices.
constexpr GUID kDeviceInterfaceClassGuid = {
    0x6B11E5BB,
    0xF5CA,
    0x4902,
    {0x96, 0x15, 0x77, 0x3B, 0x3D, 0x2F, 0x2F, 0xEC}};

#endif  // VELUNOR_SERVICE_SERVICE_IDENTITY_H_
