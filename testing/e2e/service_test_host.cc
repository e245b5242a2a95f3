// service_test_host: the service's own code (ServiceMain, the control
// handler, the upgrade worker, the removal) run by Wine's real service
// dispatcher as the registered service, for the end-to-end run under Wine.
//
// Wine's plug-and-play service broadcasts device events to the device
// notifications of a service, but Wine's user32 drops them for service
// handles, so the control handler is never called. This host completes that
// hop: it watches which control handler and which device notifications the
// service code registers (through its own imports, forwarding every call to
// the system), listens to the plug-and-play broadcasts, and calls the handler
// of each matching notification as Windows does: SERVICE_CONTROL_DEVICEEVENT,
// the DBT_ code, the DEV_BROADCAST_DEVICEINTERFACE_W with the path, and the
// handler's context. One event at a time, on one thread, in the order sent.
//
//   service_test_host            run as the service (started by the manager)
//   service_test_host install    register this program as the service
//
// What it does is written, line by line, to service_test_host.log beside it.
//
// A scenario may shorten the arrival's settle wait, which would otherwise
// hold up every event for 15 s: service_test_host_settle_ms.txt beside the
// program holds the wait in milliseconds that replaces it. The host says so
// in its log. Likewise service_test_host_device_back_ms.txt holds how long
// a device told to start its update is waited for, instead of two minutes.
// Every other wait of the service code stays as it is.
// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/event_report.h"
#include "service/awake_hold.h"
#include "service/installation.h"
#include "service/service_context.h"
#include "service/service_runtime.h"
#include "testing/e2e/device_broadcast.h"
#include "testing/e2e/plugplay_client.h"
#include "testing/import_patch.h"

