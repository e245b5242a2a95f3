// The fixed paths of the service, the library and the runner, on the drive
// of the Windows folder. They are spelt as on a PC with Windows on C:, with
// that drive's letter in place of C: a folder on another drive than
// Windows' is no system folder, and any user may create it.
#ifndef VELUNOR_COMMON_SYSTEM_PATHS_H_
#define VELUNOR_COMMON_SYSTEM_PATHS_H_

#include "common/upgrade_contract.h"
#include "platform/win32.h"

struct SystemPaths {
  char driversFolder[sizeof kDriversFolder];
  char driversFolderForDeletion[sizeof kDriversFolderForDeletion];
  WCHAR upgradeLibraryPath[sizeof kUpgradeLibraryPath / sizeof(WCHAR)];
};

// The paths for the Windows folder `windowsFolder`; false, with `paths`
// untouched, unless it is a drive's folder Windows ("D:\WINDOWS", "c:\windows"
// and the like; letter case does not count).
bool systemPathsFor(const WCHAR* windowsFolder, SystemPaths* paths);

// The running system's, from GetSystemWindowsDirectoryW; null when its
// Windows folder is not a drive's folder Windows, when nothing may be loaded
// or deleted by these paths.
const SystemPaths* systemPaths();

// The Windows folder as GetSystemWindowsDirectoryW names it, for event
// texts (a unit outside ASCII shows as '?').
const char* windowsFolderName();

#endif  // VELUNOR_COMMON_SYSTEM_PATHS_H_
