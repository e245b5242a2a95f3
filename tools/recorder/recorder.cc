// A stand-in AdbWinApi.dll for support engineers: it forwards every call,
// unchanged, to the real AdbWinApi.dll in the system folder and writes each
// call with its arguments, results and duration to a recording (see
// recording_format.h). Bulk data written to the device is kept as its size
// and SHA-256, so a recording of a large image stays small.
//
// The runner's recording child tells it, through velunorStartRecording
// (recorder_start.h), the recording's handle and the real library's full
// path. Loaded in any other way, it appends to usb_recording.txt beside
// itself and forwards to the AdbWinApi.dll in the system folder. It reads no
// environment variable: it runs in elevated processes, whose environment a
// user without administrator rights can set.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "adbwinapi/adb_api.h"
#include "tools/recorder/recorder_start.h"
#include "tools/recorder/recording_format.h"

namespace {

using recording::Fields;

struct RealCalls {
  decltype(&AdbEnumInterfaces) enumInterfaces;
  decltype(&AdbNextInterface) nextInterface;
  decltype(&AdbCreateInterfaceByName) createInterfaceByName;
  decltype(&AdbOpenDefaultBulkReadEndpoint) openRead;
  decltype(&AdbOpenDefaultBulkWriteEndpoint) openWrite;
  decltype(&AdbGetInterfaceName) interfaceName;
  decltype(&AdbGetSerialNumber) serialNumber;
  decltype(&AdbGetUsbDeviceDescriptor) deviceDescriptor;
  decltype(&AdbGetUsbInterfaceDescriptor) interfaceDescriptor;
  decltype(&AdbGetEndpointInformation) endpointInformation;
  decltype(&AdbReadEndpointSync) read;
  decltype(&AdbWriteEndpointSync) write;
  decltype(&AdbDefaultEndpointReadWriteSync) control;
  decltype(&AdbCloseHandle) close;
};

HMODULE thisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&thisModule), &module);
  return module;
}

std::wstring moduleFile(HMODULE module) {
  wchar_t path[MAX_PATH * 2];
  DWORD length = GetModuleFileNameW(module, path, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) return std::wstring();
  return std::wstring(path, length);
}

std::wstring systemLibraryPath() {
  wchar_t system[MAX_PATH];
  UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(system, length) + L"\\AdbWinApi.dll";
}

