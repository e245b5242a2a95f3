// VlnrZR700UpdateService: one program, three roles by its first argument.
// No console output: every outcome is an event, the exit code is always 0.
#include <windows.h>

#include <cstring>

#include "common/event_report.h"
#include "service/event_sources.h"
#include "service/installation.h"
#include "service/service_runtime.h"

namespace {

void runUninstall() {
  if (uninstallService() == kUninstallDeleted) {
    reportEvent(EVENTLOG_INFORMATION_TYPE,
                L"uninstall [VelunorUpdateService] success");
  } else {
    reportEvent(EVENTLOG_ERROR_TYPE, L"uninstall [VelunorUpdateService] fail");
  }
  removeEventSourcesWithoutFamily();
}

}  // namespace

int main(int argc, char** argv) {
  // The service runs as LocalSystem: whatever the process loads by name comes
  // from System32, never from the program's folder, the current directory or
  // a folder on PATH.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (argc == 1) {
    runService();
  } else if (std::strcmp(argv[1], "install") == 0) {
    installService();
  } else if (std::strcmp(argv[1], "uninstall") == 0) {
    runUninstall();
  }
  return 0;
}
