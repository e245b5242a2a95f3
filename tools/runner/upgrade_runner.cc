// Updates a device by hand: loads the upgrade library from a given path and
// runs one upgrade with the settings from the command line, as the service
// would after the device arrived.
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "common/upgrade_contract.h"

namespace {

// Exit codes.
constexpr int kExitUpgraded = 0;
constexpr int kExitDownloadFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoDevice = 3;
constexpr int kExitNoLibrary = 4;
constexpr int kExitNoExport = 5;
constexpr int kExitUnknownResult = 6;

constexpr int kArguments = 7;  // the program and six arguments
void printUsage(const char* program) {
  std::fprintf(
      stderr,
      "usage: %s LIBRARY DEVICE_PATH UPDATE_FILE VERSION BFORCE BUPDATE\n"
      "\n"
      "Runs one upgrade of a connected device with the upgrade library.\n"
      "  LIBRARY      path of velunorUpdateExport.dll\n"
      "  DEVICE_PATH  device interface path, e.g.\n"
      "               \\\\?\\usb#vid_3f3a&pid_9206#sn#{6b11e5bb-f5ca-4902-"
      "9615-773b3d2f2fec}\n"
      "  UPDATE_FILE  name of the update image in C:\\Windows\\System32\\"
      "drivers\n"
      "  VERSION      version text announced to the device\n"
      "  BFORCE       force flag, 0 to 255\n"
      "  BUPDATE      1 (or any value but 0) starts the update after the "
      "check\n"
      "\n"
      "Exit codes: 0 upgraded, 1 a download failed, 2 bad arguments,\n"
      "3 device not found or not opened, 4 library not loaded,\n"
      "5 letsStartUpgrade not in the library, 6 unknown result.\n",
      program);
}

// A flag: a decimal number from 0 to 255.
bool parseFlag(const char* text, uint8_t* flag) {
  if (text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > 255) return false;
  *flag = static_cast<uint8_t>(value);
  return true;
}

const char* meaningOf(int32_t result) {
  switch (result) {
    case kUpgradeSucceeded:
      return "every matching update file was downloaded (or none was found)";
    case kUpgradeDownloadFailed:
      return "at least one download failed";
    case kUpgradeNoDevice:
      return "the device was not found, not opened or not accepted";
    default:
      return "unknown result";
  }
}

int exitCodeOf(int32_t result) {
  switch (result) {
    case kUpgradeSucceeded:
      return kExitUpgraded;
    case kUpgradeDownloadFailed:
      return kExitDownloadFailed;
    case kUpgradeNoDevice:
      return kExitNoDevice;
    default:
      return kExitUnknownResult;
  }
}

// The wide form of the arguments, for the device path.
struct WideArguments {
  struct Free {
    void operator()(LPWSTR* arguments) const { LocalFree(arguments); }
  };
  WideArguments() : list(CommandLineToArgvW(GetCommandLineW(), &count)) {}
  // Filled by the call above, so declared before the list and without an
  // initializer that would run after it.
  int count;
  std::unique_ptr<LPWSTR, Free> list;
};

// Loads the library so that a dependency beside it (AdbWinApi.dll) is found
// there too.
HMODULE loadLibrary(const wchar_t* path) {
  wchar_t full[MAX_PATH * 4];
  DWORD length = GetFullPathNameW(path, MAX_PATH * 4, full, nullptr);
  if (length == 0 || length >= MAX_PATH * 4) return nullptr;
  return LoadLibraryExW(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "upgrade_runner";
  WideArguments wide;
  uint8_t bForce = 0;
  uint8_t bUpdate = 0;
  if (argc != kArguments || wide.list == nullptr || wide.count != kArguments) {
    printUsage(program);
    return kExitUsage;
  }
  if (!parseFlag(argv[5], &bForce) || !parseFlag(argv[6], &bUpdate)) {
    std::fprintf(stderr,
                 "error: BFORCE and BUPDATE must be numbers from 0 "
                 "to 255, got \"%s\" and \"%s\"\n",
                 argv[5], argv[6]);
    printUsage(program);
    return kExitUsage;
  }
  HMODULE library = loadLibrary(wide.list.get()[1]);
  if (library == nullptr) {
    std::fprintf(stderr,
                 "error: cannot load the upgrade library %s (error %lu)\n",
                 argv[1], GetLastError());
    return kExitNoLibrary;
  }
  auto letsStartUpgrade = reinterpret_cast<LetsStartUpgradeFunction>(
      reinterpret_cast<void*>(GetProcAddress(library, kUpgradeExportName)));
  if (letsStartUpgrade == nullptr) {
    std::fprintf(stderr,
                 "error: %s has no export letsStartUpgrade (error %lu)\n",
                 argv[1], GetLastError());
    return kExitNoExport;
  }
  std::printf("upgrading %ls with %s, version %s, bForce %u, bUpdate %u\n",
              wide.list.get()[2], argv[3], argv[4], bForce, bUpdate);
  std::fflush(stdout);
  int32_t result = letsStartUpgrade(bForce, bUpdate, wide.list.get()[2],
                                    argv[3], argv[4], kUpdateDeviceClass);
  std::printf("result %d: %s\n", static_cast<int>(result), meaningOf(result));
  return exitCodeOf(result);
}