// usb_recording.txt beside this DLL, appended to.
HANDLE openRecordingBesideThis() {
  std::wstring self = moduleFile(thisModule());
  if (self.empty()) return INVALID_HANDLE_VALUE;
  std::wstring path =
      self.substr(0, self.find_last_of(L'\\') + 1) + L"usb_recording.txt";
  return CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool writeAll(HANDLE file, const std::string& text) {
  DWORD written = 0;
  return WriteFile(file, text.data(), static_cast<DWORD>(text.size()),
                   &written, nullptr) &&
         written == text.size();
}

std::string narrowPath(const std::wstring& path) {
  std::vector<uint16_t> units(path.begin(), path.end());
  return recording::escapeText(units.data(), units.size());
}

template <typename Function>
bool bind(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *function != nullptr;
}

// The recorder's one state: the real library, the file, the handle numbers.
class Recorder {
 public:
  // The real calls, loaded at the first call (never in DllMain, where the
  // loader's lock is held); null when the real library is not there.
  const RealCalls* real() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!started_) start();
    return bound_ ? &calls_ : nullptr;
  }

  DWORD loadError() const { return load_error_; }

  bool startWith(HANDLE recording, const wchar_t* realLibrary) {
    std::lock_guard<std::mutex> hold(lock_);
    if (started_ || configured_) return false;
    configured_ = true;
    file_ = recording;
    real_path_ = realLibrary;
    return true;
  }

  std::string handleName(void* handle) {
    if (handle == nullptr) return "0";
    std::lock_guard<std::mutex> hold(lock_);
    auto found = numbers_.find(handle);
    if (found == numbers_.end()) {
      found = numbers_.emplace(handle, next_handle_++).first;
    }
    return recording::handleName(found->second);
  }

  std::string handOut(void* handle) {
    if (handle == nullptr) return "0";
    std::lock_guard<std::mutex> hold(lock_);
    // A value the real library reuses after a close is a new handle.
    numbers_[handle] = next_handle_++;
    return recording::handleName(numbers_[handle]);
  }

  void forget(void* handle) {
    std::lock_guard<std::mutex> hold(lock_);
    numbers_.erase(handle);
  }

  void write(const char* name, const Fields& arguments, const Fields& results) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!started_) start();
    if (file_ == INVALID_HANDLE_VALUE) return;
    writeAll(file_, std::to_string(next_call_++) + " " + name +
                        arguments.text() + " " + recording::kResultsMark +
                        results.text() + "\n");
  }

 private:
  void start() {
    started_ = true;
    if (!configured_) {
      file_ = openRecordingBesideThis();
      real_path_ = systemLibraryPath();
      LARGE_INTEGER size{};
      if (file_ != INVALID_HANDLE_VALUE && GetFileSizeEx(file_, &size) &&
          size.QuadPart == 0) {
        writeAll(file_, std::string(recording::kVersionLine) + "\n");
      }
    }
    HMODULE module =
        real_path_.empty() ? nullptr : LoadLibraryW(real_path_.c_str());
    load_error_ = GetLastError();
    // Ourselves in the system folder would forward to ourselves for ever.
    if (module == thisModule()) module = nullptr;
    bound_ = module != nullptr && bindAll(module);
    if (file_ == INVALID_HANDLE_VALUE) return;
    writeAll(file_, "# recorder " + narrowPath(moduleFile(thisModule())) +
                        "\n# forwarding to " + narrowPath(real_path_) +
                        (bound_ ? "" : ": not loaded, every call fails with "
                                       "error 126") +
                        "\n");
  }

  bool bindAll(HMODULE m) {
    RealCalls& c = calls_;
    return bind(m, "AdbEnumInterfaces", &c.enumInterfaces) &&
           bind(m, "AdbNextInterface", &c.nextInterface) &&
           bind(m, "AdbCreateInterfaceByName", &c.createInterfaceByName) &&
           bind(m, "AdbOpenDefaultBulkReadEndpoint", &c.openRead) &&
           bind(m, "AdbOpenDefaultBulkWriteEndpoint", &c.openWrite) &&
           bind(m, "AdbGetInterfaceName", &c.interfaceName) &&
           bind(m, "AdbGetSerialNumber", &c.serialNumber) &&
           bind(m, "AdbGetUsbDeviceDescriptor", &c.deviceDescriptor) &&
           bind(m, "AdbGetUsbInterfaceDescriptor", &c.interfaceDescriptor) &&
           bind(m, "AdbGetEndpointInformation", &c.endpointInformation) &&
           bind(m, "AdbReadEndpointSync", &c.read) &&
           bind(m, "AdbWriteEndpointSync", &c.write) &&
           bind(m, "AdbDefaultEndpointReadWriteSync", &c.control) &&
           bind(m, "AdbCloseHandle", &c.close);
  }

  std::mutex lock_;
  bool started_ = false;
  bool configured_ = false;  // by velunorStartRecording
  bool bound_ = false;
  DWORD load_error_ = 0;
  RealCalls calls_{};
  // Open for the life of the process.
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::wstring real_path_;
  std::map<void*, uint32_t> numbers_;
  uint32_t next_handle_ = 1;
  uint32_t next_call_ = 1;
};

Recorder& recorder() {
  static Recorder* one = new Recorder();  // never destroyed: calls may
                                          // come during process exit
  return *one;
}

constexpr DWORD kErrorModuleNotFound = 126;

// One forwarded call: its arguments as the caller gave them, its results as
// the real library left them, the time between. Written when it goes, and the
// caller then sees the real call's last error.
class RecordedCall {
 public:
  explicit RecordedCall(const char* name) : name_(name) {
    QueryPerformanceCounter(&start_);
  }
  ~RecordedCall() {
    LARGE_INTEGER end, frequency;
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    results_.addNumber("us", static_cast<uint64_t>(
                                 (end.QuadPart - start_.QuadPart) * 1000000 /
                                 frequency.QuadPart));
    recorder().write(name_, arguments_, results_);
    SetLastError(error_);
  }

  Fields& arguments() { return arguments_; }
  Fields& results() { return results_; }

  // Right after the real call, before anything can change the last error.
  void ended(bool result) {
    error_ = GetLastError();
    results_.addFlag("result", result);
    results_.addNumber("error", error_);
  }
  void endedWithHandle(void* handle) {
    error_ = GetLastError();
    results_.add("result", recorder().handOut(handle));
    results_.addNumber("error", error_);
  }
  // The real library is not there.
  void unavailable(const char* result) {
    error_ = kErrorModuleNotFound;
    results_.add("result", result);
    results_.addNumber("error", error_);
  }

