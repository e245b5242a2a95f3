// What the service's tests share: the registry settings and the service
// registration they create in the test prefix, the library at its fixed
// place, the service-manager calls they watch, and the event trail of a
// child process read back from Wine's trace.
#ifndef VELUNOR_TESTING_SERVICE_SERVICE_TEST_SUPPORT_H_
#define VELUNOR_TESTING_SERVICE_SERVICE_TEST_SUPPORT_H_

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "testing/import_patch.h"

// --- Registry settings under HKLM\Software\VelunorUpdate ---

// Removes every family key, so each test starts from none.
void removeAllSettings();

// A family key that lives as long as the object.
class FamilySettings {
 public:
  explicit FamilySettings(const std::wstring& family);
  ~FamilySettings();
  FamilySettings(const FamilySettings&) = delete;
  FamilySettings& operator=(const FamilySettings&) = delete;

  FamilySettings& text(const char* name, const std::string& value);
  // A text stored as its characters alone, without the terminating NUL.
  FamilySettings& textWithoutNul(const char* name, const std::string& value);
  FamilySettings& flag(const wchar_t* name, DWORD value);
  // updatefile, bForce, bUpdate and version at once.
  FamilySettings& all(const std::string& updateFile, DWORD bForce,
                      DWORD bUpdate, const std::string& version);

 private:
  HKEY key_ = nullptr;
};

// --- The outcome record's keys, as a fleet tool reads them ---

// Every value of the key at HKLM\`path`: texts as they are, numbers in
// decimal as signed 32-bit values; empty when the key is not there.
using RegistryValues = std::map<std::string, std::string>;
RegistryValues registryValues(const wchar_t* path);
// Creates the key and sets `values`: `attempts` and `result` as numbers,
// the others as texts.
void setRegistryValues(const wchar_t* path, const RegistryValues& values);

// --- Files ---

// Where this test program, the stand-ins and the virtual device live; the
// shipped programs are in the build's bin (testing/program_files.h).
std::wstring binDirectory();
std::wstring programPath();  // the shipped VlnrZR700UpdateService.exe
bool fileExists(const std::wstring& path);
void writeFile(const std::wstring& path, const std::string& content);
// Places a built library at the upgrade library's path: the shipped
// velunorUpdateExport.dll, or a stand-in by its name beside the tests.
bool placeUpgradeLibrary(const wchar_t* builtName);
// Unloads it from the test program, then deletes the file.
void removeUpgradeLibrary();

// --- Service registration ---

// Stops the service if it runs, and deletes its registration.
void removeServiceRegistration();
// Deletes both event sources' keys, which the program's install writes.
void removeEventSources();
// Registers the service, not started, with `binaryPath`.
bool registerServiceForTest(const std::wstring& binaryPath);
bool serviceRegistered();
std::optional<DWORD> serviceState();
// Waits, bounded, until the running service reaches `state`.
bool waitForServiceState(DWORD state, DWORD timeoutMs);

struct ServiceConfig {
  DWORD serviceType;
  DWORD startType;
  DWORD errorControl;
  std::wstring binaryPath;
  std::wstring startName;
  std::wstring displayName;
};
std::optional<ServiceConfig> queryServiceConfig();

// The registration's preshutdown timeout, as the service manager gives it
// back.
std::optional<DWORD> queryPreshutdownTimeout();

// --- Service manager calls of the code under test ---

struct StatusReport {
  SERVICE_STATUS_HANDLE handle;
  SERVICE_STATUS status;
};

// Replaces the status and notification calls of the test program: records
// every SetServiceStatus and UnregisterDeviceNotification, and hands out
// the handles that the test chooses for the two registrations.
class ServiceManagerDouble {
 public:
  ServiceManagerDouble();
  ~ServiceManagerDouble();

  std::vector<StatusReport> statusReports() const;
  std::vector<DWORD> states() const;
  std::vector<HDEVNOTIFY> unregistered() const;

  // What the registrations return; null makes them fail.
  SERVICE_STATUS_HANDLE statusHandle =
      reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5151);
  HDEVNOTIFY deviceNotify = reinterpret_cast<HDEVNOTIFY>(0xD0D0);
  DWORD registrationError = ERROR_INVALID_PARAMETER;

  // What ServiceMain registered.
  std::wstring handlerServiceName;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  LPVOID handlerContext = nullptr;
  HANDLE notifyRecipient = nullptr;
  DEV_BROADCAST_DEVICEINTERFACE_W notifyFilter = {};
  DWORD notifyFlags = 0;

  void addStatus(const StatusReport& report);
  void addUnregistered(HDEVNOTIFY handle);

 private:
  mutable std::mutex lock_;
  std::vector<StatusReport> reports_;
  std::vector<HDEVNOTIFY> unregistered_;
  std::vector<std::unique_ptr<ImportPatch>> patches_;
};

// --- A device arrival as Windows delivers it ---

// A DEV_BROADCAST_DEVICEINTERFACE_W of the device class with `path`.
std::vector<BYTE> deviceBroadcast(const std::wstring& path);

// What the last arrival the control handler passed on came to, once its
// settle wait and procedure have run off the handler: the exit code of
// `arrivalThread`, a ControlResult; kNoArrival when none was started.
constexpr DWORD kNoArrival = 0xFFFFFFFF;
DWORD arrivalOutcome(HANDLE arrivalThread);

// --- The event trail of a child process, from Wine's +eventlog trace ---

// One event as the trace reader (testing/wine_events.py) recorded it.
struct TraceEvent {
  DWORD thread;
  WORD type;
  WORD category;
  DWORD id;
  bool wide;  // ReportEventW, else ReportEventA
  bool hasSid;
  DWORD rawSize;
  bool hasSource;
  std::vector<std::string> strings;  // UTF-8
  size_t expectedStrings;

  std::string text() const;
};

struct ChildRun {
  DWORD exitCode = 0xFFFFFFFF;
  DWORD processId = 0;
  std::vector<TraceEvent> events;
  // The event sources it registered on this computer, by name.
  std::vector<std::string> sources;
  std::string trace;  // the raw trace of the run, to show on a failure
};

// Runs `program` with `arguments` (each quoted) and the event channel of
// Wine's trace on, waits for it to end and has its events read back from
// the trace by the reader that run_with_child_trace.sh starts beside the
// test. Without that wrapper nothing runs and the exit code stays
// 0xFFFFFFFF.
ChildRun runProgram(const std::wstring& program,
                    const std::vector<std::string>& arguments);

#endif  // VELUNOR_TESTING_SERVICE_SERVICE_TEST_SUPPORT_H_
