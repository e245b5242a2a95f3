// The shipped program run as a process, in each of its roles, against
// Wine's service control manager. Its events come from Wine's trace.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <optional>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "service/service_identity.h"
#include "testing/service/service_test_support.h"

namespace {

using Strings = std::vector<std::string>;

constexpr WORD kError = EVENTLOG_ERROR_TYPE;
constexpr WORD kInformation = EVENTLOG_INFORMATION_TYPE;

// (ID, type, text) of every event, for comparing whole trails.
using Trail = std::vector<std::tuple<DWORD, WORD, std::string>>;

Trail trailOf(const ChildRun& run) {
  Trail trail;
  for (const TraceEvent& event : run.events) {
    trail.emplace_back(event.id, event.type, event.text());
  }
  return trail;
}

std::wstring quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

const std::wstring kServiceKey =
    std::wstring(L"System\\CurrentControlSet\\Services\\") + kServiceName;

// A value of the service's registration as the service manager stored it;
// empty when there is none.
std::wstring registeredText(const wchar_t* name) {
  wchar_t value[1024];
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), name,
                   RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                   nullptr, value, &size) != ERROR_SUCCESS) {
    return std::wstring();
  }
  return value;
}

std::optional<DWORD> registeredNumber(const wchar_t* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), name,
                   RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { removeServiceRegistration(); }
  void TearDown() override {
    removeServiceRegistration();
    removeEventSources();  // which the install role writes
  }

  ChildRun runRole(const std::vector<std::string>& arguments) {
    return runRole(programPath(), arguments);
  }

  ChildRun runRole(const std::wstring& program,
                   const std::vector<std::string>& arguments) {
    ChildRun run = runProgram(program, arguments);
    EXPECT_EQ(run.exitCode, 0u);
    // The program registers its source before main in every role: the trace
    // shows it, so a trail without events is a true one.
    EXPECT_NE(std::find(run.sources.begin(), run.sources.end(),
                        "VelunorUpdateService"),
              run.sources.end())
        << run.trace;
    // Every event is written the one way: one wide string, category 0, no
    // user and no data, through the program's own source.
    for (const TraceEvent& event : run.events) {
      EXPECT_TRUE(event.wide);
      EXPECT_EQ(event.strings.size(), 1u);
      EXPECT_EQ(event.category, 0);
      EXPECT_FALSE(event.hasSid);
      EXPECT_EQ(event.rawSize, 0u);
      EXPECT_TRUE(event.hasSource);
    }
    return run;
  }

  void startService() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_START);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceW(service, 0, nullptr));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    ASSERT_TRUE(waitForServiceState(SERVICE_RUNNING, 60000));
  }

  void stopService() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_STOP);
    // Wine's service manager may refuse a control for a moment after the
    // service reported RUNNING; the stop itself is what matters here.
    SERVICE_STATUS status = {};
    DWORD error = 0;
    bool stopped = false;
    for (int attempt = 0; attempt < 100 && !stopped; ++attempt) {
      stopped = ControlService(service, SERVICE_CONTROL_STOP, &status);
      if (!stopped) {
        error = GetLastError();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    EXPECT_TRUE(stopped) << "last error " << error;
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    ASSERT_TRUE(waitForServiceState(SERVICE_STOPPED, 60000));
  }
};

