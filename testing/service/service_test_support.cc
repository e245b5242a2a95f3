#include "testing/service/service_test_support.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <sstream>

#include "common/upgrade_contract.h"
#include "service/event_sources.h"
#include "service/service_handle.h"
#include "service/service_identity.h"
#include "testing/event_recorder.h"
#include "testing/program_files.h"

namespace {

constexpr wchar_t kSettingsRoot[] = L"Software\\VelunorUpdate";

// --- Service manager double ---

std::atomic<ServiceManagerDouble*> activeDouble{nullptr};

BOOL WINAPI fakeSetServiceStatus(SERVICE_STATUS_HANDLE handle,
                                 LPSERVICE_STATUS status) {
  if (ServiceManagerDouble* manager = activeDouble.load()) {
    manager->addStatus({handle, *status});
  }
  return TRUE;
}

BOOL WINAPI fakeUnregisterDeviceNotification(HDEVNOTIFY handle) {
  if (ServiceManagerDouble* manager = activeDouble.load()) {
    manager->addUnregistered(handle);
  }
  return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI fakeRegisterServiceCtrlHandlerExW(
    LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
  ServiceManagerDouble* manager = activeDouble.load();
  manager->handlerServiceName = name;
  manager->handler = handler;
  manager->handlerContext = context;
  if (manager->statusHandle == nullptr) {
    SetLastError(manager->registrationError);
  }
  return manager->statusHandle;
}

HDEVNOTIFY WINAPI fakeRegisterDeviceNotificationW(HANDLE recipient,
                                                  LPVOID filter, DWORD flags) {
  ServiceManagerDouble* manager = activeDouble.load();
  manager->notifyRecipient = recipient;
  std::memcpy(&manager->notifyFilter, filter,
              sizeof(DEV_BROADCAST_DEVICEINTERFACE_W));
  manager->notifyFlags = flags;
  if (manager->deviceNotify == nullptr) {
    SetLastError(manager->registrationError);
  }
  return manager->deviceNotify;
}

// --- Child processes and their trace ---

std::wstring quoteArgument(const std::string& argument) {
  std::wstring quoted = L"\"";
  for (char c : argument)
    quoted += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return quoted + L"\"";
}

// The test's environment with the event channel of the trace switched on.
std::wstring tracingEnvironment() {
  std::wstring block;
  wchar_t* strings = GetEnvironmentStringsW();
  for (wchar_t* entry = strings; *entry != 0; entry += wcslen(entry) + 1) {
    if (_wcsnicmp(entry, L"WINEDEBUG=", 10) == 0) continue;
    block += entry;
    block += L'\0';
  }
  FreeEnvironmentStringsW(strings);
  block += L"WINEDEBUG=fixme-all,+eventlog,fixme+advapi,+pid";
  block += L'\0';
  block += L'\0';
  return block;
}

// A Unix file named in the environment by run_with_child_trace.sh, as this
// test sees it (Wine shows the Unix root as drive Z); empty without it.
std::wstring wrapperFile(const wchar_t* variable) {
  wchar_t unixPath[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(variable, unixPath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  std::wstring path = L"Z:";
  for (DWORD i = 0; i < length; ++i) {
    path += unixPath[i] == L'/' ? L'\\' : unixPath[i];
  }
  return path;
}

std::string readWholeFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string content;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    content.append(buffer, got);
  }
  CloseHandle(file);
  return content;
}

// Text that the trace reader wrote as "x" and the hexadecimal bytes.
std::string fromHexText(const std::string& token) {
  std::string text;
  for (size_t i = 1; i + 1 < token.size(); i += 2) {
    text += static_cast<char>(std::stoul(token.substr(i, 2), nullptr, 16));
  }
  return text;
}

// Whether a record line's process field names `process`.
bool ofProcess(const std::string& field, DWORD process) {
  return field != "-" && std::stoul(field, nullptr, 16) == process;
}

// Adds one record line of the trace reader to `run` when it belongs to the
// run's process (see wine_events.py for the format).
void addRecord(const std::string& line, ChildRun& run) {
  std::istringstream fields(line);
  std::string kind;
  std::string process;
  std::string thread;
  fields >> kind >> process >> thread;
  if (!ofProcess(process, run.processId)) return;
  if (kind == "source") {
    int local = 0;
    std::string name;
    fields >> local >> name;
    if (local == 1) run.sources.push_back(fromHexText(name));
    return;
  }
  if (kind != "event") return;
  unsigned long long handle = 0, sid = 0;
  unsigned type = 0, category = 0, wide = 0;
  DWORD id = 0, rawSize = 0;
  size_t expected = 0;
  fields >> handle >> type >> category >> id >> sid >> rawSize >> wide >>
      expected;
  TraceEvent event{static_cast<DWORD>(std::stoul(thread, nullptr, 16)),
                   static_cast<WORD>(type),
                   static_cast<WORD>(category),
                   id,
                   wide != 0,
                   sid != 0,
                   rawSize,
                   handle != 0,
                   {},
                   expected};
  std::string text;
  while (fields >> text) event.strings.push_back(fromHexText(text));
  run.events.push_back(event);
}

// Has the trace reader read the trace up to here: writes a mark to this
// test's standard error, which is the trace file, after everything a child
// that has ended wrote there, and waits, bounded, for the reader's answer.
// The record lines before the mark's answer, or none without one.
std::vector<std::string> readTraceUpToHere() {
  static std::atomic<unsigned> marks{0};
  std::wstring eventsPath = wrapperFile(L"VELUNOR_CHILD_EVENTS");
  char token[32];
  snprintf(token, sizeof token, "%lx-%u",
           static_cast<unsigned long>(GetCurrentProcessId()), ++marks);
  std::string mark = std::string("wine_events mark ") + token + "\n";
  DWORD written = 0;
  if (eventsPath.empty() ||
      !WriteFile(GetStdHandle(STD_ERROR_HANDLE), mark.data(),
                 static_cast<DWORD>(mark.size()), &written, nullptr)) {
    return {};
  }
  const std::string answer = std::string("mark ") + token;
  const DWORD start = GetTickCount();
  do {
    std::vector<std::string> block;
    std::istringstream lines(readWholeFile(eventsPath));
    std::string line;
    while (std::getline(lines, line)) {
      if (line == answer) return block;
      if (line.rfind("mark ", 0) == 0) {
        block.clear();
      } else {
        block.push_back(line);
      }
    }
    WaitForSingleObject(GetCurrentProcess(), 20);
  } while (GetTickCount() - start < 60000);
  return {};
}

ServiceHandle openManager() {
  return ServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

// The service's registration with the manager handle it was opened through:
// under Wine a service handle fails once its manager handle is closed.
class OpenedService {
 public:
  explicit OpenedService(DWORD access)
      : manager_(openManager()),
        service_(manager_ ? OpenServiceW(manager_.get(), kServiceName, access)
                          : nullptr) {}

  SC_HANDLE get() const { return service_.get(); }
  explicit operator bool() const { return service_.valid(); }

 private:
  ServiceHandle manager_;
  ServiceHandle service_;
};

}  // namespace

// --- Registry ---

void removeAllSettings() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsRoot); }

