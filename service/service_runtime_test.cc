// The service's life with the service manager: ServiceMain's registrations
// and status reports, the scan it starts without waiting for it, and the
// stop, shutdown and other controls of its handler.
#include "service/service_runtime.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "service/service_context.h"
#include "service/service_identity.h"
#include "testing/event_recorder.h"
#include "testing/service/present_devices_double.h"
#include "testing/service/service_control_fixture.h"
#include "testing/service/service_test_support.h"

namespace {

class ServiceRuntimeTest : public ServiceControlTest {};

// The scan that ServiceMain started, ended.
void waitForScan(const ServiceManagerDouble& manager) {
  auto* context = static_cast<ServiceContext*>(manager.handlerContext);
  ASSERT_NE(context, nullptr);
  ASSERT_NE(context->scanThread, nullptr);
  EXPECT_EQ(WaitForSingleObject(context->scanThread, 60000), WAIT_OBJECT_0);
}

// --- Stop, shutdown and other controls ---

TEST_F(ServiceRuntimeTest, StopAndShutdownStopTheServiceAlike) {
  for (DWORD code :
       {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN}}) {
    ServiceManagerDouble manager;
    ServiceContext* context = newServiceContext();
    context->statusHandle = manager.statusHandle;
    context->deviceNotify = manager.deviceNotify;
    recorder_.clear();

    EXPECT_EQ(ServiceCtrlHandlerEx(code, 0, nullptr, context), 0u);

    EXPECT_EQ(manager.states(),
              (std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOPPED}));
    for (const StatusReport& report : manager.statusReports()) {
      EXPECT_EQ(report.handle, manager.statusHandle);
      EXPECT_EQ(report.status.dwServiceType, DWORD{SERVICE_WIN32});
    }
    EXPECT_EQ(manager.unregistered(),
              std::vector<HDEVNOTIFY>{manager.deviceNotify});
    EXPECT_EQ(recorder_.texts(), Strings{"service control stop success"});
    EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_INFORMATION_TYPE);
  }
}

// In real time: while an arrival waits its 15 s settle time, a stop is
// answered at once, ends the wait, and no worker starts after it.
TEST(ServiceStopTest, AStopDuringTheSettleWaitIsAnsweredAtOnce) {
  EventRecorder recorder;
  ServiceManagerDouble manager;
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  ServiceContext* context = newServiceContext();
  context->statusHandle = manager.statusHandle;
  context->deviceNotify = manager.deviceNotify;
  std::vector<BYTE> broadcast = deviceBroadcast(kZr700Path);
  auto began = std::chrono::steady_clock::now();

  EXPECT_EQ(ServiceCtrlHandlerEx(SERVICE_CONTROL_DEVICEEVENT,
                                 DBT_DEVICEARRIVAL, broadcast.data(), context),
            DWORD{kControlHandled});
  EXPECT_EQ(ServiceCtrlHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, context),
            DWORD{kControlHandled});
  EXPECT_EQ(manager.states(),
            (std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_EQ(arrivalOutcome(context->arrivalThread),
            DWORD{kArrivalServiceStopped});

  // Far below the settle time, however busy the machine.
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
  Strings texts = recorder.texts();
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (Strings{"service control stop success",
                            "service is stopped, ignore device arrival"}));
  EXPECT_EQ(context->workerThread, nullptr);
}

