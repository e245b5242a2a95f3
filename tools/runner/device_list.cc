#include "tools/runner/device_list.h"

#include <cstddef>
#include <cstring>

#include "adbwinapi/adb_api.h"

namespace {

// An enumeration entry as the upgrade library reads it: a name that does not
// fit here is one the library cannot open either.
constexpr AdbULong kEntryBytes = 2048;
constexpr AdbULong kSerialChars = 256;

// The calls of the AdbWinApi.dll that the upgrade library is bound to, so the
// list shows what the library would see.
struct AdbCalls {
  decltype(&AdbEnumInterfaces) enumInterfaces;
  decltype(&AdbNextInterface) nextInterface;
  decltype(&AdbCreateInterfaceByName) createInterfaceByName;
  decltype(&AdbGetSerialNumber) getSerialNumber;
  decltype(&AdbCloseHandle) closeHandle;
};

template <typename Function>
bool bindCall(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *function != nullptr;
}

bool bindCalls(HMODULE module, AdbCalls* calls) {
  return module != nullptr &&
         bindCall(module, "AdbEnumInterfaces", &calls->enumInterfaces) &&
         bindCall(module, "AdbNextInterface", &calls->nextInterface) &&
         bindCall(module, "AdbCreateInterfaceByName",
                  &calls->createInterfaceByName) &&
         bindCall(module, "AdbGetSerialNumber", &calls->getSerialNumber) &&
         bindCall(module, "AdbCloseHandle", &calls->closeHandle);
}

// An AdbWinApi handle, closed when it goes.
class AdbHandle {
 public:
  AdbHandle(const AdbCalls& calls, ADBAPIHANDLE handle)
      : calls_(calls), handle_(handle) {}
  ~AdbHandle() {
    if (handle_ != nullptr) calls_.closeHandle(handle_);
  }
  AdbHandle(const AdbHandle&) = delete;
  AdbHandle& operator=(const AdbHandle&) = delete;

  ADBAPIHANDLE get() const { return handle_; }

 private:
  const AdbCalls& calls_;
  ADBAPIHANDLE handle_;
};

// The serial number, when the interface opens and the device gives one.
bool readSerial(const AdbCalls& calls, const wchar_t* name,
                std::string* serial) {
  AdbHandle interface(calls, calls.createInterfaceByName(name));
  if (interface.get() == nullptr) return false;
  char text[kSerialChars] = {};
  AdbULong size = kSerialChars;
  if (!calls.getSerialNumber(interface.get(), text, &size, true)) return false;
  text[kSerialChars - 1] = '\0';
  *serial = text;
  return !serial->empty();
}

ListedDevice describe(const AdbCalls& calls, const wchar_t* name) {
  ListedDevice device;
  device.path = announcedPath(name);
  device.family = &familyOf(device.path.c_str());
  device.hasSerial = readSerial(calls, name, &device.serial);
  return device;
}

// The names of the enumerated interfaces, with the library's filters:
// present, not removed, active. False, with the reason, when AdbWinApi
// refuses the enumeration or a step of it fails before its end: a listing
// cut short says nothing of the interfaces it did not reach.
bool enumerateInterfaces(const AdbCalls& calls, GUID interfaceClass,
                         std::vector<std::wstring>* names, DWORD* error) {
  AdbHandle enumeration(calls,
                        calls.enumInterfaces(interfaceClass, true, true, true));
  if (enumeration.get() == nullptr) {
    *error = GetLastError();
    return false;
  }
  alignas(8) unsigned char entry[kEntryBytes];
  for (;;) {
    std::memset(entry, 0, sizeof entry);
    AdbULong size = kEntryBytes;
    if (!calls.nextInterface(enumeration.get(), entry, &size)) {
      DWORD end = GetLastError();
      if (end == ERROR_NO_MORE_ITEMS) return true;
      *error = end;
      return false;
    }
    // Whatever was stored, the name ends inside the entry.
    entry[kEntryBytes - 2] = 0;
    entry[kEntryBytes - 1] = 0;
    names->emplace_back(reinterpret_cast<const wchar_t*>(
        entry + offsetof(AdbInterfaceInfo, device_name)));
  }
}

}  // namespace

DeviceList listDevices(HMODULE module, GUID interfaceClass) {
  DeviceList list;
  AdbCalls calls{};
  list.bound = bindCalls(module, &calls);
  if (!list.bound) return list;
  std::vector<std::wstring> names;
  list.enumerated =
      enumerateInterfaces(calls, interfaceClass, &names, &list.error);
  for (const std::wstring& name : names) {
    list.devices.push_back(describe(calls, name.c_str()));
  }
  return list;
}

DevicePresence devicePresence(HMODULE module, GUID interfaceClass,
                              const std::wstring& devicePath) {
  AdbCalls calls{};
  if (!bindCalls(module, &calls)) return DevicePresence::kUnknown;
  std::vector<std::wstring> names;
  DWORD error = 0;
  bool complete = enumerateInterfaces(calls, interfaceClass, &names, &error);
  std::wstring lower = devicePath;
  for (wchar_t& unit : lower) {
    if (unit >= L'A' && unit <= L'Z')
      unit = static_cast<wchar_t>(unit - L'A' + L'a');
  }
  for (const std::wstring& name : names) {
    if (name == lower) return DevicePresence::kListed;
  }
  return complete ? DevicePresence::kMissing : DevicePresence::kUnknown;
}

std::wstring announcedPath(const wchar_t* interfaceName) {
  std::wstring path(interfaceName);
  toAnnouncedPath(&path[0]);
  return path;
}

void printDevice(FILE* out, const ListedDevice& device) {
  std::fprintf(out, "%-6s  %s  %s%s\n", narrow(device.family->name).c_str(),
               narrow(device.path).c_str(),
               device.hasSerial ? "serial " : "no serial number",
               device.hasSerial ? device.serial.c_str() : "");
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  int length = static_cast<int>(text.size());
  int size = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0,
                                 nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string result(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), length, &result[0], size, nullptr,
                      nullptr);
  return result;
}
