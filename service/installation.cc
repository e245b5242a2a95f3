#include "service/installation.h"

#include <windows.h>

#include <cwchar>

#include "common/event_report.h"
#include "service/event_sources.h"
#include "service/power_events.h"
#include "service/service_handle.h"
#include "service/service_identity.h"

namespace {

constexpr DWORD kModulePathUnits = MAX_PATH;
// The path between double quotes.
constexpr DWORD kImagePathUnits = kModulePathUnits + 2;

// The program's own full path, in double quotes: unquoted, Windows would
// read a path with spaces ("C:\Program Files\...") as a shorter program
// name followed by arguments and try C:\Program.exe first. False when the
// path does not fit whole: a cut path would register some other file as the
// service.
bool getOwnImagePath(wchar_t (&imagePath)[kImagePathUnits]) {
  wchar_t path[kModulePathUnits];
  DWORD length = GetModuleFileNameW(nullptr, path, kModulePathUnits);
  if (length == 0 || length >= kModulePathUnits) return false;
  int written = swprintf(imagePath, kImagePathUnits, L"\"%ls\"", path);
  return written > 0 && static_cast<DWORD>(written) < kImagePathUnits;
}

// A service that fails to start at boot is logged and left stopped
// (SERVICE_ERROR_NORMAL): a firmware helper must never send the PC back to
// its last-known-good configuration or stop it from booting.
SC_HANDLE createService(SC_HANDLE manager, const wchar_t* imagePath) {
  return CreateServiceW(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                        SERVICE_ERROR_NORMAL, imagePath, nullptr, nullptr,
                        nullptr, nullptr, nullptr);
}

// A service that ends without reporting itself stopped (a crash, a kill, a
// worker that took the process down) is started again, and its start scan
// finds the device. The count of failures goes back to zero after a day
// without one. The flag for failures that report a stop with an error stays
// off: those are a Windows folder or a notification the service cannot use,
// which a restart does not mend.
constexpr DWORD kRestartDelayMs = 60000;
constexpr DWORD kLastRestartDelayMs = 600000;  // from the third failure on
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;

void setRecoveryActions(SC_HANDLE service) {
  SC_ACTION actions[] = {{SC_ACTION_RESTART, kRestartDelayMs},
                         {SC_ACTION_RESTART, kRestartDelayMs},
                         {SC_ACTION_RESTART, kLastRestartDelayMs}};
  SERVICE_FAILURE_ACTIONSW failure = {};
  failure.dwResetPeriod = kFailureResetSeconds;
  failure.cActions = sizeof actions / sizeof actions[0];
  failure.lpsaActions = actions;
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS,
                             &failure)) {
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "set service recovery actions fail: %d",
                      static_cast<int>(GetLastError()));
  }
}

// Windows waits this long at shutdown for a service that accepts the
// preshutdown; without it, 10 s.
void setPreshutdownTimeout(SC_HANDLE service) {
  SERVICE_PRESHUTDOWN_INFO preshutdown = {kPreshutdownTimeoutMs};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO,
                             &preshutdown)) {
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "set service preshutdown timeout fail: %d",
                      static_cast<int>(GetLastError()));
  }
}

// What the registration carries beyond its creation. Either failing leaves
// a service that upgrades as before, without that protection: its event
// says which.
void configureService(SC_HANDLE service) {
  setRecoveryActions(service);
  setPreshutdownTimeout(service);
}

bool registerService() {
  ServiceHandle manager(
      OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"OpenSCManager fail");
    return false;
  }
  wchar_t imagePath[kImagePathUnits];
  if (!getOwnImagePath(imagePath)) return false;
  ServiceHandle service(createService(manager.get(), imagePath));
  if (!service) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"create [VelunorUpdateService] fail");
    return false;
  }
  configureService(service.get());
  return true;
}

UninstallResult deleteStoppedService(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  if (!QueryServiceStatus(service, &status)) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"query service status fail");
    return kUninstallStatusNotQueried;
  }
  if (status.dwCurrentState != SERVICE_STOPPED) {
    reportEvent(EVENTLOG_ERROR_TYPE,
                L"service is not stopped, can not delete service");
    return kUninstallNotStopped;
  }
  if (!DeleteService(service)) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"delete service fail");
    return kUninstallDeleteFailed;
  }
  return kUninstallDeleted;
}

}  // namespace

void installService() {
  if (registerService()) {
    registerEventSources();
    reportEvent(EVENTLOG_INFORMATION_TYPE,
                L"install [VelunorUpdateService] success");
  } else {
    reportEvent(EVENTLOG_ERROR_TYPE, L"install [VelunorUpdateService] fail");
  }
}

UninstallResult uninstallService() {
  reportEvent(EVENTLOG_INFORMATION_TYPE, L"uninstallService start");
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"OpenSCManager fail");
    return kUninstallManagerNotOpened;
  }
  ServiceHandle service(
      OpenServiceW(manager.get(), kServiceName, DELETE | SERVICE_QUERY_STATUS));
  if (!service) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"OpenService fail");
    return kUninstallServiceNotOpened;
  }
  return deleteStoppedService(service.get());
}
