#include "service/installation.h"

#include <windows.h>

#include "common/event_report.h"
#include "service/service_handle.h"
#include "service/service_identity.h"

namespace {

constexpr DWORD kModulePathUnits = MAX_PATH;

// The program's own full path. False when it does not fit whole: a cut path
// would register some other file as the service.
bool getOwnPath(wchar_t (&path)[kModulePathUnits]) {
  DWORD length = GetModuleFileNameW(nullptr, path, kModulePathUnits);
  return length != 0 && length < kModulePathUnits;
}

SC_HANDLE createService(SC_HANDLE manager, const wchar_t* binaryPath) {
  return CreateServiceW(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                        SERVICE_ERROR_CRITICAL, binaryPath, nullptr, nullptr,
                        nullptr, nullptr, nullptr);
}

bool registerService() {
  ServiceHandle manager(
      OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"OpenSCManager fail");
    return false;
  }
  wchar_t ownPath[kModulePathUnits];
  if (!getOwnPath(ownPath)) return false;
  ServiceHandle service(createService(manager.get(), ownPath));
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