 private:
  const char* name_;
  LARGE_INTEGER start_;
  DWORD error_ = 0;
  Fields arguments_;
  Fields results_;
};

std::string presence(const void* pointer) { return pointer ? "1" : "0"; }

void addSize(Fields& fields, const char* key, const AdbULong* size) {
  fields.add(key, size != nullptr ? std::to_string(*size) : "none");
}

std::string wideText(const AdbWideChar* text) {
  std::vector<uint16_t> units;
  for (; *text != 0; ++text) units.push_back(static_cast<uint16_t>(*text));
  return recording::escapeText(units.data(), units.size());
}

// The text a name or serial call returned, as wide or 8-bit characters.
std::string returnedText(const void* buffer, AdbULong chars, bool ansi) {
  std::vector<uint16_t> units;
  for (AdbULong i = 0; i < chars; ++i) {
    uint16_t unit = ansi ? static_cast<const uint8_t*>(buffer)[i]
                         : static_cast<const AdbWideChar*>(buffer)[i];
    if (unit == 0) break;
    units.push_back(unit);
  }
  return recording::escapeText(units.data(), units.size());
}

bool textCall(const char* name,
              decltype(&AdbGetInterfaceName) RealCalls::*which,
              ADBAPIHANDLE iface, void* buffer, AdbULong* chars, bool ansi) {
  RecordedCall call(name);
  call.arguments().add("handle", recorder().handleName(iface));
  call.arguments().add("buffer", presence(buffer));
  addSize(call.arguments(), "size", chars);
  call.arguments().addFlag("ansi", ansi);
  const RealCalls* real = recorder().real();
  if (real == nullptr) return call.unavailable("0"), false;
  AdbULong asked = chars != nullptr ? *chars : 0;
  bool ok = (real->*which)(iface, buffer, chars, ansi);
  call.ended(ok);
  addSize(call.results(), "size_out", chars);
  if (ok && buffer != nullptr) {
    call.results().add("text", returnedText(buffer, asked, ansi));
  }
  return ok;
}

ADBAPIHANDLE openEndpoint(const char* name,
                          decltype(&AdbOpenDefaultBulkReadEndpoint)
                              RealCalls::*which,
                          ADBAPIHANDLE iface, AdbOpenAccessType access,
                          AdbOpenSharingMode sharing) {
  RecordedCall call(name);
  call.arguments().add("handle", recorder().handleName(iface));
  call.arguments().addNumber("access", static_cast<uint32_t>(access));
  call.arguments().addNumber("sharing", static_cast<uint32_t>(sharing));
  const RealCalls* real = recorder().real();
  if (real == nullptr) return call.unavailable("0"), nullptr;
  ADBAPIHANDLE handle = (real->*which)(iface, access, sharing);
  call.endedWithHandle(handle);
  return handle;
}

}  // namespace

