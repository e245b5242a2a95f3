// The device events of the running service: an arrival waits its settle
// time off the handler, looks again whether its device is there and refuses
// a path it cannot hold; a removal ends only the worker of its own device,
// and not once the library has returned; other device events are only
// reported.
#include "service/device_events.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/service_context.h"
#include "service/upgrade_worker.h"
#include "testing/event_recorder.h"
#include "testing/import_patch.h"
#include "testing/service/held_service_removal.h"
#include "testing/service/present_devices_double.h"
#include "testing/service/service_control_fixture.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_library_stub.h"

namespace {

class DeviceEventsTest : public ServiceControlTest {};

// --- A look at the present devices after the settle wait ---

// What the listing after an arrival's settle wait shows, and what the
// arrival comes to: a device listed in any letter case is upgraded as
// before; one pulled during the wait is not, and the service stays. A
// listing that fails tells nothing of the device: the upgrade goes on.
struct SettleLookCase {
  const char* name;
  std::vector<std::wstring> listed;
  DWORD listingError;
  Strings eventsBefore;  // written before the arrival's own
  bool upgraded;
};

void PrintTo(const SettleLookCase& look, std::ostream* out) {
  *out << look.name;
}

class SettleLookTest : public ServiceControlTest,
                       public ::testing::WithParamInterface<SettleLookCase> {
};

TEST_P(SettleLookTest, OnlyADeviceStillThereOrNotListableIsUpgraded) {
  const SettleLookCase& look = GetParam();
  placeHeldStub();
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  present_.paths = look.listed;
  present_.listingError = look.listingError;

  // The broadcast alone: the arrival helper would list the device.
  std::vector<BYTE> broadcast = deviceBroadcast(kZr700Path);
  EXPECT_EQ(arriveWith(broadcast.data()), DWORD{kControlHandled});

  EXPECT_EQ(clock_.waits(), std::vector<DWORD>{kArrivalSettleMs});
  EXPECT_EQ(present_.listsMade(), look.listingError == 0 ? 1 : 0);
  EXPECT_EQ(present_.listsDestroyed(), present_.listsMade());
  EXPECT_EQ(present_.listedFlags(),
            DWORD{DIGCF_PRESENT | DIGCF_DEVICEINTERFACE});
  EXPECT_TRUE(IsEqualGUID(present_.listedClass(), kUpdateDeviceClass));
  if (!look.upgraded) {
    EXPECT_EQ(recorder_.texts(),
              Strings{"device is gone after the settle wait, ignore device "
                      "arrival"});
    EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(context_->workerThread, nullptr);
    EXPECT_EQ(stubFunction<StubLastCall>("stubLastCall")()->calls, 0);
    EXPECT_TRUE(manager_.states().empty());
    EXPECT_TRUE(manager_.unregistered().empty());
    return;
  }
  ASSERT_NE(context_->workerThread, nullptr);
  ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
  EXPECT_EQ(std::wstring(stubFunction<StubLastCall>("stubLastCall")()
                             ->devicePath),
            kZr700Path);
  Strings expected = look.eventsBefore;
  expected.push_back("ZR700 Arrival" + narrow(kZr700Path));
  expected.push_back("update file : zr.imgbForce : 0bUpdate : 1version : 1.0");
  EXPECT_EQ(recorder_.texts(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    AfterTheWait, SettleLookTest,
    ::testing::Values(
        SettleLookCase{"Listed", {kZr700Path}, 0, {}, true},
        SettleLookCase{"ListedInSmallLettersAmongOthers",
                       {L"\\\\?\\usb#vid_2207&pid_9101#1#"
                        L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}",
                        L"\\\\?\\usb#vid_2207&pid_9206#0123456789#"
                        L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}"},
                       0, {}, true},
        SettleLookCase{"ListingFails",
                       {},
                       ERROR_ACCESS_DENIED,
                       {"present devices cannot be listed: 5"},
                       true},
        SettleLookCase{"NothingListed", {}, 0, {}, false},
        SettleLookCase{"AnotherOfItsFamilyListed",
                       {L"\\\\?\\USB#VID_2207&PID_9206#0123456780#"
                        L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}"},
                       0, {}, false}),
    [](const ::testing::TestParamInfo<SettleLookCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(DeviceEventsTest, AnArrivalDuringAnUpgradeLeavesItsSettingsAlone) {
  placeHeldStub();
  FamilySettings zr700(L"ZR700");
  zr700.all("zr.img", 1, 0, "1.0");
  FamilySettings other(L"other");
  other.all("other.img", 0, 1, "9.9");
  ASSERT_EQ(arrive(kZr700Path), 0u);
  ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
  HANDLE firstWorker = context_->workerThread;
  recorder_.clear();

  EXPECT_EQ(arrive(L"\\\\?\\USB#VID_1111&PID_0002#9#{x}"), 0u);

  EXPECT_EQ(recorder_.texts(),
            Strings{"update thread is running, ignore device arrival"});
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(context_->workerThread, firstWorker);
  EXPECT_EQ(std::wstring(context_->devicePath), kZr700Path);
  EXPECT_STREQ(context_->updateFile, "zr.img");
  EXPECT_STREQ(context_->version, "1.0");
  EXPECT_EQ(context_->bForce, 1);
  EXPECT_EQ(context_->bUpdate, 0);
}

TEST_F(DeviceEventsTest, APathThatDoesNotFitIsRefusedWhole) {
  FamilySettings settings(L"other");
  std::wstring fits(kDevicePathUnits - 1, L'a');
  std::wstring tooLong(kDevicePathUnits, L'b');

  EXPECT_EQ(arrive(tooLong), 5u);
  EXPECT_EQ(recorder_.texts(),
            Strings{"device path is too long, ignore device arrival"});
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(context_->workerThread, nullptr);

  recorder_.clear();
  EXPECT_EQ(arrive(fits), 4u);  // copied, then no updatefile value
  EXPECT_EQ(std::wstring(context_->devicePath), fits);
  ASSERT_EQ(recorder_.events().size(), 2u);
  EXPECT_EQ(recorder_.events()[0].strings[1], narrow(fits));
}

// An arrival that carries no path to read is ignored with its own text; one
// whose path is merely too long keeps the text that says so.
TEST_F(DeviceEventsTest, AnArrivalWithoutAReadablePathIsIgnored) {
  const size_t nameOffset =
      offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  struct PathCase {
    const char* name;
    bool hasData;
    std::vector<BYTE> broadcast;
    const char* text;
  };
  std::vector<BYTE> cutShort = deviceBroadcast(L"\\\\?\\USB#VID_2207&PID_9206");
  reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(cutShort.data())
      ->dbcc_size -= sizeof(wchar_t);  // the NUL lies outside the record
  std::vector<BYTE> header = deviceBroadcast(kZr700Path);
  reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(header.data())->dbcc_size =
      static_cast<DWORD>(nameOffset - 1);
  // A long record without a NUL anywhere in it.
  std::wstring unending(kDevicePathUnits + 40, L'u');
  std::vector<BYTE> longCut = deviceBroadcast(unending);
  reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(longCut.data())
      ->dbcc_size -= sizeof(wchar_t);
  const char kUnreadable[] = "device path is unreadable, ignore device arrival";
  const PathCase cases[] = {
      {"no data", false, {}, kUnreadable},
      {"record shorter than its header", true, header, kUnreadable},
      {"name not ended inside the record", true, cutShort, kUnreadable},
      {"long name not ended inside the record", true, longCut, kUnreadable},
      {"name ended but too long", true,
       deviceBroadcast(std::wstring(kDevicePathUnits, L'b')),
       "device path is too long, ignore device arrival"},
  };
  FamilySettings settings(L"ZR700");
  settings.all("fw.img", 0, 0, "1.0");
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_.clear();
    std::vector<BYTE> broadcast = c.broadcast;
    EXPECT_EQ(arriveWith(c.hasData ? broadcast.data() : nullptr), 5u);
    EXPECT_EQ(recorder_.texts(), Strings{c.text});
    EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(context_->workerThread, nullptr);
  }
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>(5, 15000));
}

// --- Removal and other device events ---

TEST_F(DeviceEventsTest, RemovalWithoutAWorkerOnlyReportsIt) {
  EXPECT_EQ(control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE), 0u);
  EXPECT_EQ(recorder_.texts(), Strings{"device remove"});
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_TRUE(manager_.statusReports().empty());
}


TEST_F(DeviceEventsTest, TheNextArrivalAfterARemovalStartsANewWorker) {
  placeHeldStub();
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  ASSERT_EQ(arrive(kZr700Path), 0u);
  ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
  control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE);
  ASSERT_EQ(workerExitCode(), DWORD{kWorkerDeviceWentAway});
  settings.text("version", "1.1");
  stubFunction<StubHoldCalls>("stubHoldCalls")();

