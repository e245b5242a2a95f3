// device_plug: plugs a device of the update interface class in or out of a
// Wine prefix by sending the event through Wine's plug-and-play service,
// which broadcasts it as the system does. Also keeps the prefix alive: Wine
// stops every service once no ordinary process is left.
//
//   device_plug arrive PATH            makes the device at PATH present,
//                                      then DBT_DEVICEARRIVAL for it
//   device_plug remove PATH            makes it absent, then
//                                      DBT_DEVICEREMOVECOMPLETE for it
//   device_plug hold STOP_FILE SECONDS stay until STOP_FILE exists, at most
//                                      SECONDS
//   device_plug sequence FILE          a burst: each line of FILE is
//                                      "arrive|remove PATH WAIT_MS", sent in
//                                      order, WAIT_MS after each
//   device_plug present PATH           makes the device at PATH present, as
//                                      a connected device is, without any
//                                      broadcast
//   device_plug absent PATH            makes it absent again
//
// A device plugged in is listed before its arrival is broadcast, and one
// pulled out is gone before its removal is: the service looks again after
// an arrival's settle wait, and upgrades only a device that is still there.
//
// Exit code 0 on success, 1 when the plug-and-play service is not reached
// or the device could not be made present or absent, 2 on a wrong command
// line.
// clang-format off
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "testing/e2e/device_broadcast.h"
#include "testing/e2e/plugplay_client.h"

namespace {

// --- A device present without any broadcast ---

// The device instance of an interface path: "\\?\USB#VID_x&PID_y#SN#{class}"
// is the instance "USB\VID_x&PID_y\SN". False, after saying so, for any
// other text.
bool instanceOf(const std::wstring& path, std::wstring* instance) {
  const std::wstring prefix = L"\\\\?\\";
  size_t classStart = path.rfind(L"#{");
  if (path.compare(0, prefix.size(), prefix) != 0 ||
      classStart == std::wstring::npos || classStart <= prefix.size()) {
    std::fprintf(stderr, "device_plug: not an interface path: %ls\n",
                 path.c_str());
    return false;
  }
  *instance = path.substr(prefix.size(), classStart - prefix.size());
  for (wchar_t& unit : *instance) {
    if (unit == L'#') unit = L'\\';
  }
  return true;
}

// A device information list, destroyed on every path out; empty when it
// could not be made.
using DeviceList =
    std::unique_ptr<void, decltype(&SetupDiDestroyDeviceInfoList)>;

DeviceList deviceList(HDEVINFO list) {
  return DeviceList(list == INVALID_HANDLE_VALUE ? nullptr : list,
                    SetupDiDestroyDeviceInfoList);
}

// The path of one interface of a list; false when it cannot be read.
bool interfacePathOf(const DeviceList& list,
                     SP_DEVICE_INTERFACE_DATA* interface, std::wstring* path) {
  alignas(SP_DEVICE_INTERFACE_DETAIL_DATA_W) unsigned char buffer[4096] = {};
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(list.get(), interface, detail,
                                        sizeof buffer - sizeof(wchar_t),
                                        nullptr, nullptr)) {
    return false;
  }
  *path = detail->DevicePath;
  return true;
}

// The paths of the present interfaces of the class, as the service lists
// them.
std::vector<std::wstring> presentPaths() {
  std::vector<std::wstring> paths;
  DeviceList list =
      deviceList(SetupDiGetClassDevsW(&kUpdateDeviceClass, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!list) return paths;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interface = {};
    interface.cbSize = sizeof interface;
    if (!SetupDiEnumDeviceInterfaces(list.get(), nullptr, &kUpdateDeviceClass,
                                     index, &interface)) {
      break;
    }
    std::wstring path;
    if (interfacePathOf(list, &interface, &path)) paths.push_back(path);
  }
  return paths;
}

bool listedAsPresent(const std::wstring& path) {
  for (const std::wstring& present : presentPaths()) {
    if (_wcsicmp(present.c_str(), path.c_str()) == 0) return true;
  }
  return false;
}