extern "C" {

__declspec(dllexport) bool velunorStartRecording(HANDLE recording,
                                                 const wchar_t* realLibrary) {
  return recorder().startWith(recording, realLibrary);
}
static_assert(std::is_same<decltype(&velunorStartRecording),
                           StartRecordingFunction>::value,
              "the export the runner binds");

ADB_API ADBAPIHANDLE AdbEnumInterfaces(GUID class_id, bool exclude_not_present,
                                       bool exclude_removed, bool active_only) {
  RecordedCall call("AdbEnumInterfaces");
  call.arguments().add("class", recording::guidText(&class_id));
  call.arguments().addFlag("not_present", exclude_not_present);
  call.arguments().addFlag("removed", exclude_removed);
  call.arguments().addFlag("active", active_only);
  const RealCalls* real = recorder().real();
  if (real == nullptr) return call.unavailable("0"), nullptr;
  ADBAPIHANDLE handle = real->enumInterfaces(class_id, exclude_not_present,
                                             exclude_removed, active_only);
  call.endedWithHandle(handle);
  return handle;
}

ADB_API bool AdbNextInterface(ADBAPIHANDLE adb_handle, void* info,
                              AdbULong* size) {
  RecordedCall call("AdbNextInterface");
  call.arguments().add("handle", recorder().handleName(adb_handle));
  call.arguments().add("buffer", presence(info));
  addSize(call.arguments(), "size", size);
  const RealCalls* real = recorder().real();
  if (real == nullptr) return call.unavailable("0"), false;
  AdbULong asked = size != nullptr ? *size : 0;
  bool ok = real->nextInterface(adb_handle, info, size);
  call.ended(ok);
  addSize(call.results(), "size_out", size);
  constexpr AdbULong kNameOffset = 20;
  if (ok && info != nullptr && asked >= kNameOffset) {
    const auto* entry = static_cast<const uint8_t*>(info);
    uint32_t flags = 0;
    std::memcpy(&flags, entry + 16, sizeof flags);
    call.results().add("entry_class", recording::guidText(entry));
    call.results().addNumber("entry_flags", flags);
    call.results().add("name", returnedText(entry + kNameOffset,
                                            (asked - kNameOffset) / 2, false));
  }
  return ok;
}

ADB_API ADBAPIHANDLE AdbCreateInterfaceByName(const AdbWideChar* name) {
  RecordedCall call("AdbCreateInterfaceByName");
  call.arguments().add("name", name != nullptr ? wideText(name) : "none");
  const RealCalls* real = recorder().real();
  if (real == nullptr) return call.unavailable("0"), nullptr;
  ADBAPIHANDLE handle = real->createInterfaceByName(name);
  call.endedWithHandle(handle);
  return handle;
}

ADB_API ADBAPIHANDLE AdbOpenDefaultBulkReadEndpoint(
    ADBAPIHANDLE adb_interface, AdbOpenAccessType access_type,
    AdbOpenSharingMode sharing_mode) {
  return openEndpoint("AdbOpenDefaultBulkReadEndpoint", &RealCalls::openRead,
                      adb_interface, access_type, sharing_mode);
}

ADB_API ADBAPIHANDLE AdbOpenDefaultBulkWriteEndpoint(
    ADBAPIHANDLE adb_interface, AdbOpenAccessType access_type,
    AdbOpenSharingMode sharing_mode) {
  return openEndpoint("AdbOpenDefaultBulkWriteEndpoint", &RealCalls::openWrite,
                      adb_interface, access_type, sharing_mode);
}

ADB_API bool AdbGetInterfaceName(ADBAPIHANDLE adb_interface, void* buffer,
                                 AdbULong* buffer_char_size, bool ansi) {
  return textCall("AdbGetInterfaceName", &RealCalls::interfaceName,
                  adb_interface, buffer, buffer_char_size, ansi);
}

ADB_API bool AdbGetSerialNumber(ADBAPIHANDLE adb_interface, void* buffer,
                                AdbULong* buffer_char_size, bool ansi) {
  return textCall("AdbGetSerialNumber", &RealCalls::serialNumber,
                  adb_interface, buffer, buffer_char_size, ansi);
}

ADB_API bool AdbGetUsbDeviceDescriptor(ADBAPIHANDLE adb_interface,
                                       AdbUsbDeviceDescriptor* desc) {
  RecordedCall call("AdbGetUsbDeviceDescriptor");
  call.arguments().add("handle", recorder().handleName(adb_interface));
  call.arguments().add("buffer", presence(desc));
  const RealCalls* real = recorder().real();
  if (real == nullptr) return call.unavailable("0"), false;
  bool ok = real->deviceDescriptor(adb_interface, desc);
  call.ended(ok);
  if (ok && desc != nullptr) {
    call.results().add("descriptor", recording::hex(desc, sizeof *desc));
  }
  return ok;
}

ADB_API bool AdbGetUsbInterfaceDescriptor(ADBAPIHANDLE adb_interface,
                                          AdbUsbInterfaceDescriptor* desc) {
  RecordedCall call("AdbGetUsbInterfaceDescriptor");
  call.arguments().add("handle", recorder().handleName(adb_interface));
  call.arguments().add("buffer", presence(desc));
  const RealCalls* real = recorder().real();
  if (real == nullptr) return call.unavailable("0"), false;
  bool ok = real->interfaceDescriptor(adb_interface, desc);
  call.ended(ok);
  if (ok && desc != nullptr) {
    call.results().add("descriptor", recording::hex(desc, sizeof *desc));
  }
  return ok;
}

ADB_API bool AdbGetEndpointInformation(ADBAPIHANDLE adb_interface,
                                       unsigned char endpoint_index,
                                       AdbEndpointInformation* info) {
  RecordedCall call("AdbGetEndpointInformation");
  call.arguments().add("handle", recorder().handleName(adb_interface));
  call.arguments().addNumber("index", endpoint_index);
  call.arguments().add("buffer", presence(info));
  const RealCalls* real = recorder().real();
  if (real == nullptr) return call.unavailable("0"), false;
  bool ok = real->endpointInformation(adb_interface, endpoint_index, info);
  call.ended(ok);
  if (ok && info != nullptr) {
    Fields& r = call.results();
    r.addNumber("packet", info->max_packet_size);
    r.addNumber("transfer", info->max_transfer_size);
    r.addNumber("type", static_cast<uint32_t>(info->endpoint_type));
    r.addNumber("address", info->endpoint_address);
    r.addNumber("interval", info->polling_interval);
    r.addNumber("setting", info->setting_index);
  }
  return ok;
}

ADB_API bool AdbReadEndpointSync(ADBAPIHANDLE adb_endpoint, void* buffer,
                                 AdbULong bytes_to_read, AdbULong* bytes_read,
                                 AdbULong time_out) {
  RecordedCall call("AdbReadEndpointSync");
  call.arguments().add("handle", recorder().handleName(adb_endpoint));
  call.arguments().add("buffer", presence(buffer));
  call.arguments().addNumber("size", bytes_to_read);
  call.arguments().add("count", presence(bytes_read));
  call.arguments().addNumber("timeout", time_out);
  const RealCalls* real = recorder().real();
  if (real == nullptr) return call.unavailable("0"), false;
  bool ok = real->read(adb_endpoint, buffer, bytes_to_read, bytes_read,
                       time_out);
  call.ended(ok);
  addSize(call.results(), "count", bytes_read);
  if (buffer != nullptr && bytes_read != nullptr) {
    call.results().add(
        "data", recording::hex(buffer, std::min(*bytes_read, bytes_to_read)));
  }
  return ok;
}

ADB_API bool AdbWriteEndpointSync(ADBAPIHANDLE adb_endpoint, void* buffer,
                                  AdbULong bytes_to_write,
                                  AdbULong* bytes_written, AdbULong time_out) {
  RecordedCall call("AdbWriteEndpointSync");
  call.arguments().add("handle", recorder().handleName(adb_endpoint));
  call.arguments().add("buffer", presence(buffer));
  call.arguments().addNumber("size", bytes_to_write);
  call.arguments().add("count", presence(bytes_written));
  call.arguments().addNumber("timeout", time_out);
  if (buffer != nullptr) {
    call.arguments().add("sha256",
                         recording::sha256Hex(buffer, bytes_to_write));
  }
  const RealCalls* real = recorder().real();
  if (real == nullptr) return call.unavailable("0"), false;
  bool ok = real->write(adb_endpoint, buffer, bytes_to_write, bytes_written,
                        time_out);
  call.ended(ok);
  addSize(call.results(), "count", bytes_written);
  return ok;
}

ADB_API bool AdbDefaultEndpointReadWriteSync(ADBAPIHANDLE adb_interface,
                                             unsigned char direction,
                                             const void* setup, void* buffer,
                                             AdbULong length,
                                             AdbULong* bytes_transferred) {
  RecordedCall call("AdbDefaultEndpointReadWriteSync");
  Fields& a = call.arguments();
  a.add("handle", recorder().handleName(adb_interface));
  a.addNumber("direction", direction);
  a.add("setup", setup != nullptr ? recording::hex(setup, 8) : "none");
  a.add("buffer", presence(buffer));
  a.addNumber("length", length);
  a.add("count", presence(bytes_transferred));
  if (direction == 0 && buffer != nullptr) {
    a.add("data", recording::hex(buffer, length));
  }
  const RealCalls* real = recorder().real();
  if (real == nullptr) return call.unavailable("0"), false;
  bool ok = real->control(adb_interface, direction, setup, buffer, length,
                          bytes_transferred);
  call.ended(ok);
  addSize(call.results(), "count", bytes_transferred);
  if (direction != 0 && buffer != nullptr && bytes_transferred != nullptr) {
    call.results().add("answer",
                       recording::hex(buffer, std::min(*bytes_transferred,
                                                       length)));
  }
  return ok;
}

ADB_API bool AdbCloseHandle(ADBAPIHANDLE adb_handle) {
  RecordedCall call("AdbCloseHandle");
  call.arguments().add("handle", recorder().handleName(adb_handle));
  const RealCalls* real = recorder().real();
  if (real == nullptr) return call.unavailable("0"), false;
  bool ok = real->close(adb_handle);
  call.ended(ok);
  if (ok) recorder().forget(adb_handle);
  return ok;
}

}  // extern "C"
