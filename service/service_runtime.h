// The running service: its context, its start, and its control handler with
// the device arrival and removal procedures.
#ifndef VELUNOR_SERVICE_SERVICE_RUNTIME_H_
#define VELUNOR_SERVICE_SERVICE_RUNTIME_H_

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct ServiceContext;

// The worker's parameter block. The texts belong to the context.
struct UpgradeThreadParams {
  const char* updateFile;
  const wchar_t* devicePath;
  uint8_t bForce;
  uint8_t bUpdate;
  const char* version;
  GUID interfaceGuid;
  ServiceContext* context;
};

// Device interface path, terminating NUL included.
constexpr size_t kDevicePathUnits = MAX_PATH;
// Bytes a registry text may fill; one more byte always stays 0.
constexpr DWORD kSettingTextBytes = MAX_PATH;

struct ServiceContext {
  SERVICE_STATUS status;
  SERVICE_STATUS_HANDLE statusHandle;
  HDEVNOTIFY deviceNotify;
  wchar_t devicePath[kDevicePathUnits];
  char updateFile[kSettingTextBytes + 1];
  HANDLE workerThread;
  DWORD workerThreadId;
  uint8_t bForce;
  uint8_t bUpdate;
  char version[kSettingTextBytes + 1];
  UpgradeThreadParams params;
};

// Results of the control handler for a device arrival.
enum ArrivalResult : DWORD {
  kArrivalWorkerStarted = 0,
  kArrivalKeyNotOpened = 3,
  kArrivalUpdateFileNotRead = 4,
  kArrivalPathRefused = 5,
  kArrivalForceNotRead = 12,
  kArrivalUpdateNotRead = 13,
  kArrivalVersionNotRead = 14,
};

// How long an arrived device is given to settle before it is looked at.
constexpr DWORD kArrivalSettleMs = 15000;

// A new context as the service starts with it. Never freed: the worker may
// still use it while the process ends.
ServiceContext* newServiceContext();

// Reports `state` to the service control manager.
void reportServiceState(ServiceContext* context, DWORD state);

// Stops the device notifications, once.
void unregisterDeviceEvents(ServiceContext* context);

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

// The service role of the program: hands the main thread to the service
// dispatcher until the service has stopped (and, after an upgrade, until its
// registration is removed), then writes the main thread's last event.
void runService();

DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD eventType,
                                  LPVOID eventData, LPVOID context);

#endif  // VELUNOR_SERVICE_SERVICE_RUNTIME_H_