FamilySettings::FamilySettings(const std::wstring& family) {
  std::wstring path = std::wstring(kSettingsRoot) + L"\\" + family;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &key_, nullptr);
}

FamilySettings::~FamilySettings() {
  if (key_ != nullptr) RegCloseKey(key_);
  removeAllSettings();
}

FamilySettings& FamilySettings::text(const char* name,
                                     const std::string& value) {
  RegSetValueExA(key_, name, 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
  return *this;
}

FamilySettings& FamilySettings::textWithoutNul(const char* name,
                                               const std::string& value) {
  // The registry adds a NUL that directly follows the counted data, as if
  // the caller had forgotten to count it: a character that is not NUL
  // follows here instead.
  std::wstring wideName(name, name + std::strlen(name));
  std::wstring text(value.begin(), value.end());
  text += L'X';
  RegSetValueExW(key_, wideName.c_str(), 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>(value.size() * sizeof(wchar_t)));
  return *this;
}

FamilySettings& FamilySettings::flag(const wchar_t* name, DWORD value) {
  RegSetValueExW(key_, name, 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&value), sizeof value);
  return *this;
}

FamilySettings& FamilySettings::all(const std::string& updateFile, DWORD bForce,
                                    DWORD bUpdate, const std::string& version) {
  return text("updatefile", updateFile)
      .flag(L"bForce", bForce)
      .flag(L"bUpdate", bUpdate)
      .text("version", version);
}

// --- The outcome record's keys ---

