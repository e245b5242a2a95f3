#include "service/installation.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "service/service_identity.h"
#include "testing/event_recorder.h"
#include "testing/import_patch.h"
#include "testing/service/service_test_support.h"

namespace {

using Strings = std::vector<std::string>;

template <typename Function>
Function realFunction(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"advapi32.dll"), name)));
}

// Watches the service manager handles that the code under test opens and
// closes, and can make one of its calls fail.
struct HandleLedger {
  std::vector<SC_HANDLE> opened;
  std::vector<SC_HANDLE> closed;
  std::vector<DWORD> access;  // asked for by each open or create, in order
  bool failManager = false;
  bool failQuery = false;
  bool failDelete = false;
  bool failConfig = false;  // every ChangeServiceConfig2W
};
HandleLedger* ledger = nullptr;

SC_HANDLE WINAPI watchedOpenSCManagerW(LPCWSTR machine, LPCWSTR database,
                                       DWORD access) {
  ledger->access.push_back(access);
  if (ledger->failManager) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  SC_HANDLE handle = realFunction<decltype(&OpenSCManagerW)>("OpenSCManagerW")(
      machine, database, access);
  if (handle != nullptr) ledger->opened.push_back(handle);
  return handle;
}

SC_HANDLE WINAPI watchedOpenServiceW(SC_HANDLE manager, LPCWSTR name,
                                     DWORD access) {
  ledger->access.push_back(access);
  SC_HANDLE handle = realFunction<decltype(&OpenServiceW)>("OpenServiceW")(
      manager, name, access);
  if (handle != nullptr) ledger->opened.push_back(handle);
  return handle;
}

SC_HANDLE WINAPI watchedCreateServiceW(SC_HANDLE manager, LPCWSTR name,
                                       LPCWSTR display, DWORD access,
                                       DWORD type, DWORD start, DWORD error,
                                       LPCWSTR path, LPCWSTR group, LPDWORD tag,
                                       LPCWSTR dependencies, LPCWSTR user,
                                       LPCWSTR password) {
  ledger->access.push_back(access);
  SC_HANDLE handle = realFunction<decltype(&CreateServiceW)>("CreateServiceW")(
      manager, name, display, access, type, start, error, path, group, tag,
      dependencies, user, password);
  if (handle != nullptr) ledger->opened.push_back(handle);
  return handle;
}

BOOL WINAPI watchedCloseServiceHandle(SC_HANDLE handle) {
  ledger->closed.push_back(handle);
  return realFunction<decltype(&CloseServiceHandle)>("CloseServiceHandle")(
      handle);
}

BOOL WINAPI watchedQueryServiceStatus(SC_HANDLE service,
                                      LPSERVICE_STATUS status) {
  if (ledger->failQuery) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return realFunction<decltype(&QueryServiceStatus)>("QueryServiceStatus")(
      service, status);
}

BOOL WINAPI watchedDeleteService(SC_HANDLE service) {
  if (ledger->failDelete) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return realFunction<decltype(&DeleteService)>("DeleteService")(service);
}

// The recovery actions as the code under test hands them to the service
// manager: Wine accepts them and keeps none, so they are seen here.
struct ServiceRecovery {
  DWORD resetPeriodSeconds;
  std::vector<std::pair<SC_ACTION_TYPE, DWORD>> actions;  // type, delay ms
};
struct ConfigCall {
  DWORD level;
  ServiceRecovery recovery;  // SERVICE_CONFIG_FAILURE_ACTIONS
  DWORD preshutdownTimeout;  // SERVICE_CONFIG_PRESHUTDOWN_INFO
};
std::vector<ConfigCall>* configCalls = nullptr;

BOOL WINAPI watchedChangeServiceConfig2W(SC_HANDLE service, DWORD level,
                                         LPVOID info) {
  ConfigCall call{level, {}, 0};
  if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
    auto* failure = static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
    call.recovery.resetPeriodSeconds = failure->dwResetPeriod;
    for (DWORD i = 0; i < failure->cActions; ++i) {
      call.recovery.actions.emplace_back(failure->lpsaActions[i].Type,
                                         failure->lpsaActions[i].Delay);
    }
  } else if (level == SERVICE_CONFIG_PRESHUTDOWN_INFO) {
    call.preshutdownTimeout =
        static_cast<SERVICE_PRESHUTDOWN_INFO*>(info)->dwPreshutdownTimeout;
  }
  if (configCalls != nullptr) configCalls->push_back(call);
  if (ledger != nullptr && ledger->failConfig) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return realFunction<decltype(&ChangeServiceConfig2W)>(
      "ChangeServiceConfig2W")(service, level, info);
}

