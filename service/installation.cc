#include "service/installation.h"

#include <windows.h>

#include <cwchar>

#include "common/event_report.h"
#include "service/event_sources.h"
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
