// The upgrade library's one export: open the arrived device, download every
// update image found for it, and say how it went.
#ifndef VELUNOR_UPGRADE_UPGRADE_ENTRY_H_
#define VELUNOR_UPGRADE_UPGRADE_ENTRY_H_

#include <cstdint>

#include "platform/win32.h"

#if defined(_WIN32)
#define VELUNOR_UPGRADE_EXPORT __declspec(dllexport)
#else
#define VELUNOR_UPGRADE_EXPORT
#endif

// Results of letsStartUpgrade.
constexpr int32_t kUpgradeSucceeded = 0;  // every matching file sent, or none
constexpr int32_t kUpgradeDownloadFailed = 1;
constexpr int32_t kUpgradeNoDevice = -1;

constexpr char kUpdateDirectory[] = "C:\\Windows\\System32\\drivers";

// The device interface class of the update devices, as callers pass it.
constexpr GUID kUpdateDeviceClass = {
    0x6B11E5BB,
    0xF5CA,
    0x4902,
    {0x96, 0x15, 0x77, 0x3B, 0x3D, 0x2F, 0x2F, 0xEC}};

extern "C" {

// The device path is UTF-16; the update-file name and the version are
// narrow. None of them is kept after the call.
VELUNOR_UPGRADE_EXPORT int32_t letsStartUpgrade(uint8_t bForce, uint8_t bUpdate,
                                                const WCHAR* devicePath,
                                                const char* updateFile,
                                                const char* version,
                                                GUID interfaceGuid);

}  // extern "C"

// How a caller that binds the export at run time sees it.
using LetsStartUpgradeFunction = int32_t (*)(uint8_t bForce, uint8_t bUpdate,
                                             const WCHAR* devicePath,
                                             const char* updateFile,
                                             const char* version,
                                             GUID interfaceGuid);

#endif  // VELUNOR_UPGRADE_UPGRADE_ENTRY_H_
