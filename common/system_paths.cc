#include "common/system_paths.h"

#include <cstring>

namespace {

constexpr char kWindowsFolder[] = ":\\windows";
constexpr UINT kFolderUnits = 300;

bool isDriveLetter(WCHAR unit) {
  return (unit >= 'A' && unit <= 'Z') || (unit >= 'a' && unit <= 'z');
}

WCHAR lowerCase(WCHAR unit) {
  return unit >= 'A' && unit <= 'Z' ? static_cast<WCHAR>(unit - 'A' + 'a')
                                    : unit;
}

// The drive's letter, in capitals; 0 unless `folder` is "<drive>:\Windows".
char driveOfWindowsFolder(const WCHAR* folder) {
  if (!isDriveLetter(folder[0])) return 0;
  size_t i = 0;
  for (; kWindowsFolder[i] != '\0'; ++i) {
    if (lowerCase(folder[i + 1]) != kWindowsFolder[i]) return 0;
  }
  if (folder[i + 1] != 0) return 0;
  return static_cast<char>(folder[0] >= 'a' ? folder[0] - 'a' + 'A'
                                            : folder[0]);
}

struct WindowsFolder {
  WCHAR text[kFolderUnits] = {};
  char name[kFolderUnits] = {};
  bool known = false;
  SystemPaths paths{};
  bool usable = false;
};

const WindowsFolder& windowsFolder() {
  static const WindowsFolder folder = [] {
    WindowsFolder read;
    UINT units = GetSystemWindowsDirectoryW(read.text, kFolderUnits);
    read.known = units > 0 && units < kFolderUnits;
    if (!read.known) read.text[0] = 0;
    // For event texts; Windows' own folder names are ASCII.
    for (UINT i = 0; read.text[i] != 0; ++i) {
      read.name[i] = read.text[i] < 0x80 ? static_cast<char>(read.text[i]) : '?';
    }
    read.usable = read.known && systemPathsFor(read.text, &read.paths);
    return read;
  }();
  return folder;
}

}  // namespace

bool systemPathsFor(const WCHAR* windowsFolder, SystemPaths* paths) {
  char drive = driveOfWindowsFolder(windowsFolder);
  if (drive == 0) return false;
  std::memcpy(paths->driversFolder, kDriversFolder, sizeof kDriversFolder);
  std::memcpy(paths->driversFolderForDeletion, kDriversFolderForDeletion,
              sizeof kDriversFolderForDeletion);
  std::memcpy(paths->upgradeLibraryPath, kUpgradeLibraryPath,
              sizeof kUpgradeLibraryPath);
  paths->driversFolder[0] = drive;
  paths->driversFolderForDeletion[0] = drive;
  paths->upgradeLibraryPath[0] = static_cast<WCHAR>(drive);
  return true;
}

const SystemPaths* systemPaths() {
  const WindowsFolder& folder = windowsFolder();
  return folder.usable ? &folder.paths : nullptr;
}

const char* windowsFolderName() { return windowsFolder().name; }