namespace {

using RegisterHandlerCall =
    SERVICE_STATUS_HANDLE(WINAPI*)(LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID);
using RegisterNotificationCall = HDEVNOTIFY(WINAPI*)(HANDLE, LPVOID, DWORD);
using UnregisterNotificationCall = BOOL(WINAPI*)(HDEVNOTIFY);

// --- The host's own log ---

std::mutex logLock;
std::wstring logPath;

void hostLog(const char* format, ...) {
  std::lock_guard<std::mutex> guard(logLock);
  FILE* file = _wfopen(logPath.c_str(), L"ab");
  if (file == nullptr) return;
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::fprintf(file, "%02u:%02u:%02u.%03u ", now.wHour, now.wMinute,
               now.wSecond, now.wMilliseconds);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(file, format, arguments);
  va_end(arguments);
  std::fputc('\n', file);
  std::fclose(file);
}

std::wstring besideThisProgram(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return name;
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

// --- What the service code registers ---

struct ControlHandler {
  SERVICE_STATUS_HANDLE statusHandle;
  LPHANDLER_FUNCTION_EX handler;
  LPVOID context;
};

struct DeviceNotification {
  HDEVNOTIFY notify;
  HANDLE recipient;
  bool allClasses;
  GUID classGuid;
};

std::mutex registrationLock;
std::vector<ControlHandler> controlHandlers;
std::vector<DeviceNotification> deviceNotifications;

RegisterHandlerCall systemRegisterHandler;
RegisterNotificationCall systemRegisterNotification;
UnregisterNotificationCall systemUnregisterNotification;

// How long the service waits for a device told to start; set in its context
// as it registers its handler.
DWORD deviceBackMs = kDeviceBackBoundMs;

SERVICE_STATUS_HANDLE WINAPI watchRegisterHandler(LPCWSTR name,
                                                  LPHANDLER_FUNCTION_EX handler,
                                                  LPVOID context) {
  SERVICE_STATUS_HANDLE statusHandle =
      systemRegisterHandler(name, handler, context);
  hostLog("RegisterServiceCtrlHandlerExW(%ls) -> %p", name,
          static_cast<void*>(statusHandle));
  if (statusHandle != nullptr) {
    std::lock_guard<std::mutex> guard(registrationLock);
    controlHandlers.push_back({statusHandle, handler, context});
  }
  // The service's context, before any device is seen.
  if (context != nullptr && deviceBackMs != kDeviceBackBoundMs) {
    static_cast<ServiceContext*>(context)->deviceBackWaitMs = deviceBackMs;
    hostLog("wait for a device told to start shortened from %lu ms to %lu ms",
            static_cast<unsigned long>(kDeviceBackBoundMs),
            static_cast<unsigned long>(deviceBackMs));
  }
  return statusHandle;
}

HDEVNOTIFY WINAPI watchRegisterNotification(HANDLE recipient, LPVOID filter,
                                            DWORD flags) {
  HDEVNOTIFY notify = systemRegisterNotification(recipient, filter, flags);
  auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
  hostLog("RegisterDeviceNotificationW(%p, type %lu, flags 0x%lx) -> %p",
          recipient,
          header ? static_cast<unsigned long>(header->dbch_devicetype) : 0UL,
          static_cast<unsigned long>(flags), static_cast<void*>(notify));
  if (notify != nullptr && (flags & DEVICE_NOTIFY_SERVICE_HANDLE) != 0 &&
      header != nullptr &&
      header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
    auto* interfaceFilter =
        static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
    std::lock_guard<std::mutex> guard(registrationLock);
    deviceNotifications.push_back(
        {notify, recipient, (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0,
         interfaceFilter->dbcc_classguid});
  }
  return notify;
}

BOOL WINAPI watchUnregisterNotification(HDEVNOTIFY notify) {
  {
    std::lock_guard<std::mutex> guard(registrationLock);
    for (auto it = deviceNotifications.begin(); it != deviceNotifications.end();
         ++it) {
      if (it->notify == notify) {
        deviceNotifications.erase(it);
        break;
      }
    }
  }
  BOOL result = systemUnregisterNotification(notify);
  hostLog("UnregisterDeviceNotification(%p) -> %d", static_cast<void*>(notify),
          result);
  return result;
}

template <typename Call>
Call systemCall(const wchar_t* library, const char* name) {
  FARPROC address = GetProcAddress(GetModuleHandleW(library), name);
  return reinterpret_cast<Call>(reinterpret_cast<void*>(address));
}

// --- The settle wait ---

using SleepCall = void(WINAPI*)(DWORD);
SleepCall systemSleep;
DWORD settleMs = kArrivalSettleMs;

void WINAPI shortenedSleep(DWORD milliseconds) {
  systemSleep(milliseconds == kArrivalSettleMs ? settleMs : milliseconds);
}

// The settle wait, which a stop may end: a wait on the stop signal.
using WaitCall = DWORD(WINAPI*)(HANDLE, DWORD, BOOL);
WaitCall systemWait;

DWORD WINAPI shortenedWait(HANDLE object, DWORD milliseconds, BOOL alertable) {
  return systemWait(object,
                    milliseconds == kArrivalSettleMs ? settleMs : milliseconds,
                    alertable);
}

// The wait the scenario asks for in the file `name`, or the service's own.
DWORD waitAskedFor(const wchar_t* name, DWORD own) {
  FILE* file = _wfopen(besideThisProgram(name).c_str(), L"r");
  if (file == nullptr) return own;
  unsigned long asked = own;
  if (std::fscanf(file, "%lu", &asked) != 1) asked = own;
  std::fclose(file);
  return static_cast<DWORD>(asked);
}

// --- Delivery of the broadcasts ---

// The handlers whose notifications take a broadcast of this class.
std::vector<ControlHandler> recipientsOf(const GUID& classGuid) {
  std::lock_guard<std::mutex> guard(registrationLock);
  std::vector<ControlHandler> recipients;
  for (const DeviceNotification& notification : deviceNotifications) {
    if (!notification.allClasses &&
        !IsEqualGUID(notification.classGuid, classGuid)) {
      continue;
    }
    for (const ControlHandler& handler : controlHandlers) {
      if (handler.statusHandle == notification.recipient) {
        recipients.push_back(handler);
      }
    }
  }
  return recipients;
}

void deliver(DWORD eventCode, std::vector<BYTE>& data) {
  const DEV_BROADCAST_DEVICEINTERFACE_W* broadcast = deviceInterfaceOf(data);
  if (broadcast == nullptr) {
    hostLog("event 0x%04lx without a device interface record, not delivered",
            static_cast<unsigned long>(eventCode));
    return;
  }
  std::vector<ControlHandler> recipients =
      recipientsOf(broadcast->dbcc_classguid);
  if (recipients.empty()) {
    hostLog("event 0x%04lx for %ls: no notification registered for its class",
            static_cast<unsigned long>(eventCode), broadcast->dbcc_name);
    return;
  }
  for (const ControlHandler& recipient : recipients) {
    hostLog("SERVICE_CONTROL_DEVICEEVENT 0x%04lx for %ls",
            static_cast<unsigned long>(eventCode), broadcast->dbcc_name);
    DWORD result = recipient.handler(SERVICE_CONTROL_DEVICEEVENT, eventCode,
                                     data.data(), recipient.context);
    hostLog("handler returned %lu", static_cast<unsigned long>(result));
  }
}

DWORD WINAPI deliverDeviceEvents(LPVOID listener) {
  auto* plugPlay = static_cast<PlugPlayListener*>(listener);
  DWORD eventCode = 0;
  std::vector<BYTE> data;
  while (plugPlay->nextEvent(&eventCode, &data)) deliver(eventCode, data);
  hostLog("plug-and-play listener ended");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // As the shipped program starts: names load from System32 only.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (argc > 1) {
    if (std::strcmp(argv[1], "install") == 0) installService();
    return 0;
  }
  logPath = besideThisProgram(L"service_test_host.log");
  hostLog("process %lu started", GetCurrentProcessId());

  systemRegisterHandler = systemCall<RegisterHandlerCall>(
      L"advapi32.dll", "RegisterServiceCtrlHandlerExW");
  systemRegisterNotification = systemCall<RegisterNotificationCall>(
      L"user32.dll", "RegisterDeviceNotificationW");
  systemUnregisterNotification = systemCall<UnregisterNotificationCall>(
      L"user32.dll", "UnregisterDeviceNotification");
  ImportPatch handlerPatch(nullptr, "RegisterServiceCtrlHandlerExW",
                           reinterpret_cast<void*>(watchRegisterHandler));
  ImportPatch registerPatch(nullptr, "RegisterDeviceNotificationW",
                            reinterpret_cast<void*>(watchRegisterNotification));
  ImportPatch unregisterPatch(
      nullptr, "UnregisterDeviceNotification",
      reinterpret_cast<void*>(watchUnregisterNotification));
  if (!handlerPatch.applied() || !registerPatch.applied() ||
      !unregisterPatch.applied()) {
    hostLog("the service code's registrations cannot be watched");
    return 1;
  }
  systemSleep = systemCall<SleepCall>(L"kernel32.dll", "Sleep");
  settleMs = waitAskedFor(L"service_test_host_settle_ms.txt", kArrivalSettleMs);
  deviceBackMs = waitAskedFor(L"service_test_host_device_back_ms.txt",
                              kDeviceBackBoundMs);
  ImportPatch sleepPatch(nullptr, "Sleep",
                         reinterpret_cast<void*>(shortenedSleep));
  systemWait = systemCall<WaitCall>(L"kernel32.dll", "WaitForSingleObjectEx");
  ImportPatch waitPatch(nullptr, "WaitForSingleObjectEx",
                        reinterpret_cast<void*>(shortenedWait));
  if (settleMs != kArrivalSettleMs) {
    if (!sleepPatch.applied() || !waitPatch.applied()) {
      hostLog("the settle wait cannot be shortened");
      return 1;
    }
    hostLog("arrival settle wait shortened from %lu ms to %lu ms",
            static_cast<unsigned long>(kArrivalSettleMs),
            static_cast<unsigned long>(settleMs));
  }

  // Listening starts before the service does, so no event sent once it runs
  // is missed. The listener lives until the process ends.
  if (!connectPlugPlay()) {
    hostLog("plug-and-play service not reached");
    return 1;
  }
  auto* listener = new PlugPlayListener();
  if (!listener->registered()) {
    hostLog("plug-and-play listener not registered");
    return 1;
  }
  HANDLE delivery =
      CreateThread(nullptr, 0, deliverDeviceEvents, listener, 0, nullptr);
  if (delivery == nullptr) return 1;
  CloseHandle(delivery);
  hostLog("listening to plug-and-play broadcasts");

  runService();
  hostLog("process ends");
  return 0;
}