// A program path that does not fit: cut to the buffer, as Windows does.
DWORD WINAPI overlongModuleFileNameW(HMODULE, LPWSTR path, DWORD size) {
  for (DWORD i = 0; i + 1 < size; ++i) path[i] = L'x';
  path[size - 1] = 0;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

class InstallationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    removeServiceRegistration();
    ledger = &ledger_;
    const std::pair<const char*, const void*> watched[] = {
        {"OpenSCManagerW",
         reinterpret_cast<const void*>(&watchedOpenSCManagerW)},
        {"OpenServiceW", reinterpret_cast<const void*>(&watchedOpenServiceW)},
        {"CreateServiceW",
         reinterpret_cast<const void*>(&watchedCreateServiceW)},
        {"CloseServiceHandle",
         reinterpret_cast<const void*>(&watchedCloseServiceHandle)},
        {"QueryServiceStatus",
         reinterpret_cast<const void*>(&watchedQueryServiceStatus)},
        {"DeleteService", reinterpret_cast<const void*>(&watchedDeleteService)},
        {"ChangeServiceConfig2W",
         reinterpret_cast<const void*>(&watchedChangeServiceConfig2W)},
    };
    configCalls = &configCalls_;
    for (const auto& [name, replacement] : watched) {
      patches_.push_back(
          std::make_unique<ImportPatch>(nullptr, name, replacement));
    }
  }

  void TearDown() override {
    patches_.clear();
    ledger = nullptr;
    configCalls = nullptr;
    removeServiceRegistration();
  }

  // Runs `call` with the ledger fresh and the chosen failure on; the
  // helpers of the test itself go through the same imports, so they are
  // watched only while the code under test runs.
  template <typename Call>
  auto watch(Call call, bool HandleLedger::*failure = nullptr) {
    ledger_ = HandleLedger();
    if (failure != nullptr) ledger_.*failure = true;
    auto result = call();
    seen_ = ledger_;
    ledger_ = HandleLedger();
    return result;
  }

  int watchedUninstall(bool HandleLedger::*failure = nullptr) {
    return watch([] { return uninstallService(); }, failure);
  }

  void watchedInstall(bool HandleLedger::*failure = nullptr) {
    watch(
        [] {
          installService();
          return 0;
        },
        failure);
  }

  // Everything opened was closed, the service handle before the manager's.
  void expectEveryHandleClosedInReverse() {
    std::vector<SC_HANDLE> reversed(seen_.opened.rbegin(), seen_.opened.rend());
    EXPECT_EQ(seen_.closed, reversed);
  }

  HandleLedger seen_;
  std::vector<ConfigCall> configCalls_;

  HandleLedger ledger_;
  EventRecorder recorder_;
  std::vector<std::unique_ptr<ImportPatch>> patches_;
};

TEST_F(InstallationTest, UninstallDeletesAStoppedService) {
  ASSERT_TRUE(registerServiceForTest(programPath()));
  EXPECT_EQ(watchedUninstall(), kUninstallDeleted);
  EXPECT_EQ(recorder_.texts(), Strings{"uninstallService start"});
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_FALSE(serviceRegistered());
  EXPECT_EQ(seen_.opened.size(), 2u);
  // SC_MANAGER_CONNECT, then DELETE | SERVICE_QUERY_STATUS: no more.
  EXPECT_EQ(seen_.access, (std::vector<DWORD>{0x1, 0x10004}));
  expectEveryHandleClosedInReverse();
}