// What a driver enabling the interface sets on Windows: the interface's
// "#\Control" key with Linked = 1. Wine lists an interface as present
// once it is there.
bool linkInterface(const std::wstring& interfacePath) {
  std::wstring key =
      L"System\\CurrentControlSet\\Control\\DeviceClasses\\"
      L"{6B11E5BB-F5CA-4902-9615-773B3D2F2FEC}\\##?#" +
      interfacePath.substr(4) + L"\\#\\Control";
  HKEY control = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                      KEY_SET_VALUE, nullptr, &control,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  DWORD linked = 1;
  LSTATUS set = RegSetValueExW(control, L"Linked", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&linked),
                               sizeof linked);
  RegCloseKey(control);
  return set == ERROR_SUCCESS;
}

// Registers the device instance with an interface of the class, as its
// driver's installation does: the interface's path, or false and the error.
bool registerInterface(const std::wstring& instance,
                       std::wstring* interfacePath, DWORD* error) {
  DeviceList list =
      deviceList(SetupDiCreateDeviceInfoList(&kUpdateDeviceClass, nullptr));
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  SP_DEVICE_INTERFACE_DATA interface = {};
  interface.cbSize = sizeof interface;
  bool made =
      list &&
      (SetupDiCreateDeviceInfoW(list.get(), instance.c_str(),
                                &kUpdateDeviceClass, nullptr, nullptr, 0,
                                &device) ||
       SetupDiOpenDeviceInfoW(list.get(), instance.c_str(), nullptr, 0,
                              &device)) &&
      SetupDiRegisterDeviceInfo(list.get(), &device, 0, nullptr, nullptr,
                                nullptr) &&
      SetupDiCreateDeviceInterfaceW(list.get(), &device, &kUpdateDeviceClass,
                                    nullptr, 0, &interface) &&
      interfacePathOf(list, &interface, interfacePath);
  *error = made ? ERROR_SUCCESS : GetLastError();
  return made;
}

// Removes the device instance, with its interfaces, if it is there.
void removeDevice(const std::wstring& instance) {
  DeviceList list =
      deviceList(SetupDiCreateDeviceInfoList(&kUpdateDeviceClass, nullptr));
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  if (list && SetupDiOpenDeviceInfoW(list.get(), instance.c_str(), nullptr, 0,
                                     &device)) {
    SetupDiRemoveDevice(list.get(), &device);
  }
}

int makePresent(const wchar_t* path) {
  std::wstring instance;
  if (!instanceOf(path, &instance)) return 2;
  std::wstring interfacePath;
  DWORD error = ERROR_SUCCESS;
  if (!registerInterface(instance, &interfacePath, &error) ||
      !linkInterface(interfacePath) || !listedAsPresent(interfacePath)) {
    std::fprintf(stderr, "device_plug: %ls not made present (error %lu)\n",
                 path, static_cast<unsigned long>(error));
    return 1;
  }
  std::printf("device_plug: present %ls\n", interfacePath.c_str());
  return 0;
}

int makeAbsent(const wchar_t* path) {
  std::wstring instance;
  if (!instanceOf(path, &instance)) return 2;
  removeDevice(instance);
  if (listedAsPresent(path)) {
    std::fprintf(stderr, "device_plug: %ls is still present\n", path);
    return 1;
  }
  std::printf("device_plug: absent %ls\n", path);
  return 0;
}

// --- Broadcasts ---

// Present for an arrival, absent for a removal, as the broadcast says.
int plugFor(DWORD eventCode, const wchar_t* path) {
  if (eventCode == DBT_DEVICEREMOVECOMPLETE) return makeAbsent(path);
  return listedAsPresent(path) ? 0 : makePresent(path);
}

int sendDeviceEvent(DWORD eventCode, const wchar_t* path) {
  if (int plugged = plugFor(eventCode, path)) return plugged;
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
    if (int plugged = plugFor(step.eventCode, step.path.c_str())) {
      return plugged;
    }
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
  if (argc == 3 && std::wcscmp(argv[1], L"present") == 0) {
    return makePresent(argv[2]);
  }
  if (argc == 3 && std::wcscmp(argv[1], L"absent") == 0) {
    return makeAbsent(argv[2]);
  }
  if (argc == 3 && std::wcscmp(argv[1], L"sequence") == 0) {
    return sendSequence(argv[2]);
  }
  if (argc == 4 && std::wcscmp(argv[1], L"hold") == 0) {
    return hold(argv[2], std::wcstol(argv[3], nullptr, 10));
  }
  std::fprintf(stderr,
               "usage: device_plug arrive|remove|present|absent PATH\n"
               "       device_plug sequence FILE\n"
               "       device_plug hold STOP_FILE SECONDS\n");
  return 2;
}