RegistryValues registryValues(const wchar_t* path) {
  RegistryValues values;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return values;
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[64];
    DWORD nameUnits = 64;
    BYTE data[1024] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    if (RegEnumValueW(key, index, name, &nameUnits, nullptr, &type, data,
                      &size) != ERROR_SUCCESS) {
      break;
    }
    values[toUtf8(name)] =
        type == REG_DWORD
            ? std::to_string(*reinterpret_cast<const int32_t*>(data))
            : toUtf8(reinterpret_cast<const wchar_t*>(data));
  }
  RegCloseKey(key);
  return values;
}

void setRegistryValues(const wchar_t* path, const RegistryValues& values) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  for (const auto& [name, value] : values) {
    std::wstring wideName(name.begin(), name.end());
    if (name == "attempts" || name == "result") {
      DWORD number = static_cast<DWORD>(std::stol(value));
      RegSetValueExW(key, wideName.c_str(), 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&number), sizeof number);
    } else {
      std::wstring text(value.begin(), value.end());
      RegSetValueExW(key, wideName.c_str(), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
  }
  RegCloseKey(key);
}

// --- Files ---

std::wstring binDirectory() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring full(path, length);
  return full.substr(0, full.find_last_of(L'\\'));
}

std::wstring programPath() {
  return shippedFolder() + L"VlnrZR700UpdateService.exe";
}

bool fileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void writeFile(const std::wstring& path, const std::string& content) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written,
            nullptr);
  CloseHandle(file);
}

bool placeUpgradeLibrary(const wchar_t* builtName) {
  const bool shipped = wcscmp(builtName, L"velunorUpdateExport.dll") == 0;
  std::wstring built = shipped ? shippedFolder() + builtName
                               : binDirectory() + L"\\" + builtName;
  return CopyFileW(built.c_str(), kUpgradeLibraryPath, FALSE) != FALSE;
}

void removeUpgradeLibrary() {
  // The worker never unloads the library; a test ends by unloading every
  // reference, so the file can go.
  while (HMODULE loaded = GetModuleHandleW(kUpgradeLibraryPath)) {
    if (!FreeLibrary(loaded)) break;
  }
  DeleteFileW(kUpgradeLibraryPath);
}

// --- Service registration ---

void removeEventSources() {
  for (const wchar_t* source : {kServiceName, kLibraryEventSource}) {
    std::wstring key = std::wstring(kApplicationLogKey) + L"\\" + source;
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
  }
}

void removeServiceRegistration() {
  OpenedService service(SERVICE_ALL_ACCESS);
  if (!service) return;
  SERVICE_STATUS status = {};
  if (QueryServiceStatus(service.get(), &status) &&
      status.dwCurrentState != SERVICE_STOPPED) {
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    waitForServiceState(SERVICE_STOPPED, 30000);
  }
  DeleteService(service.get());
}

