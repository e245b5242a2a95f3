// Updates a device by hand: loads the upgrade library from a given path and
// runs one upgrade with the settings from the command line, as the service
// would after the device arrived, and shows the download as it goes. It also
// lists the devices it can update, so the device can be named, or taken
// when it is the only one.
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/system_paths.h"
#include "common/upgrade_contract.h"
#include "tools/runner/device_list.h"
#include "tools/runner/folder_trust.h"
#include "tools/runner/outcome_status.h"
#include "tools/runner/progress_display.h"
#include "tools/runner/recorded_run.h"

namespace {

// Exit codes.
constexpr int kExitUpgraded = 0;
constexpr int kExitDownloadFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoDevice = 3;
constexpr int kExitNoLibrary = 4;
constexpr int kExitNoExport = 5;
constexpr int kExitUnknownResult = 6;
constexpr int kExitDeviceWentAway = 8;
// status: a family's device is not (yet) upgraded; no record at all.
constexpr int kExitNotAllUpgraded = 9;
constexpr int kExitNoRecord = 10;

constexpr int kArguments = 7;  // the program and six arguments
constexpr char kListCommand[] = "list";
constexpr char kStatusCommand[] = "status";
constexpr char kOnlyDevice[] = "auto";

void printUsage(const char* program) {
  std::fprintf(
      stderr,
      "usage: %s LIBRARY DEVICE_PATH UPDATE_FILE VERSION BFORCE BUPDATE\n"
      "       %s list [LIBRARY]\n"
      "       %s status\n"
      "       %s --record FILE LIBRARY DEVICE_PATH UPDATE_FILE VERSION BFORCE "
      "BUPDATE\n"
      "\n"
      "Runs one upgrade of a connected device with the upgrade library and\n"
      "shows the download as it goes.\n"
      "  LIBRARY      path of velunorUpdateExport.dll\n"
      "  DEVICE_PATH  device interface path as 'list' shows it, e.g.\n"
      "               \\\\?\\USB#VID_3F3A&PID_9206#SN#{6b11e5bb-f5ca-4902-"
      "9615-773b3d2f2fec}\n"
      "               or auto: the one connected device (refused when there\n"
      "               are none or several)\n"
      "  UPDATE_FILE  name of the update image in C:\\Windows\\System32\\"
      "drivers\n"
      "  VERSION      version text announced to the device\n"
      "  BFORCE       force flag, 0 to 255\n"
      "  BUPDATE      1 (or any value but 0) starts the update after the "
      "check\n"
      "\n"
      "list: one line per connected device of the update interface class:\n"
      "the family the service would choose for it, its path and its serial\n"
      "number. It asks the AdbWinApi.dll that LIBRARY uses, or without\n"
      "LIBRARY the one Windows finds for this program.\n"
      "\n"
      "status: one line per device family installed on this PC: the\n"
      "outcome record the service keeps (state, result, attempts, time,\n"
      "version, update file, image digest, device).\n"
      "\n"
      "A device removed during the upgrade ends it, as it ends the service's\n"
      "upgrade: before the device took the start request nothing on it\n"
      "changed (exit code 8); after, it is restarting into the new firmware.\n"
      "\n"
      "--record FILE: the same upgrade, with every USB call written to FILE\n"
      "(a new file) for a support ticket. FILE holds the device's serial\n"
      "number and interface paths.\n"
      "\n"
      "Exit codes: 0 upgraded (list: devices listed), 1 a download failed,\n"
      "no update file matched or the upgrade had to be ended, 2 bad arguments\n"
      "(auto: no device or several), 3 device not found or not opened\n"
      "(list: no device),\n"
      "4 library (list: AdbWinApi.dll) not loaded, 5 letsStartUpgrade\n"
      "(list: an AdbWinApi call) not in the library, 6 unknown result,\n"
      "7 --record: the recording could not be prepared, 8 the device went\n"
      "away before the update started (nothing on it changed).\n"
      "status: 0 every family upgraded, 9 not every family upgraded,\n"
      "10 no outcome record on this PC.\n"
      "11 run elevated from a folder that others can change (it says which).\n",
      program, program, program, program);
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

// What a result means; a failure is told apart from a failed download when
// the library reported no image at all.
struct Outcome {
  int32_t result;
  bool imagesKnown;  // the library reports its images
  size_t images;
  // Not listed when the run began: a device that cannot go away, so the
  // library's "went away" means it was never there.
  bool neverListed;
};

const char* meaningOf(const Outcome& outcome) {
  switch (outcome.result) {
    case kUpgradeSucceeded:
      return "every matching update file was downloaded";
    case kUpgradeDownloadFailed:
      if (!outcome.imagesKnown) {
        return "a download failed, or no update file matched";
      }
      return outcome.images == 0 ? "no update file matched"
                                 : "at least one download failed";
    case kUpgradeNoDevice:
      return "the device was not found, not opened or not accepted";
    case kUpgradeDeviceWentAway:
      if (outcome.neverListed) return "the device was not found";
      return "the device went away before the update started; nothing on it "
             "changed";
    default:
      return "unknown result";
  }
}

int exitCodeOf(const Outcome& outcome) {
  switch (outcome.result) {
    case kUpgradeSucceeded:
      return kExitUpgraded;
    case kUpgradeDownloadFailed:
      return kExitDownloadFailed;
    case kUpgradeDeviceWentAway:
      return outcome.neverListed ? kExitNoDevice : kExitDeviceWentAway;
    case kUpgradeNoDevice:
      return kExitNoDevice;
    default:
      return kExitUnknownResult;
  }
}

// The wide form of the arguments, for the paths.
struct WideArguments {
  struct Free {
    void operator()(LPWSTR* arguments) const { LocalFree(arguments); }
  };
  WideArguments() : list(CommandLineToArgvW(GetCommandLineW(), &count)) {}
  const wchar_t* operator[](int index) const {
    return list.get()[first + index];
  }
  // Filled by the call above, so declared before the list and without an
  // initializer that would run after it.
  int count;
  std::unique_ptr<LPWSTR, Free> list;
  int first = 0;  // arguments before this one are not the command's
};

// Loads the library so that its dependency (AdbWinApi.dll) comes from beside
// it or from System32, as the service loads it: never from the current
// directory or a folder on PATH.
HMODULE loadLibrary(const wchar_t* path) {
  wchar_t full[MAX_PATH * 4];
  DWORD length = GetFullPathNameW(path, MAX_PATH * 4, full, nullptr);
  if (length == 0 || length >= MAX_PATH * 4) return nullptr;
  return LoadLibraryExW(
      full, nullptr,
      LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

template <typename Function>
Function exportOf(HMODULE library, const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// The AdbWinApi.dll the loaded upgrade library is bound to; without one, the
// one beside this program or in System32.
HMODULE adbWinApi() {
  if (HMODULE real = realAdbWinApiWhileRecording()) return real;
  HMODULE module = GetModuleHandleW(L"AdbWinApi.dll");
  return module != nullptr ? module : LoadLibraryW(L"AdbWinApi.dll");
}

void printNoDevice(FILE* out, const DeviceList& list) {
  if (list.enumerated || !list.bound) {
    std::fprintf(out, "no device of the update interface class is connected\n");
  } else {
    std::fprintf(out,
                 "no device of the update interface class is connected "
                 "(AdbWinApi found none: error %lu)\n",
                 list.error);
  }
}

int statusCommand() {
  OutcomeSummary summary = printOutcomes(stdout);
  if (summary.records == 0) {
    printNoRecord(stdout, summary);
    return kExitNoRecord;
  }
  return summary.notUpgraded == 0 ? kExitUpgraded : kExitNotAllUpgraded;
}

int listCommand(const WideArguments& wide, char** argv) {
  if (wide.count == 3 && loadLibrary(wide[2]) == nullptr) {
    std::fprintf(stderr,
                 "error: cannot load the upgrade library %s (error %lu)\n",
                 argv[2], GetLastError());
    return kExitNoLibrary;
  }
  HMODULE module = adbWinApi();
  if (module == nullptr) {
    std::fprintf(stderr, "error: cannot load AdbWinApi.dll (error %lu)\n",
                 GetLastError());
    return kExitNoLibrary;
  }
  DeviceList list = listDevices(module, kUpdateDeviceClass);
  if (!list.bound) {
    std::fprintf(stderr,
                 "error: AdbWinApi.dll lacks the calls that list devices\n");
    return kExitNoExport;
  }
  if (list.devices.empty()) {
    printNoDevice(stdout, list);
    return kExitNoDevice;
  }
  for (const ListedDevice& device : list.devices) printDevice(stdout, device);
  return kExitUpgraded;
}

// The one connected device; when there are none or several, says so with the
// list and picks none.
bool pickTheOnlyDevice(ListedDevice* chosen) {
  DeviceList list = listDevices(adbWinApi(), kUpdateDeviceClass);
  if (list.devices.size() == 1) {
    *chosen = list.devices.front();
    return true;
  }
  if (list.devices.empty()) {
    std::fprintf(stderr,
                 "error: auto takes the one connected device, and there is "
                 "none\n");
    printNoDevice(stderr, list);
    return false;
  }
  std::fprintf(stderr,
               "error: auto takes the one connected device, and there are "
               "%zu; name one of them as DEVICE_PATH:\n",
               list.devices.size());
  for (const ListedDevice& device : list.devices) printDevice(stderr, device);
  return false;
}

bool outputIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

// Set once the upgrade's thread has been ended. That thread may have held a
// lock of the runtime (the output stream's, the heap's) when it was ended, so
// from then on output goes straight to the handle.
bool upgradeThreadEnded = false;

// With the line ends the runtime's text stream would have written.
void writeDirectly(const char* text) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  for (const char* line = text; *line != '\0';) {
    const char* end = std::strchr(line, '\n');
    size_t length =
        end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line);
    WriteFile(output, line, static_cast<DWORD>(length), &written, nullptr);
    if (end == nullptr) break;
    WriteFile(output, "\r\n", 2, &written, nullptr);
    line = end + 1;
  }
}

void writeOutput(const char* text) {
  if (upgradeThreadEnded) {
    writeDirectly(text);
    return;
  }
  std::fputs(text, stdout);
  // The library writes its own lines to the same stream in between.
  std::fflush(stdout);
}

struct UpgradeSettings {
  std::wstring devicePath;
  const char* updateFile;
  const char* version;
  uint8_t bForce;
  uint8_t bUpdate;
};

// One call of the library, on a thread of its own.
struct UpgradeCall {
  LetsStartUpgradeFunction letsStartUpgrade;
  LetsStartUpgradeWithProgressFunction withProgress;  // null: no progress
  LetsCancelUpgradeFunction cancel;                   // null: none
  ProgressDisplay* display;
  UpgradeSettings settings;
  int32_t result;
  bool listedAtStart;
};

DWORD WINAPI upgradeThread(LPVOID parameter) {
  auto* call = static_cast<UpgradeCall*>(parameter);
  const UpgradeSettings& settings = call->settings;
  if (call->withProgress != nullptr) {
    call->result = call->withProgress(
        settings.bForce, settings.bUpdate, settings.devicePath.c_str(),
        settings.updateFile, settings.version, kUpdateDeviceClass,
        &ProgressDisplay::report, call->display);
  } else {
    call->result = call->letsStartUpgrade(
        settings.bForce, settings.bUpdate, settings.devicePath.c_str(),
        settings.updateFile, settings.version, kUpdateDeviceClass);
  }
  return 0;
}

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

// How often the device is looked for while the library works with it.
constexpr DWORD kWatchIntervalMs = 1000;
constexpr DWORD kEndedThreadExitCode = 0xFFFFFFFF;
// How long a cancelled upgrade is given to end before its thread is killed:
// longer than the one driver call it may be in, a write of 20 s at most.
constexpr DWORD kCancelWaitMs = 30000;

// Ends the upgrade whose device went, as the service does: cancelled, and
// killed only if it has not ended by the cancel's time or the library cannot
// cancel. False when it was killed; true when it returned, and its result
// says what it did to the device.
bool endUpgrade(UpgradeCall* call, HANDLE thread) {
  if (call->cancel != nullptr) {
    call->cancel();
    if (WaitForSingleObject(thread, kCancelWaitMs) == WAIT_OBJECT_0) {
      return true;
    }
  }
  TerminateThread(thread, kEndedThreadExitCode);
  WaitForSingleObject(thread, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeThread(thread, &exitCode);
  // It may have returned just before.
  if (exitCode == kEndedThreadExitCode) upgradeThreadEnded = true;
  return exitCode != kEndedThreadExitCode;
}

// Runs the call and, as the service does, ends it when the device is
// removed: the library would otherwise retry a device that is gone for many
// minutes (five for each failed control request). False when it was ended.
bool runWhileTheDeviceIsThere(UpgradeCall* call) {
  HMODULE module = adbWinApi();
  // Only a device that is there to begin with can be watched for going.
  DevicePresence atStart =
      devicePresence(module, kUpdateDeviceClass, call->settings.devicePath);
  bool watched = atStart == DevicePresence::kListed;
  call->listedAtStart = atStart != DevicePresence::kMissing;
  OwnedHandle thread(CreateThread(nullptr, 0, upgradeThread, call, 0, nullptr));
  if (thread == nullptr) {
    upgradeThread(call);
    return true;
  }
  while (WaitForSingleObject(thread.get(), kWatchIntervalMs) == WAIT_TIMEOUT) {
    // A listing that fails once is no removal.
    if (!watched || devicePresence(module, kUpdateDeviceClass,
                                   call->settings.devicePath) !=
                        DevicePresence::kMissing) {
      continue;
    }
    return endUpgrade(call, thread.get());
  }
  return true;
}

// After the device went away mid-upgrade: says how far it got and ends the
// process at once, without the runtime's exit, which could wait for a lock
// a killed thread held.
[[noreturn]] void endAfterRemoval(ProgressDisplay* display) {
  upgradeThreadEnded = true;
  if (display != nullptr) {
    display->deviceRemoved();
  } else {
    writeDirectly("the device was removed during the upgrade\n");
  }
  writeDirectly("ended: the device was removed before the upgrade finished\n");
  TerminateProcess(GetCurrentProcess(), kExitDownloadFailed);
  // TerminateProcess on the own process does not return.
  std::abort();
}

// Through the export that reports progress when the library has it.
Outcome runUpgrade(HMODULE library, LetsStartUpgradeFunction letsStartUpgrade,
                   const UpgradeSettings& settings) {
  UpgradeCall call{letsStartUpgrade,
                   exportOf<LetsStartUpgradeWithProgressFunction>(
                       library, kUpgradeProgressExportName),
                   exportOf<LetsCancelUpgradeFunction>(
                       library, kUpgradeCancelExportName),
                   nullptr, settings, 0, true};
  std::unique_ptr<ProgressDisplay> display;
  if (call.withProgress != nullptr) {
    display = std::make_unique<ProgressDisplay>(
        outputIsConsole(),
        [] { return static_cast<uint64_t>(GetTickCount64()); }, writeOutput);
    call.display = display.get();
  } else {
    std::printf("this library reports no progress; waiting for its result\n");
    std::fflush(stdout);
  }
  if (!runWhileTheDeviceIsThere(&call)) endAfterRemoval(display.get());
  if (display != nullptr) {
    // Where the upgrade stood when the device went.
    if (call.result == kUpgradeDeviceWentAway && call.listedAtStart) {
      display->deviceRemoved();
    }
    display->finish();
  }
  return {call.result, display != nullptr,
          display != nullptr ? display->imagesDone() : 0, !call.listedAtStart};
}

}  // namespace

int main(int argc, char** argv) {
  // What the runner loads by name (AdbWinApi.dll without LIBRARY) comes from
  // its own folder or System32, never from the current directory or PATH.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  const char* program = argc > 0 ? argv[0] : "upgrade_runner";
  WideArguments wide;
  if (wide.list == nullptr || wide.count != argc) {
    printUsage(program);
    return kExitUsage;
  }
  if (!runnerFoldersTrusted(argc, wide.list.get())) return kExitUntrustedFolder;
  if (argc >= 2 && std::strcmp(argv[1], kListCommand) == 0) {
    if (argc > 3) {
      printUsage(program);
      return kExitUsage;
    }
    return listCommand(wide, argv);
  }
  if (argc >= 2 && std::strcmp(argv[1], kStatusCommand) == 0) {
    if (argc != 2) {
      printUsage(program);
      return kExitUsage;
    }
    return statusCommand();
  }
  if (argc >= 2 && std::strcmp(argv[1], kRecordOption) == 0) {
    return runRecorded(argc, wide.list.get(), argv);
  }
  if (argc >= 2 && std::strcmp(argv[1], kRecordingChildOption) == 0) {
    if (argc != kArguments + 2 || !startRecordingChild(wide[2], wide[3])) {
      return kExitNotRecorded;
    }
    // The rest is the command line of an upgrade.
    argv[2] = argv[0];
    argv += 2;
    argc -= 2;
    wide.first = 2;
  }
  UpgradeSettings settings{};
  if (argc != kArguments) {
    printUsage(program);
    return kExitUsage;
  }
  if (!parseFlag(argv[5], &settings.bForce) ||
      !parseFlag(argv[6], &settings.bUpdate)) {
    std::fprintf(stderr,
                 "error: BFORCE and BUPDATE must be numbers from 0 "
                 "to 255, got \"%s\" and \"%s\"\n",
                 argv[5], argv[6]);
    printUsage(program);
    return kExitUsage;
  }
  HMODULE library = loadLibrary(wide[1]);
  if (library == nullptr) {
    std::fprintf(stderr,
                 "error: cannot load the upgrade library %s (error %lu)\n",
                 argv[1], GetLastError());
    return kExitNoLibrary;
  }
  auto letsStartUpgrade =
      exportOf<LetsStartUpgradeFunction>(library, kUpgradeExportName);
  if (letsStartUpgrade == nullptr) {
    std::fprintf(stderr,
                 "error: %s has no export letsStartUpgrade (error %lu)\n",
                 argv[1], GetLastError());
    return kExitNoExport;
  }
  settings.devicePath = wide[2];
  if (std::strcmp(argv[2], kOnlyDevice) == 0) {
    ListedDevice chosen;
    if (!pickTheOnlyDevice(&chosen)) return kExitUsage;
    std::printf("auto: the one connected device is\n");
    printDevice(stdout, chosen);
    settings.devicePath = chosen.path;
  }
  settings.updateFile = argv[3];
  settings.version = argv[4];
  std::printf("upgrading %s with %s, version %s, bForce %u, bUpdate %u\n",
              narrow(settings.devicePath).c_str(), settings.updateFile,
              settings.version, settings.bForce, settings.bUpdate);
  std::fflush(stdout);
  noteRecordedRun(settings.devicePath, settings.updateFile, settings.version,
                  settings.bForce, settings.bUpdate);
  Outcome outcome = runUpgrade(library, letsStartUpgrade, settings);
  std::printf("result %d: %s", static_cast<int>(outcome.result),
              meaningOf(outcome));
  const SystemPaths* paths = systemPaths();
  if (outcome.result == kUpgradeDownloadFailed && outcome.imagesKnown &&
      outcome.images == 0 && paths != nullptr) {
    std::printf(" %s in %s", settings.updateFile, paths->driversFolder);
  }
  std::printf("\n");
  return exitCodeOf(outcome);
}
