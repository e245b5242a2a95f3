// The end of a claimed worker: a removal or a stop cancels it through the
// library's export and its result decides; a library without the export has
// its worker killed; one that does not end on the cancel is asked again
// while the service waits, and killed only when the wait is over. A stop
// reports the service stopped once the worker has ended.
#include "service/cancel_watch.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/service_context.h"
#include "service/upgrade_worker.h"
#include "testing/event_recorder.h"
#include "testing/import_patch.h"
#include "testing/service/kill_end_watch.h"
#include "testing/service/service_control_fixture.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_library_stub.h"

namespace {

class CancelWatchTest : public ServiceControlTest {};

// Whether the calls between a kill and the process's end are only the
// outcome record's and, when `withEvent`, the event last.
bool onlyRecordAndEvent(std::vector<std::string> calls, bool withEvent) {
  if (withEvent) {
    if (calls.empty() || calls.back() != "ReportEventW") return false;
    calls.pop_back();
  }
  return std::find(calls.begin(), calls.end(), "RegSetValueExW") !=
             calls.end() &&
         std::all_of(calls.begin(), calls.end(), [](const std::string& call) {
           return call == "RegSetValueExW" || call == "RegDeleteValueW";
         });
}

// A removal ends the worker: a library with the cancel export is cancelled
// and its result decides, one without has its worker killed, as ever.
// Before the start request the library says the device went away: nothing
// is deleted and the service stays. A library that returns success although
// cancelled (the device took the start just as it went) finished the
// upgrade: the image is deleted and the service removed.
TEST_F(CancelWatchTest, RemovalEndsTheWorkerAndItsResultDecides) {
  struct EndingCase {
    const char* name;
    const wchar_t* library;
    int32_t cancelledResult;
    Strings trail;
    DWORD exitCode;
    bool killed;
    bool serviceKept;
  };
  const EndingCase cases[] = {
      {"cancelled before the start", L"velunor_upgrade_stub.dll",
       kUpgradeDeviceWentAway,
       {"device remove", "update thread is exist, cancel upgrade",
        "device went away before the update started, service kept"},
       kWorkerDeviceWentAway, false, true},
      {"cancelled after the start", L"velunor_upgrade_stub.dll",
       kUpgradeSucceeded,
       {"device remove", "update thread is exist, cancel upgrade",
        "send updatefile to device success",
        "device was told to start the update, wait for it to come back",
        "device did not come back 120 s after the start request",
        "uninstallService start"},
       kWorkerDone, false, false},
      {"killed: no cancel export", L"velunor_upgrade_stub_uncancellable.dll",
       kUpgradeSucceeded,
       {"device remove", "update thread is exist, kill thread"},
       kWorkerEnded, true, true},
  };
  const std::wstring image = L"C:\\windows\\system32\\drivers\\vlnr_rt_zr.img";
  FamilySettings settings(L"ZR700");
  settings.all("vlnr_rt_zr.img", 0, 1, "1.0");
  for (const EndingCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (!serviceRegistered()) {
      ASSERT_TRUE(registerServiceForTest(programPath()));
    }
    renewContext();
    // Each case is a first try: the device took no image yet.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                   L"Software\\VelunorUpdate\\ZR700\\Outcome");
    ManagerStates states(manager_);
    removeUpgradeLibrary();
    stub_ = nullptr;
    ASSERT_TRUE(placeUpgradeLibrary(c.library));
    stub_ = LoadLibraryW(kUpgradeLibraryPath);
    ASSERT_NE(stub_, nullptr);
    stubFunction<StubHoldCalls>("stubHoldCalls")();
    stubFunction<StubSetResult>("stubSetResult")(kUpgradeSucceeded);
    if (auto cancelled = stubFunction<StubSetCancelledResult>(
            "stubSetCancelledResult")) {
      cancelled(c.cancelledResult);
    }
    writeFile(image, "image");
    ASSERT_EQ(arrive(kZr700Path), 0u);
    ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
    HANDLE worker = context_->workerThread;
    recorder_.clear();
    std::vector<HANDLE> kills;
    terminated = &kills;
    ImportPatch watch(nullptr, "TerminateThread",
                      reinterpret_cast<const void*>(&watchedTerminateThread));
    KillEndWatch processEnd;  // after the patch above, which it calls on

    EXPECT_EQ(remove(deviceBroadcast(kZr700Path).data()), 0u);

    EXPECT_EQ(workerExitCode(), c.exitCode);
    terminated = nullptr;
    // A kill ends the process once the record is written (the event came
    // before the kill), for the service manager to start it again.
    EXPECT_EQ(processEnd.ends(), c.killed ? 1 : 0);
    if (c.killed) {
      EXPECT_EQ(processEnd.exitCode(), kServiceEndedAfterKill);
      EXPECT_TRUE(onlyRecordAndEvent(processEnd.callsBetween(), false))
          << ::testing::PrintToString(processEnd.callsBetween());
    }
    std::vector<RecordedEvent> events = recorder_.events();
    EXPECT_EQ(recorder_.texts(), c.trail);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[1].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(kills.size(), c.killed ? 1u : 0u);
    EXPECT_EQ(context_->workerThread, worker);
    EXPECT_EQ(states.added().empty(), c.serviceKept);
    EXPECT_EQ(serviceRegistered(), c.serviceKept);
    EXPECT_EQ(fileExists(image), c.serviceKept);
  }
  DeleteFileW(image.c_str());
}

// A library stuck in a driver call that does not end on the cancel: the
// handler returns at once, the cancel is said again while the service
// waits, and only when the wait is over is the worker killed; then the
// process ends.
TEST_F(CancelWatchTest, AWorkerThatDoesNotEndOnTheCancelIsKilledAfterTheWait) {
  placeHeldStub();
  stubFunction<StubIgnoreCancel>("stubIgnoreCancel")();
  context_->cancelWaitMs = 3000;
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  ASSERT_EQ(arrive(kZr700Path), 0u);
  ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
  recorder_.clear();
  KillEndWatch processEnd;

  EXPECT_EQ(remove(deviceBroadcast(kZr700Path).data()), 0u);
  // The handler did not wait for the worker.
  EXPECT_EQ(WaitForSingleObject(context_->workerThread, 0),
            DWORD{WAIT_TIMEOUT});
  EXPECT_GE(stubFunction<StubCancelCount>("stubCancelCount")(), 1);

  EXPECT_EQ(workerExitCode(), DWORD{kWorkerEnded});
  EXPECT_EQ(textsOnceThereAre(recorder_, 3),
            (Strings{"device remove", "update thread is exist, cancel upgrade",
                     "update thread did not end 3000 ms after cancel, kill "
                     "thread"}));
  EXPECT_EQ(recorder_.events()[2].type, EVENTLOG_ERROR_TYPE);
  // Once a second while the service waited, the last second included.
  EXPECT_EQ(stubFunction<StubCancelCount>("stubCancelCount")(), 4);
  EXPECT_TRUE(manager_.statusReports().empty());
  // The killed worker may have held a lock of the heap, the runtime or the
  // loader: once the record and the event are written, the process ends,
  // with nothing called in between, and the service manager's recovery
  // starts the service again.
  EXPECT_EQ(processEnd.kills(), 1);
  EXPECT_EQ(processEnd.ends(), 1);
  EXPECT_EQ(processEnd.exitCode(), kServiceEndedAfterKill);
  EXPECT_TRUE(onlyRecordAndEvent(processEnd.callsBetween(), true))
      << ::testing::PrintToString(processEnd.callsBetween());
}

// A stop during the upgrade is answered at once: stop pending with a wait
// hint, the upgrade cancelled through the export. The service reports
// stopped, once, only after the worker has ended, so that image and
// registration go or stay together: kept when the device went away before
// the start, both gone when the library says the upgrade finished.
TEST_F(CancelWatchTest, AStopDuringTheUpgradeWaitsForTheWorker) {
  struct StopCase {
    const char* name;
    int32_t cancelledResult;
    DWORD exitCode;
    Strings trail;
    bool kept;
  };
  const StopCase cases[] = {
      {"the device had not taken the start", kUpgradeDeviceWentAway,
       kWorkerDeviceWentAway,
       {"update thread is exist, cancel upgrade",
        "device went away before the update started, service kept",
        "service control stop success"},
       true},
      {"the upgrade finished", kUpgradeSucceeded, kWorkerDone,
       {"update thread is exist, cancel upgrade",
        "send updatefile to device success",
        "device was told to start the update, wait for it to come back",
        "service is stopping, device not waited for",
        "uninstallService start", "service control stop success"},
       false},
  };
  const std::wstring image = L"C:\\windows\\system32\\drivers\\zr.img";
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  placeHeldStub();
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (!serviceRegistered()) {
      ASSERT_TRUE(registerServiceForTest(programPath()));
    }
    renewContext();
    ManagerStates states(manager_);
    size_t unregisteredBefore = manager_.unregistered().size();
    stubFunction<StubHoldCalls>("stubHoldCalls")();
    stubFunction<StubSetCancelledResult>("stubSetCancelledResult")(
        c.cancelledResult);
    writeFile(image, "image");
    ASSERT_EQ(arrive(kZr700Path), 0u);
    ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
    recorder_.clear();
    size_t reportsBefore = manager_.statusReports().size();

    EXPECT_EQ(control(SERVICE_CONTROL_STOP), 0u);
    std::vector<StatusReport> answered = manager_.statusReports();
    ASSERT_GT(answered.size(), reportsBefore);
    EXPECT_EQ(answered[reportsBefore].status.dwCurrentState,
              DWORD{SERVICE_STOP_PENDING});
    EXPECT_NE(answered[reportsBefore].status.dwWaitHint, 0u);
    EXPECT_EQ(workerExitCode(), c.exitCode);

    EXPECT_EQ(textsOnceThereAre(recorder_, c.trail.size()), c.trail);
    std::vector<DWORD> reported = states.added();
    EXPECT_EQ(std::count(reported.begin(), reported.end(),
                         DWORD{SERVICE_STOPPED}),
              1);
    EXPECT_EQ(reported.back(), DWORD{SERVICE_STOPPED});
    EXPECT_EQ(manager_.statusReports().back().status.dwWaitHint, 0u);
    EXPECT_EQ(manager_.unregistered().size(), unregisteredBefore + 1);
    EXPECT_EQ(serviceRegistered(), c.kept);
    EXPECT_EQ(fileExists(image), c.kept);
  }
  DeleteFileW(image.c_str());
}


}  // namespace
