// The upgrade library's exports: open the arrived device, download every
// update image found for it, and say how it went; the second one also tells
// a watching person how far the download is.
#ifndef VELUNOR_UPGRADE_UPGRADE_ENTRY_H_
#define VELUNOR_UPGRADE_UPGRADE_ENTRY_H_

#include <cstdint>

#include "common/upgrade_contract.h"
#include "platform/win32.h"

#if defined(_WIN32)
#define VELUNOR_UPGRADE_EXPORT __declspec(dllexport)
#else
#define VELUNOR_UPGRADE_EXPORT
#endif

extern "C" {

// Declared as common/upgrade_contract.h describes it to callers.
VELUNOR_UPGRADE_EXPORT int32_t letsStartUpgrade(uint8_t bForce, uint8_t bUpdate,
                                                const WCHAR* devicePath,
                                                const char* updateFile,
                                                const char* version,
                                                GUID interfaceGuid);

// Cancels the upgrade in progress, from another thread, as
// common/upgrade_contract.h describes it.
VELUNOR_UPGRADE_EXPORT void letsCancelUpgrade();

// The same upgrade with progress reports, as common/upgrade_contract.h
// describes it.
VELUNOR_UPGRADE_EXPORT int32_t letsStartUpgradeWithProgress(
    uint8_t bForce, uint8_t bUpdate, const WCHAR* devicePath,
    const char* updateFile, const char* version, GUID interfaceGuid,
    UpgradeProgressCallback callback, void* context);

// The same upgrade, sending only the image with the given SHA-256, as
// common/upgrade_contract.h describes it.
VELUNOR_UPGRADE_EXPORT int32_t letsStartUpgradeChecked(
    uint8_t bForce, uint8_t bUpdate, const WCHAR* devicePath,
    const char* updateFile, const char* version, GUID interfaceGuid,
    const char* imageSha256, UpgradeProgressCallback callback, void* context);

}  // extern "C"

#endif  // VELUNOR_UPGRADE_UPGRADE_ENTRY_H_