// Files a test places outside the build, deleted again when it ends, the
// folders last.
class PlacedFiles {
 public:
  PlacedFiles() = default;
  PlacedFiles(const PlacedFiles&) = delete;
  PlacedFiles& operator=(const PlacedFiles&) = delete;
  ~PlacedFiles() {
    // A program that has just ended may hold its file for a moment.
    for (auto file = files_.rbegin(); file != files_.rend(); ++file) {
      for (int attempt = 0; attempt < 50 && fileExists(*file); ++attempt) {
        if (DeleteFileW(file->c_str()) || RemoveDirectoryW(file->c_str())) {
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  }
  bool folder(const std::wstring& path) {
    files_.push_back(path);
    return CreateDirectoryW(path.c_str(), nullptr) ||
           GetLastError() == ERROR_ALREADY_EXISTS;
  }
  bool copy(const std::wstring& from, const std::wstring& to) {
    files_.push_back(to);
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
  }
  // A file that something else may create there.
  void expect(const std::wstring& path) { files_.push_back(path); }

 private:
  std::vector<std::wstring> files_;
};

TEST_F(ProgramTest, AConsoleStartFindsNoDispatcher) {
  ChildRun run = runRole({});
  EXPECT_EQ(trailOf(run),
            (Trail{{1, kError, "start service control dispatcher fail"},
                   {2, kInformation, "runServcie success"}}));
}

TEST_F(ProgramTest,
       InstallRegistersTheProgramAsAnAutoStartedLocalSystemService) {
  ChildRun run = runRole({"install"});
  EXPECT_EQ(
      trailOf(run),
      (Trail{{1, kInformation, "install [VelunorUpdateService] success"}}));

  std::optional<ServiceConfig> config = queryServiceConfig();
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(config->binaryPath, quoted(programPath()));  // no arguments
  EXPECT_EQ(config->serviceType, DWORD{SERVICE_WIN32_OWN_PROCESS});
  EXPECT_EQ(config->startType, DWORD{SERVICE_AUTO_START});
  EXPECT_EQ(config->errorControl, DWORD{SERVICE_ERROR_NORMAL});
  EXPECT_EQ(config->startName, L"LocalSystem");
  EXPECT_EQ(config->displayName, kServiceName);
  EXPECT_EQ(serviceState(), DWORD{SERVICE_STOPPED});  // registered, not started
}

// What a scanner reads: the path in quotes, so Windows never tries a
// shorter program name at a space; a failed start that never stops the PC
// from booting.
TEST_F(ProgramTest, InstallStoresTheQuotedPathAndNormalErrorControl) {
  runRole({"install"});
  EXPECT_EQ(registeredText(L"ImagePath"), quoted(programPath()));
  EXPECT_EQ(registeredNumber(L"ErrorControl"), DWORD{SERVICE_ERROR_NORMAL});
  EXPECT_EQ(registeredNumber(L"Start"), DWORD{SERVICE_AUTO_START});
  EXPECT_EQ(registeredNumber(L"Type"), DWORD{SERVICE_WIN32_OWN_PROCESS});
  EXPECT_EQ(registeredText(L"ObjectName"), L"LocalSystem");
}

TEST_F(ProgramTest, ASecondInstallFailsAndKeepsTheFirst) {
  runRole({"install"});
  ChildRun second = runRole({"install"});
  EXPECT_EQ(trailOf(second),
            (Trail{{1, kError, "create [VelunorUpdateService] fail"},
                   {2, kError, "install [VelunorUpdateService] fail"}}));
  ASSERT_TRUE(queryServiceConfig().has_value());
  EXPECT_EQ(queryServiceConfig()->binaryPath, quoted(programPath()));
}

TEST_F(ProgramTest, ArgumentsAfterTheFirstAreIgnored) {
  ChildRun run = runRole({"install", "uninstall", "--force"});
  EXPECT_EQ(
      trailOf(run),
      (Trail{{1, kInformation, "install [VelunorUpdateService] success"}}));
  EXPECT_EQ(queryServiceConfig()->binaryPath, quoted(programPath()));

  ChildRun removal = runRole({"uninstall", "install"});
  EXPECT_EQ(
      trailOf(removal),
      (Trail{{1, kInformation, "uninstallService start"},
             {2, kInformation, "uninstall [VelunorUpdateService] success"}}));
  EXPECT_FALSE(serviceRegistered());
}

TEST_F(ProgramTest, UninstallOfAMissingServiceFails) {
  ChildRun run = runRole({"uninstall"});
  EXPECT_EQ(trailOf(run),
            (Trail{{1, kInformation, "uninstallService start"},
                   {2, kError, "OpenService fail"},
                   {3, kError, "uninstall [VelunorUpdateService] fail"}}));
}

TEST_F(ProgramTest, UninstallOfARunningServiceFailsAndLeavesItRunning) {
  runRole({"install"});
  startService();

  ChildRun run = runRole({"uninstall"});

  EXPECT_EQ(
      trailOf(run),
      (Trail{{1, kInformation, "uninstallService start"},
             {2, kError, "service is not stopped, can not delete service"},
             {3, kError, "uninstall [VelunorUpdateService] fail"}}));
  EXPECT_EQ(serviceState(), DWORD{SERVICE_RUNNING});
}

TEST_F(ProgramTest, TheRunningServiceStopsOnControlAndCanThenBeUninstalled) {
  runRole({"install"});
  startService();
  stopService();

  ChildRun run = runRole({"uninstall"});
  EXPECT_EQ(
      trailOf(run),
      (Trail{{1, kInformation, "uninstallService start"},
             {2, kInformation, "uninstall [VelunorUpdateService] success"}}));
  EXPECT_FALSE(serviceRegistered());
}

// Installed as the package installs it, in a folder whose path has spaces,
// with programs planted where Windows looks first for a path read without
// quotes (C:\Program.exe, then C:\Program Files\Velunor.exe): the service
// starts the installed program and nothing else, and is uninstalled by it.
TEST_F(ProgramTest, AServiceInAFolderWithSpacesStartsOnlyItsOwnProgram) {
  const std::wstring folder = L"C:\\Program Files\\Velunor Update Test";
  const std::wstring installed = folder + L"\\VlnrZR700UpdateService.exe";
  const std::wstring planted[] = {L"C:\\Program.exe",
                                  L"C:\\Program Files\\Velunor.exe"};
  PlacedFiles files;
  ASSERT_TRUE(files.folder(folder));
  ASSERT_TRUE(files.copy(programPath(), installed));
  for (const std::wstring& program : planted) {
    ASSERT_TRUE(files.copy(binDirectory() + L"\\velunor_planted_program.exe",
                           program));
    files.expect(program + L".ran");
  }
  // Whatever fails, the service is gone before its files are.
  struct Unregister {
    ~Unregister() { removeServiceRegistration(); }
  } unregister;

  runRole(installed, {"install"});
  EXPECT_EQ(registeredText(L"ImagePath"), quoted(installed));
  startService();
  for (const std::wstring& program : planted) {
    EXPECT_FALSE(fileExists(program + L".ran"));
  }
  stopService();

  ChildRun removal = runRole(installed, {"uninstall"});
  EXPECT_EQ(
      trailOf(removal),
      (Trail{{1, kInformation, "uninstallService start"},
             {2, kInformation, "uninstall [VelunorUpdateService] success"}}));
  EXPECT_FALSE(serviceRegistered());
}

class NearMissArgumentTest : public ProgramTest,
                             public ::testing::WithParamInterface<const char*> {
};

TEST_P(NearMissArgumentTest, SelectsNoRoleAndWritesNoEvent) {
  runRole({"install"});
  ChildRun run = runRole({GetParam()});
  EXPECT_TRUE(run.events.empty()) << run.trace;
  EXPECT_TRUE(serviceRegistered());  // not uninstalled either
  removeServiceRegistration();

  ChildRun again = runRole({GetParam()});
  EXPECT_TRUE(again.events.empty()) << again.trace;
  EXPECT_FALSE(serviceRegistered());  // not installed either
}

INSTANTIATE_TEST_SUITE_P(CaseAndCharacters, NearMissArgumentTest,
                         ::testing::Values("Install", "INSTALL", "installs",
                                           "_install", "instal", "Uninstall",
                                           "UNINSTALL", "uninstall_",
                                           "xuninstall", "uninstal", ""),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           return name.empty() ? std::string("Empty") : name;
                         });

}  // namespace
