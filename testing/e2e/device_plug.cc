// device_plug: plugs a device of the update interface class in or out of a
// Wine prefix by sending the event through Wine's plug-and-play service,
// which broadcasts it as the system does. Also keeps the prefix alive: Wine
// stops every service once no ordinary process is left.
//
//   device_plug arrive PATH            DBT_DEVICEARRIVAL for PATH
//   device_plug remove PATH            DBT_DEVICEREMOVECOMPLETE for PATH
//   device_plug hold STOP_FILE SECONDS stay until STOP_FILE exists, at most
//                                      SECONDS
//   device_plug sequence FILE          a burst: each line of FILE is
//                                      "arrive|remove PATH WAIT_MS", sent in
//                                      order, WAIT_MS after each
//
// Exit code 0 on success, 1 when the plug-and-play service is not reached,
// 2 on a wrong command line.
// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "testing/e2e/device_broadcast.h"
#include "testing/e2e/plugplay_client.h"

namespace {

int sendDeviceEvent(DWORD eventCode, const wchar_t* path) {
  if (!connectPlugPlay()) {
    std::fprintf(stderr, "device_plug: plug-and-play service not reached\n");
    return 1;
  }
  sendPlugPlayEvent(eventCode,
                    deviceInterfaceBroadcast(kUpdateDeviceClass, path));
  std::printf("device_plug: sent event 0x%04lx for %ls\n",
              static_cast<unsigned long>(eventCode), path);
  return 0;
}

// One event of a burst, with the wait behind it.
struct SequenceStep {
  DWORD eventCode;
  std::wstring path;
  DWORD waitMs;
};

bool readSequence(const wchar_t* file, std::vector<SequenceStep>* steps) {
  FILE* input = _wfopen(file, L"r");
  if (input == nullptr) return false;
  wchar_t action[16];
  wchar_t path[1024];
  unsigned long wait = 0;
  bool read = true;
  int fields = 0;
  while ((fields = fwscanf(input, L"%15ls %1023ls %lu", action, path,
                           &wait)) == 3) {
    if (std::wcscmp(action, L"arrive") == 0) {
      steps->push_back({DBT_DEVICEARRIVAL, path, wait});
    } else if (std::wcscmp(action, L"remove") == 0) {
      steps->push_back({DBT_DEVICEREMOVECOMPLETE, path, wait});
    } else {
      read = false;
      break;
    }
  }
  if (fields != EOF) read = false;
  std::fclose(input);
  return read;
}

// Sends a whole burst from one process, so that its events follow each other
// as closely as its waits say.
int sendSequence(const wchar_t* file) {
  std::vector<SequenceStep> steps;
  if (!readSequence(file, &steps)) {
    std::fprintf(stderr, "device_plug: cannot read the sequence %ls\n", file);
    return 2;
  }
  if (!connectPlugPlay()) {
    std::fprintf(stderr, "device_plug: plug-and-play service not reached\n");
    return 1;
  }
  const ULONGLONG start = GetTickCount64();
  for (const SequenceStep& step : steps) {
    sendPlugPlayEvent(step.eventCode,
                      deviceInterfaceBroadcast(kUpdateDeviceClass,
                                               step.path.c_str()));
    std::printf("device_plug: %6llu ms: sent event 0x%04lx for %ls\n",
                GetTickCount64() - start,
                static_cast<unsigned long>(step.eventCode), step.path.c_str());
    std::fflush(stdout);
    Sleep(step.waitMs);
  }
  return 0;
}

int hold(const wchar_t* stopFile, long seconds) {
  const ULONGLONG end = GetTickCount64() + seconds * 1000ULL;
  while (GetFileAttributesW(stopFile) == INVALID_FILE_ATTRIBUTES &&
         GetTickCount64() < end) {
    Sleep(100);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"arrive") == 0) {
    return sendDeviceEvent(DBT_DEVICEARRIVAL, argv[2]);
  }
  if (argc == 3 && std::wcscmp(argv[1], L"remove") == 0) {
    return sendDeviceEvent(DBT_DEVICEREMOVECOMPLETE, argv[2]);
  }
  if (argc == 3 && std::wcscmp(argv[1], L"sequence") == 0) {
    return sendSequence(argv[2]);
  }
  if (argc == 4 && std::wcscmp(argv[1], L"hold") == 0) {
    return hold(argv[2], std::wcstol(argv[3], nullptr, 10));
  }
  std::fprintf(stderr,
               "usage: device_plug arrive|remove PATH\n"
               "       device_plug sequence FILE\n"
               "       device_plug hold STOP_FILE SECONDS\n");
  return 2;
}
