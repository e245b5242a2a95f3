// service_repoint: points a registered service at another program and leaves
// the rest of its registration (start type, account, error control) as it
// is. Wine's sc.exe has no "config" command to do this.
//
//   service_repoint NAME PROGRAM
//
// Exit code 0 done, 1 the service was not opened or not changed (the reason
// on standard error), 2 a wrong command line.
#include <windows.h>

#include <cstdio>

#include "service/service_handle.h"

namespace {

int fail(const char* step) {
  std::fprintf(stderr, "service_repoint: %s failed with %lu\n", step,
               static_cast<unsigned long>(GetLastError()));
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: service_repoint NAME PROGRAM\n");
    return 2;
  }
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return fail("OpenSCManagerW");
  ServiceHandle service(
      OpenServiceW(manager.get(), argv[1], SERVICE_CHANGE_CONFIG));
  if (!service) return fail("OpenServiceW");
  if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                            SERVICE_NO_CHANGE, argv[2], nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr)) {
    return fail("ChangeServiceConfigW");
  }
  std::printf("service_repoint: %ls now runs %ls\n", argv[1], argv[2]);
  return 0;
}