bool registerServiceForTest(const std::wstring& binaryPath) {
  ServiceHandle manager = openManager();
  if (!manager) return false;
  ServiceHandle service(CreateServiceW(
      manager.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
      binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  return service.valid();
}

bool serviceRegistered() {
  return static_cast<bool>(OpenedService(SERVICE_QUERY_STATUS));
}

std::optional<DWORD> serviceState() {
  OpenedService service(SERVICE_QUERY_STATUS);
  SERVICE_STATUS status = {};
  if (!service || !QueryServiceStatus(service.get(), &status)) {
    return std::nullopt;
  }
  return status.dwCurrentState;
}

bool waitForServiceState(DWORD state, DWORD timeoutMs) {
  // The service runs in a process of its own; its state is polled, bounded.
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    if (serviceState() == state) return true;
    WaitForSingleObject(GetCurrentProcess(), 50);
  }
  return serviceState() == state;
}

std::optional<ServiceConfig> queryServiceConfig() {
  OpenedService service(SERVICE_QUERY_CONFIG);
  if (!service) return std::nullopt;
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (needed == 0 ||
      !QueryServiceConfigW(service.get(), config, needed, &needed)) {
    return std::nullopt;
  }
  auto text = [](const wchar_t* value) {
    return value != nullptr ? std::wstring(value) : std::wstring();
  };
  return ServiceConfig{config->dwServiceType,
                       config->dwStartType,
                       config->dwErrorControl,
                       text(config->lpBinaryPathName),
                       text(config->lpServiceStartName),
                       text(config->lpDisplayName)};
}

std::optional<DWORD> queryPreshutdownTimeout() {
  OpenedService service(SERVICE_QUERY_CONFIG);
  SERVICE_PRESHUTDOWN_INFO preshutdown = {};
  DWORD needed = 0;
  if (!service ||
      !QueryServiceConfig2W(service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO,
                            reinterpret_cast<BYTE*>(&preshutdown),
                            sizeof preshutdown, &needed)) {
    return std::nullopt;
  }
  return preshutdown.dwPreshutdownTimeout;
}

// --- Service manager double ---

ServiceManagerDouble::ServiceManagerDouble() {
  const std::pair<const char*, const void*> replacements[] = {
      {"SetServiceStatus",
       reinterpret_cast<const void*>(&fakeSetServiceStatus)},
      {"UnregisterDeviceNotification",
       reinterpret_cast<const void*>(&fakeUnregisterDeviceNotification)},
      {"RegisterServiceCtrlHandlerExW",
       reinterpret_cast<const void*>(&fakeRegisterServiceCtrlHandlerExW)},
      {"RegisterDeviceNotificationW",
       reinterpret_cast<const void*>(&fakeRegisterDeviceNotificationW)},
  };
  for (const auto& [name, replacement] : replacements) {
    patches_.push_back(
        std::make_unique<ImportPatch>(nullptr, name, replacement));
  }
  activeDouble = this;
}

ServiceManagerDouble::~ServiceManagerDouble() {
  activeDouble = nullptr;
  patches_.clear();
}

void ServiceManagerDouble::addStatus(const StatusReport& report) {
  std::lock_guard<std::mutex> hold(lock_);
  reports_.push_back(report);
}

void ServiceManagerDouble::addUnregistered(HDEVNOTIFY handle) {
  std::lock_guard<std::mutex> hold(lock_);
  unregistered_.push_back(handle);
}

std::vector<StatusReport> ServiceManagerDouble::statusReports() const {
  std::lock_guard<std::mutex> hold(lock_);
  return reports_;
}

std::vector<DWORD> ServiceManagerDouble::states() const {
  std::vector<DWORD> states;
  for (const StatusReport& report : statusReports()) {
    states.push_back(report.status.dwCurrentState);
  }
  return states;
}

std::vector<HDEVNOTIFY> ServiceManagerDouble::unregistered() const {
  std::lock_guard<std::mutex> hold(lock_);
  return unregistered_;
}

// --- Device broadcast ---

DWORD arrivalOutcome(HANDLE arrivalThread) {
  if (arrivalThread == nullptr) return kNoArrival;
  if (WaitForSingleObject(arrivalThread, 60000) != WAIT_OBJECT_0) {
    return kNoArrival;
  }
  DWORD code = kNoArrival;
  GetExitCodeThread(arrivalThread, &code);
  return code;
}

std::vector<BYTE> deviceBroadcast(const std::wstring& path) {
  const size_t nameOffset =
      offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  std::vector<BYTE> bytes(nameOffset + (path.size() + 1) * sizeof(wchar_t));
  auto* broadcast =
      reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
  broadcast->dbcc_size = static_cast<DWORD>(bytes.size());
  broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  broadcast->dbcc_classguid = kUpdateDeviceClass;
  std::memcpy(bytes.data() + nameOffset, path.c_str(),
              (path.size() + 1) * sizeof(wchar_t));
  return bytes;
}

// --- Event trail from Wine's trace ---

std::string TraceEvent::text() const {
  std::string joined;
  for (const std::string& part : strings) joined += part;
  return joined;
}

ChildRun runProgram(const std::wstring& program,
                    const std::vector<std::string>& arguments) {
  ChildRun run;
  std::wstring tracePath = wrapperFile(L"VELUNOR_CHILD_TRACE");
  if (tracePath.empty()) return run;
  const size_t traceStart = readWholeFile(tracePath).size();
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
  std::wstring commandLine = L"\"" + program + L"\"";
  for (const std::string& argument : arguments) {
    commandLine += L" " + quoteArgument(argument);
  }
  std::wstring environment = tracingEnvironment();
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr,
                     TRUE, CREATE_UNICODE_ENVIRONMENT, environment.data(),
                     nullptr, &startup, &process)) {
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
      TerminateProcess(process.hProcess, 0xDEAD);
      WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    run.processId = process.dwProcessId;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.trace = readWholeFile(tracePath).substr(traceStart);
    for (const std::string& line : readTraceUpToHere()) addRecord(line, run);
  }
  CloseHandle(output);
  return run;
}