TEST_F(InstallationTest, UninstallOfAMissingServiceFailsWithEight) {
  EXPECT_EQ(watchedUninstall(), kUninstallServiceNotOpened);
  EXPECT_EQ(recorder_.texts(),
            (Strings{"uninstallService start", "OpenService fail"}));
  EXPECT_EQ(recorder_.events()[1].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(seen_.opened.size(), 1u);
  expectEveryHandleClosedInReverse();
}

TEST_F(InstallationTest, UninstallWithoutTheManagerFailsWithSeven) {
  ASSERT_TRUE(registerServiceForTest(programPath()));
  EXPECT_EQ(watchedUninstall(&HandleLedger::failManager),
            kUninstallManagerNotOpened);
  EXPECT_EQ(recorder_.texts(),
            (Strings{"uninstallService start", "OpenSCManager fail"}));
  EXPECT_EQ(recorder_.events()[1].type, EVENTLOG_ERROR_TYPE);
  EXPECT_TRUE(serviceRegistered());
  expectEveryHandleClosedInReverse();
}

TEST_F(InstallationTest, AFailedDeletionFailsWithTen) {
  ASSERT_TRUE(registerServiceForTest(programPath()));
  EXPECT_EQ(watchedUninstall(&HandleLedger::failDelete),
            kUninstallDeleteFailed);
  EXPECT_EQ(recorder_.texts(),
            (Strings{"uninstallService start", "delete service fail"}));
  EXPECT_EQ(recorder_.events()[1].type, EVENTLOG_ERROR_TYPE);
  EXPECT_TRUE(serviceRegistered());
  expectEveryHandleClosedInReverse();
}

TEST_F(InstallationTest, AnUnknownStateIsAFailureNotASuccess) {
  ASSERT_TRUE(registerServiceForTest(programPath()));
  EXPECT_EQ(watchedUninstall(&HandleLedger::failQuery),
            kUninstallStatusNotQueried);
  EXPECT_EQ(recorder_.texts(),
            (Strings{"uninstallService start", "query service status fail"}));
  EXPECT_EQ(recorder_.events()[1].type, EVENTLOG_ERROR_TYPE);
  EXPECT_TRUE(serviceRegistered());
  expectEveryHandleClosedInReverse();
}

TEST_F(InstallationTest, ARunningServiceIsNeverDeletedAndFailsWithEleven) {
  ASSERT_TRUE(registerServiceForTest(programPath()));
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_START);
  ASSERT_TRUE(StartServiceW(service, 0, nullptr));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  ASSERT_TRUE(waitForServiceState(SERVICE_RUNNING, 60000));
  recorder_.clear();

  EXPECT_EQ(watchedUninstall(), kUninstallNotStopped);

  EXPECT_EQ(recorder_.texts(),
            (Strings{"uninstallService start",
                     "service is not stopped, can not delete service"}));
  EXPECT_EQ(recorder_.events()[1].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(serviceState(), DWORD{SERVICE_RUNNING});
  expectEveryHandleClosedInReverse();
}

TEST_F(InstallationTest, InstallClosesBothHandles) {
  watchedInstall();
  EXPECT_EQ(recorder_.texts(),
            Strings{"install [VelunorUpdateService] success"});
  EXPECT_TRUE(serviceRegistered());
  EXPECT_EQ(seen_.opened.size(), 2u);
  // SC_MANAGER_CREATE_SERVICE, then SERVICE_ALL_ACCESS for the new service.
  EXPECT_EQ(seen_.access, (std::vector<DWORD>{0x2, 0xF01FF}));
  expectEveryHandleClosedInReverse();
}

// A restart a minute after each of the first two failures, ten minutes
// after any further one, the count reset after a day; and the time Windows
// gives the service at shutdown, read back from the service manager. (Wine
// keeps no recovery actions: they are seen as they are handed over, and
// read back on Windows.)
TEST_F(InstallationTest, InstallSetsRecoveryActionsAndPreshutdownTimeout) {
  watchedInstall();
  EXPECT_EQ(recorder_.texts(),
            Strings{"install [VelunorUpdateService] success"});

  ASSERT_EQ(configCalls_.size(), 2u);
  EXPECT_EQ(configCalls_[0].level, DWORD{SERVICE_CONFIG_FAILURE_ACTIONS});
  EXPECT_EQ(configCalls_[0].recovery.resetPeriodSeconds, 86400u);
  using Action = std::pair<SC_ACTION_TYPE, DWORD>;
  EXPECT_EQ(configCalls_[0].recovery.actions,
            (std::vector<Action>{{SC_ACTION_RESTART, 60000},
                                 {SC_ACTION_RESTART, 60000},
                                 {SC_ACTION_RESTART, 600000}}));
  EXPECT_EQ(configCalls_[1].level, DWORD{SERVICE_CONFIG_PRESHUTDOWN_INFO});
  EXPECT_EQ(configCalls_[1].preshutdownTimeout, 150000u);
  EXPECT_EQ(queryPreshutdownTimeout(), std::optional<DWORD>(150000));
  expectEveryHandleClosedInReverse();
}

// The service upgrades as before without them; each failure says which.
TEST_F(InstallationTest, ASettingRefusedIsAnErrorAndTheServiceStays) {
  watchedInstall(&HandleLedger::failConfig);
  EXPECT_EQ(recorder_.texts(),
            (Strings{"set service recovery actions fail: 5",
                     "set service preshutdown timeout fail: 5",
                     "install [VelunorUpdateService] success"}));
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(recorder_.events()[1].type, EVENTLOG_ERROR_TYPE);
  EXPECT_TRUE(serviceRegistered());
  expectEveryHandleClosedInReverse();
}

TEST_F(InstallationTest, InstallWithoutTheManagerReportsBothFailures) {
  watchedInstall(&HandleLedger::failManager);
  EXPECT_EQ(
      recorder_.texts(),
      (Strings{"OpenSCManager fail", "install [VelunorUpdateService] fail"}));
  for (const RecordedEvent& event : recorder_.events()) {
    EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
  }
  EXPECT_FALSE(serviceRegistered());
}

TEST_F(InstallationTest, AProgramPathThatDoesNotFitIsNeverRegistered) {
  ImportPatch overlong(nullptr, "GetModuleFileNameW",
                       reinterpret_cast<const void*>(&overlongModuleFileNameW));
  watchedInstall();
  EXPECT_EQ(recorder_.texts(), Strings{"install [VelunorUpdateService] fail"});
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_FALSE(serviceRegistered());
  expectEveryHandleClosedInReverse();
}

}  // namespace