TEST_F(ServiceRuntimeTest, AStopAfterTheWorkerStoppedTheServiceChangesNothing) {
  ASSERT_TRUE(registerServiceForTest(programPath()));
  ASSERT_TRUE(placeUpgradeLibrary(L"velunor_upgrade_stub.dll"));
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  ASSERT_EQ(arrive(kZr700Path), 0u);
  ASSERT_EQ(workerExitCode(), kWorkerDone);
  recorder_.clear();

  for (DWORD code :
       {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN}}) {
    EXPECT_EQ(control(code), 0u);
  }

  EXPECT_EQ(manager_.states(),
            (std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_EQ(manager_.unregistered(),
            std::vector<HDEVNOTIFY>{manager_.deviceNotify});
  EXPECT_EQ(recorder_.texts(), (Strings{"service control stop success",
                                        "service control stop success"}));
}

TEST_F(ServiceRuntimeTest, OtherControlsDoNothing) {
  EXPECT_EQ(control(SERVICE_CONTROL_INTERROGATE), 0u);
  EXPECT_EQ(control(SERVICE_CONTROL_PAUSE), 0u);
  EXPECT_TRUE(recorder_.events().empty());
  EXPECT_TRUE(manager_.statusReports().empty());
}

// --- ServiceMain ---

TEST_F(ServiceRuntimeTest, ServiceMainRegistersAndReportsRunning) {
  const DWORD firstId = eventCounter.load();
  ServiceMain(0, nullptr);
  waitForScan(manager_);

  std::vector<RecordedEvent> events = recorder_.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].strings, Strings{"initial service success"});
  EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(events[0].id, firstId);
  EXPECT_EQ(events[1].strings, Strings{"no device present at start"});
  EXPECT_EQ(events[1].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(manager_.handlerServiceName, kServiceName);
  EXPECT_EQ(manager_.handler, &ServiceCtrlHandlerEx);
  ASSERT_NE(manager_.handlerContext, nullptr);
  EXPECT_EQ(manager_.notifyRecipient, manager_.statusHandle);
  EXPECT_EQ(manager_.notifyFlags, DWORD{DEVICE_NOTIFY_SERVICE_HANDLE});
  EXPECT_EQ(manager_.notifyFilter.dbcc_size, 32u);
  EXPECT_EQ(manager_.notifyFilter.dbcc_devicetype,
            DWORD{DBT_DEVTYP_DEVICEINTERFACE});
  EXPECT_TRUE(
      IsEqualGUID(manager_.notifyFilter.dbcc_classguid, kUpdateDeviceClass));

  std::vector<StatusReport> reports = manager_.statusReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].status.dwCurrentState, DWORD{SERVICE_START_PENDING});
  EXPECT_EQ(reports[0].status.dwControlsAccepted, 0u);
  EXPECT_EQ(reports[1].status.dwCurrentState, DWORD{SERVICE_RUNNING});
  // Stop, shutdown, power events and the preshutdown.
  EXPECT_EQ(reports[1].status.dwControlsAccepted, 0x145u);
  for (const StatusReport& report : reports) {
    EXPECT_EQ(report.handle, manager_.statusHandle);
    EXPECT_EQ(report.status.dwServiceType, 0x30u);
    EXPECT_EQ(report.status.dwWin32ExitCode, 0u);
    EXPECT_EQ(report.status.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(report.status.dwCheckPoint, 0u);
    EXPECT_EQ(report.status.dwWaitHint, 0u);
  }

  // The context it registered is the one its handler then works on.
  auto* context = static_cast<ServiceContext*>(manager_.handlerContext);
  EXPECT_EQ(context->deviceNotify, manager_.deviceNotify);
  ServiceCtrlHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, context);
  EXPECT_EQ(manager_.unregistered(),
            std::vector<HDEVNOTIFY>{manager_.deviceNotify});
}

// The scan for devices already present starts once the service runs, and
// the start does not wait for it.
TEST_F(ServiceRuntimeTest, ServiceMainReportsRunningWithoutWaitingForTheScan) {
  HANDLE listing = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<DWORD> statesAtListing;
  present_.onListing = [&] {
    statesAtListing = manager_.states();
    SetEvent(listing);
    WaitForSingleObject(release, 60000);
  };

  ServiceMain(0, nullptr);  // returns while the listing is held

  ASSERT_EQ(WaitForSingleObject(listing, 60000), WAIT_OBJECT_0);
  EXPECT_EQ(manager_.states(),
            (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING}));
  EXPECT_EQ(recorder_.texts(), Strings{"initial service success"});
  SetEvent(release);
  waitForScan(manager_);
  EXPECT_EQ(statesAtListing,
            (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING}));
  EXPECT_EQ(recorder_.texts(), (Strings{"initial service success",
                                        "no device present at start"}));
  CloseHandle(listing);
  CloseHandle(release);
}

TEST_F(ServiceRuntimeTest, ServiceMainWithoutAHandlerReportsNoStatus) {
  manager_.statusHandle = nullptr;
  ServiceMain(0, nullptr);
  EXPECT_EQ(recorder_.texts(), (Strings{"register service ctrl handlerEx fail",
                                        "initial service fail"}));
  for (const RecordedEvent& event : recorder_.events()) {
    EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
  }
  EXPECT_TRUE(manager_.statusReports().empty());
}

TEST_F(ServiceRuntimeTest, ServiceMainWithoutNotificationsReportsItStopped) {
  manager_.deviceNotify = nullptr;
  manager_.registrationError = ERROR_SERVICE_SPECIFIC_ERROR;
  ServiceMain(0, nullptr);
  EXPECT_EQ(recorder_.texts(), (Strings{"register device notification fail",
                                        "initial service fail"}));
  std::vector<StatusReport> reports = manager_.statusReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].status.dwCurrentState, DWORD{SERVICE_STOPPED});
  EXPECT_EQ(reports[0].status.dwWin32ExitCode,
            DWORD{ERROR_SERVICE_SPECIFIC_ERROR});
}

}  // namespace
