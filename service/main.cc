// VlnrZR700UpdateService: one program, three roles by its first argument.
// No console output: every outcome is an event, the exit code is always 0.
#include <windows.h>

#include <cstring>

#include "common/event_report.h"
#include "service/installation.h"
#include "service/service_identity.h"
#include "service/service_runtime.h"
#include "service/upgrade_worker.h"

namespace {

void runService() {
  SERVICE_TABLE_ENTRYW table[] = {
      {const_cast<LPWSTR>(kServiceName), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"start service control dispatcher fail");
  }
  waitForServiceRemoval();
  reportEvent(EVENTLOG_INFORMATION_TYPE, L"runServcie success");
}

void runUninstall() {
  if (uninstallService() == kUninstallDeleted) {
    reportEvent(EVENTLOG_INFORMATION_TYPE,
                L"uninstall [VelunorUpdateService] success");
  } else {
    reportEvent(EVENTLOG_ERROR_TYPE, L"uninstall [VelunorUpdateService] fail");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    runService();
  } else if (std::strcmp(argv[1], "install") == 0) {
    installService();
  } else if (std::strcmp(argv[1], "uninstall") == 0) {
    runUninstall();
  }
  return 0;
}