  EXPECT_EQ(arrive(kZr700Path), 0u);
  // The ended worker's handle is closed first, so the new one may have the
  // same value; the second call into the library shows a new worker.
  ASSERT_NE(context_->workerThread, nullptr);
  ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
  EXPECT_STREQ(stubFunction<StubLastCall>("stubLastCall")()->version, "1.1");
  EXPECT_EQ(stubFunction<StubLastCall>("stubLastCall")()->calls, 2);
}

// Only the removal of the device being upgraded ends its worker. Paths are
// compared as the library compares them: ASCII letters in any case.
TEST_F(DeviceEventsTest, OnlyTheRemovalOfTheUpgradedDeviceEndsTheWorker) {
  const std::wstring upgraded =
      L"\\\\?\\USB#VID_2207&PID_9206#SN\u00C91#{6b11e5bb-f5ca}";
  struct RemovalCase {
    const char* name;
    bool hasPath;
    std::wstring path;
    bool ends;
  };
  const RemovalCase cases[] = {
      {"the same path", true, upgraded, true},
      {"the same path in small letters", true,
       L"\\\\?\\usb#vid_2207&pid_9206#sn\u00C91#{6b11e5bb-f5ca}", true},
      {"no path: as before", false, L"", true},
      {"another device", true,
       L"\\\\?\\USB#VID_2207&PID_9206#SN\u00C92#{6b11e5bb-f5ca}", false},
      {"a longer path", true, upgraded + L"0", false},
      {"a shorter path", true, upgraded.substr(0, upgraded.size() - 1), false},
      {"another case of a letter beyond ASCII", true,
       L"\\\\?\\USB#VID_2207&PID_9206#SN\u00E91#{6b11e5bb-f5ca}", false},
  };
  ASSERT_TRUE(placeUpgradeLibrary(L"velunor_upgrade_stub.dll"));
  stub_ = LoadLibraryW(kUpgradeLibraryPath);
  ASSERT_NE(stub_, nullptr);
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  for (const RemovalCase& c : cases) {
    SCOPED_TRACE(c.name);
    renewContext();
    ManagerStates states(manager_);
    stubFunction<StubHoldCalls>("stubHoldCalls")();
    ASSERT_EQ(arrive(upgraded), 0u);
    ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
    recorder_.clear();

    std::vector<BYTE> broadcast = deviceBroadcast(c.path);
    EXPECT_EQ(remove(c.hasPath ? broadcast.data() : nullptr), 0u);

    if (c.ends) {
      EXPECT_EQ(workerExitCode(), DWORD{kWorkerDeviceWentAway});
      EXPECT_EQ(recorder_.texts(),
                (Strings{"device remove", "update thread is exist, cancel upgrade",
                         "device went away before the update started, "
                         "service kept"}));
      EXPECT_TRUE(states.added().empty());
      continue;
    }
    EXPECT_EQ(recorder_.texts(),
              (Strings{"device remove",
                       "update thread is for another device, ignore device "
                       "remove"}));
    EXPECT_EQ(recorder_.events()[1].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(WaitForSingleObject(context_->workerThread, 0),
              DWORD{WAIT_TIMEOUT});
    stubFunction<StubRelease>("stubRelease")();
    EXPECT_EQ(workerExitCode(), kWorkerDone);  // it finished its upgrade
    EXPECT_EQ(states.added(),
              (std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  }
}

TEST_F(DeviceEventsTest, ARemovalAfterTheLibraryReturnedLeavesTheWorkerBe) {
  ASSERT_TRUE(registerServiceForTest(programPath()));
  ASSERT_TRUE(placeUpgradeLibrary(L"velunor_upgrade_stub.dll"));
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  {
    HeldServiceRemoval hold;
    ASSERT_EQ(arrive(kZr700Path), 0u);
    ASSERT_TRUE(hold.entered(60000));
    recorder_.clear();

    EXPECT_EQ(remove(deviceBroadcast(kZr700Path).data()), 0u);

    EXPECT_EQ(recorder_.texts(),
              (Strings{"device remove",
                       "update thread is finishing, ignore device remove"}));
    EXPECT_EQ(recorder_.events()[1].type, EVENTLOG_INFORMATION_TYPE);
    hold.release();
    EXPECT_EQ(workerExitCode(), kWorkerDone);
  }
  EXPECT_FALSE(serviceRegistered());  // the removal of the service completed
  EXPECT_EQ(manager_.states(),
            (std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOPPED}));
}

TEST_F(DeviceEventsTest, ARemovalAfterTheWorkerEndedOnlyReportsIt) {
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  ASSERT_EQ(arrive(kZr700Path), 0u);  // no library: the worker ends at once
  ASSERT_EQ(workerExitCode(), kWorkerLibraryNotLoaded);
  std::vector<HANDLE> calls;
  terminated = &calls;
  ImportPatch watch(nullptr, "TerminateThread",
                    reinterpret_cast<const void*>(&watchedTerminateThread));
  for (bool hasPath : {true, false}) {
    recorder_.clear();
    std::vector<BYTE> broadcast = deviceBroadcast(kZr700Path);
    EXPECT_EQ(remove(hasPath ? broadcast.data() : nullptr), 0u);
    EXPECT_EQ(recorder_.texts(), Strings{"device remove"});
  }
  terminated = nullptr;
  EXPECT_TRUE(calls.empty());
}

// CreateThread and CloseHandle calls of the code under test, in order.
Strings* threadLedger = nullptr;
DWORD createThreadError = 0;  // 0: create; else fail with this error

template <typename Function>
Function realKernel(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

std::string handleText(HANDLE handle) {
  return std::to_string(reinterpret_cast<uintptr_t>(handle));
}

// Watches the creation of upgrade workers; other threads are created as
// asked.
HANDLE WINAPI watchedCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                  LPTHREAD_START_ROUTINE start, LPVOID argument,
                                  DWORD flags, LPDWORD id) {
  bool worker = start == updateThread;
  if (worker && createThreadError != 0) {
    SetLastError(createThreadError);
    return nullptr;
  }
  HANDLE thread = realKernel<decltype(&CreateThread)>("CreateThread")(
      security, stack, start, argument, flags, id);
  if (worker && threadLedger != nullptr) {
    threadLedger->push_back("create " + handleText(thread));
  }
  return thread;
}

BOOL WINAPI watchedCloseHandle(HANDLE handle) {
  if (threadLedger != nullptr) {
    threadLedger->push_back("close " + handleText(handle));
  }
  return realKernel<decltype(&CloseHandle)>("CloseHandle")(handle);
}

TEST_F(DeviceEventsTest, TheHandleOfAnEndedWorkerIsClosedBeforeTheNext) {
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  Strings ledger;
  threadLedger = &ledger;
  ImportPatch create(nullptr, "CreateThread",
                     reinterpret_cast<const void*>(&watchedCreateThread));
  ImportPatch close(nullptr, "CloseHandle",
                    reinterpret_cast<const void*>(&watchedCloseHandle));
  ASSERT_EQ(arrive(kZr700Path), 0u);
  HANDLE first = context_->workerThread;
  ASSERT_EQ(workerExitCode(), kWorkerLibraryNotLoaded);

  ASSERT_EQ(arrive(kZr700Path), 0u);
  HANDLE second = context_->workerThread;
  threadLedger = nullptr;

  Strings ours;  // the calls about the two workers
  for (const std::string& call : ledger) {
    if (call == "create " + handleText(first) ||
        call == "close " + handleText(first) ||
        call == "create " + handleText(second)) {
      ours.push_back(call);
    }
  }
  // The second handle may reuse the value of the first once it is closed.
  EXPECT_EQ(ours, (Strings{"create " + handleText(first),
                           "close " + handleText(first),
                           "create " + handleText(second)}));
  EXPECT_EQ(GetThreadId(second), context_->workerThreadId);
}

TEST_F(DeviceEventsTest, AWorkerThatCannotBeCreatedIsReported) {
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  createThreadError = ERROR_NOT_ENOUGH_MEMORY;
  DWORD result = 0;
  {
    ImportPatch create(nullptr, "CreateThread",
                       reinterpret_cast<const void*>(&watchedCreateThread));
    result = arrive(kZr700Path);
  }
  createThreadError = 0;

  EXPECT_EQ(result, DWORD{kArrivalThreadNotCreated});
  EXPECT_NE(result, 0u);
  std::vector<RecordedEvent> events = recorder_.events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].strings[0], "ZR700 Arrival");
  EXPECT_EQ(events[1].strings[0], "update file : ");
  EXPECT_EQ(events[2].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[2].strings,
            Strings{"create update thread fail: " +
                    std::to_string(ERROR_NOT_ENOUGH_MEMORY)});
  EXPECT_EQ(context_->workerThread, nullptr);

  // With no worker, a removal is only reported, and the next arrival starts
  // one.
  recorder_.clear();
  EXPECT_EQ(remove(deviceBroadcast(kZr700Path).data()), 0u);
  EXPECT_EQ(recorder_.texts(), Strings{"device remove"});
  EXPECT_EQ(arrive(kZr700Path), 0u);
  EXPECT_NE(context_->workerThread, nullptr);
}

TEST_F(DeviceEventsTest, OtherDeviceEventsAreOnlyReported) {
  for (DWORD type :
       {DBT_DEVICEQUERYREMOVE, DBT_DEVICEREMOVEPENDING, DBT_CUSTOMEVENT}) {
    recorder_.clear();
    EXPECT_EQ(control(SERVICE_CONTROL_DEVICEEVENT, type), 0u);
    EXPECT_EQ(recorder_.texts(), Strings{"device event others"});
  }
  EXPECT_TRUE(clock_.waits().empty());
}

}  // namespace
