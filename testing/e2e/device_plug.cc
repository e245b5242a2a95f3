// device_plug: plugs a device of the update interface class in or out of a
// Wine prefix by sending the event through Wine's plug-and-play service,
// which broadcasts it as the system does. Also keeps the prefix alive: Wine
// stops every service once no ordinary process is left.
//
//   device_plug arrive PATH            DBT_DEVICEARRIVAL for PATH
//   device_plug remove PATH            DBT_DEVICEREMOVECOMPLETE for PATH
//   device_plug hold STOP_FILE SECONDS stay until STOP_FILE exists, at most
//                                      SECONDS
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
  if (argc == 4 && std::wcscmp(argv[1], L"hold") == 0) {
    return hold(argv[2], std::wcstol(argv[3], nullptr, 10));
  }
  std::fprintf(stderr,
               "usage: device_plug arrive|remove PATH\n"
               "       device_plug hold STOP_FILE SECONDS\n");
  return 2;
}
