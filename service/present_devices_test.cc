// The scan for devices present at the service's start: it looks only after
// the settle wait, upgrades a device found as its arrival would be, and
// never upgrades twice when an arrival broadcast comes at the same time.
#include "service/present_devices.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/service_context.h"
#include "service/service_runtime.h"
#include "service/upgrade_worker.h"
#include "testing/event_recorder.h"
#include "testing/service/present_devices_double.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_library_stub.h"
#include "testing/virtual_clock.h"

namespace {

using Strings = std::vector<std::string>;

std::string narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

size_t count(const Strings& texts, const std::string& text) {
  return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

class PresentDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    removeAllSettings();
    removeServiceRegistration();
    removeUpgradeLibrary();
    context_ = freshContext();
  }

  void TearDown() override {
    if (stub_ != nullptr) stubFunction<StubRelease>("stubRelease")();
    endWorker();
    removeAllSettings();
    removeServiceRegistration();
    removeUpgradeLibrary();
  }

  ServiceContext* freshContext() {
    ServiceContext* context = newServiceContext();
    context->statusHandle = manager_.statusHandle;
    context->deviceNotify = manager_.deviceNotify;
    return context;
  }

  void endWorker() {
    if (context_->workerThread != nullptr) {
      EXPECT_EQ(WaitForSingleObject(context_->workerThread, 60000),
                WAIT_OBJECT_0);
    }
  }

  // The worker, then the upgrade of the next waiting device that its end
  // started, until no device waits.
  void endChain() {
    for (;;) {
      endWorker();
      HANDLE next = context_->nextThread.exchange(nullptr);
      if (next == nullptr) return;
      EXPECT_EQ(WaitForSingleObject(next, 60000), WAIT_OBJECT_0);
      CloseHandle(next);
    }
  }

  DWORD arrive(const std::wstring& path) {
    present_.connect(path);
    std::vector<BYTE> broadcast = deviceBroadcast(path);
    EXPECT_EQ(ServiceCtrlHandlerEx(SERVICE_CONTROL_DEVICEEVENT,
                                   DBT_DEVICEARRIVAL, broadcast.data(),
                                   context_),
              DWORD{kControlHandled});
    return arrivalOutcome(context_->arrivalThread);
  }

  void placeStub(bool held) {
    ASSERT_TRUE(placeUpgradeLibrary(L"velunor_upgrade_stub.dll"));
    stub_ = LoadLibraryW(kUpgradeLibraryPath);
    ASSERT_NE(stub_, nullptr);
    if (held) stubFunction<StubHoldCalls>("stubHoldCalls")();
  }

  template <typename Function>
  Function stubFunction(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(stub_, name)));
  }

  const StubCall& lastCall() {
    return *stubFunction<StubLastCall>("stubLastCall")();
  }

  EventRecorder recorder_;
  VirtualClock clock_;
  ServiceManagerDouble manager_;
  PresentDevicesDouble present_;
  ServiceContext* context_ = nullptr;
  HMODULE stub_ = nullptr;
};

// --- The scan ---

TEST_F(PresentDevicesTest, WithoutAPresentDeviceTheScanOnlySaysSo) {
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  upgradePresentDevice(context_);
  EXPECT_EQ(recorder_.texts(), Strings{"no device present at start"});
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(context_->workerThread, nullptr);
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>{kArrivalSettleMs});
}

// A device pulled during the settle wait is not upgraded after it has gone:
// the scan looks only once the wait is over.
TEST_F(PresentDevicesTest, TheScanLooksOnlyAfterTheSettleWait) {
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  std::vector<DWORD> waitsAtListing;
  present_.onListing = [&] { waitsAtListing = clock_.waits(); };
  upgradePresentDevice(context_);
  EXPECT_EQ(waitsAtListing, std::vector<DWORD>{kArrivalSettleMs});
}

TEST_F(PresentDevicesTest, ARefusedListingIsAnErrorAndNothingElse) {
  present_.listingError = ERROR_ACCESS_DENIED;
  upgradePresentDevice(context_);
  EXPECT_EQ(recorder_.texts(), Strings{"present devices cannot be listed: 5"});
  EXPECT_EQ(context_->workerThread, nullptr);
}

// Enumeration names the device in small letters; the family, the settings,
// the events and the library's arguments are those of its arrival.
TEST_F(PresentDevicesTest, ADeviceFoundInSmallLettersIsUpgradedAsItsArrival) {
  placeStub(/*held=*/true);
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 1, 0, "2.0");
  present_.paths = {kZr700Listed};

  upgradePresentDevice(context_);

  ASSERT_NE(context_->workerThread, nullptr);
  ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
  std::vector<RecordedEvent> events = recorder_.events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].strings, Strings{"device found at start"});
  EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(events[1].strings,
            (Strings{"ZR700 Arrival", narrow(kZr700Announced)}));
  EXPECT_EQ(events[2].text(),
            "update file : zr.imgbForce : 1bUpdate : 0version : 2.0");
  EXPECT_EQ(std::wstring(lastCall().devicePath), kZr700Announced);
  EXPECT_STREQ(lastCall().updateFile, "zr.img");
  EXPECT_STREQ(lastCall().version, "2.0");
  EXPECT_EQ(lastCall().bForce, 1);
  EXPECT_EQ(lastCall().bUpdate, 0);
  // The scan waits as an arrival does, once, before it looks: once to say
  // what it found, once for the device that waits.
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>{kArrivalSettleMs});
  EXPECT_EQ(present_.listsMade(), 2);
  EXPECT_EQ(present_.listsDestroyed(), present_.listsMade());
}

// The scan and an arrival, one after the other in both orders: the first
// starts the one worker, the second is ignored and leaves the first one's
// settings and path alone; once the first device's try has ended, the other
// one, still there, is upgraded after it.
TEST_F(PresentDevicesTest, TheScanAndAnArrivalStartOneWorkerInEitherOrder) {
  placeStub(/*held=*/true);
  FamilySettings rk(L"RK7x10");
  rk.all("rk.img", 1, 1, "7.1");
  FamilySettings zr(L"ZR700");
  zr.all("zr.img", 0, 1, "1.0");
  present_.paths = {kRk7x10Listed};
  struct Case {
    const char* name;
    bool scanFirst;
  };
  for (const Case& c : {Case{"scan first", true}, Case{"arrival first", false}}) {
    SCOPED_TRACE(c.name);
    recorder_.clear();
    const int callsBefore = lastCall().calls;
    stubFunction<StubHoldCalls>("stubHoldCalls")();
    if (c.scanFirst) {
      upgradePresentDevice(context_);
    } else {
      EXPECT_EQ(arrive(kZr700Announced), 0u);
    }
    ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
    HANDLE worker = context_->workerThread;

    if (c.scanFirst) {
      EXPECT_EQ(arrive(kZr700Announced), 0u);
    } else {
      upgradePresentDevice(context_);
    }

    EXPECT_EQ(context_->workerThread, worker);
    Strings texts = recorder_.texts();
    EXPECT_EQ(count(texts, "update thread is running, ignore device arrival"),
              1u);
    EXPECT_EQ(count(texts, "device found at start"), 1u);
    EXPECT_EQ(texts.back(), "update thread is running, ignore device arrival");
    const std::wstring first = c.scanFirst ? kRk7x10Announced : kZr700Announced;
    EXPECT_EQ(std::wstring(context_->devicePath), first);
    EXPECT_STREQ(context_->updateFile, c.scanFirst ? "rk.img" : "zr.img");
    EXPECT_STREQ(context_->version, c.scanFirst ? "7.1" : "1.0");
    stubFunction<StubRelease>("stubRelease")();
    endChain();
    EXPECT_EQ(lastCall().calls, callsBefore + 2);
    const std::wstring second =
        c.scanFirst ? kZr700Announced : kRk7x10Announced;
    EXPECT_EQ(std::wstring(lastCall().devicePath), second);
    EXPECT_STREQ(lastCall().updateFile, c.scanFirst ? "zr.img" : "rk.img");
    context_ = freshContext();
  }
}

// The scan's thread and the handler's at the very same time, many times:
// one worker at a time, and its settings are those of the device it got;
// the device that lost is upgraded after it.
TEST_F(PresentDevicesTest, AScanAndAnArrivalAtOnceStartOneWorker) {
  placeStub(/*held=*/false);
  FamilySettings rk(L"RK7x10");
  rk.all("rk.img", 1, 1, "7.1");
  FamilySettings zr(L"ZR700");
  zr.all("zr.img", 0, 1, "1.0");
  // Both are there, listed before the scan's thread reads the list.
  present_.paths = {kRk7x10Listed, kZr700Listed};
  // The library is held until both have had their say.
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    recorder_.clear();
    const int callsBefore = lastCall().calls;
    stubFunction<StubHoldCalls>("stubHoldCalls")();
    HANDLE scan = CreateThread(
        nullptr, 0,
        [](LPVOID context) -> DWORD {
          upgradePresentDevice(static_cast<ServiceContext*>(context));
          return 0;
        },
        context_, 0, nullptr);
    ASSERT_NE(scan, nullptr);
    arrive(kZr700Announced);
    ASSERT_EQ(WaitForSingleObject(scan, 60000), WAIT_OBJECT_0);
    CloseHandle(scan);
    ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));

    Strings texts = recorder_.texts();
    EXPECT_EQ(count(texts, "update thread is running, ignore device arrival"),
              1u);
    const bool scanWon = std::wstring(context_->devicePath) == kRk7x10Announced;
    EXPECT_STREQ(context_->updateFile, scanWon ? "rk.img" : "zr.img");
    stubFunction<StubRelease>("stubRelease")();
    endChain();
    EXPECT_EQ(lastCall().calls, callsBefore + 2);
    EXPECT_EQ(std::wstring(lastCall().devicePath),
              scanWon ? kZr700Announced : kRk7x10Announced);
    EXPECT_STREQ(lastCall().updateFile, scanWon ? "zr.img" : "rk.img");
    EXPECT_STREQ(lastCall().version, scanWon ? "1.0" : "7.1");
    context_ = freshContext();
  }
}

// Two devices of one family: both are upgraded, one after the other, and
// the image stays until the second has had it; then the service goes.
TEST_F(PresentDevicesTest, TwoDevicesOfOneFamilyAreBothUpgraded) {
  const std::wstring image = L"C:\\windows\\system32\\drivers\\zr.img";
  writeFile(image, "image");
  ASSERT_TRUE(registerServiceForTest(programPath()));
  placeStub(/*held=*/false);
  FamilySettings zr(L"ZR700");
  zr.all("zr.img", 0, 1, "1.0");
  const std::wstring second =
      L"\\\\?\\usb#vid_3f3a&pid_9206#vlnr-sn-000456#"
      L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";
  present_.paths = {kZr700Listed, second};
  const int callsBefore = lastCall().calls;

  upgradePresentDevice(context_);
  endChain();

  EXPECT_EQ(lastCall().calls, callsBefore + 2);
  EXPECT_EQ(count(recorder_.texts(), "send updatefile to device success"), 2u);
  // The second try still found the image to take its digest from.
  for (const wchar_t* identity :
       {L"vid_3f3a&pid_9206#vlnr-sn-000123", L"vid_3f3a&pid_9206#vlnr-sn-000456"}) {
    wchar_t state[32] = {};
    DWORD size = sizeof state;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE,
                           (std::wstring(L"Software\\VelunorUpdate\\ZR700\\"
                                         L"Outcome\\Devices\\") +
                            identity)
                               .c_str(),
                           L"state", RRF_RT_REG_SZ, nullptr, state, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(state, L"upgraded");
  }
  EXPECT_FALSE(fileExists(image));
  EXPECT_FALSE(serviceRegistered());
}

// Once an upgrade has ended the service, a device found late (or an arrival
// that waited out its settle time meanwhile) starts no second upgrade.
TEST_F(PresentDevicesTest, AfterTheUpgradeEndedTheServiceNoSecondOneStarts) {
  placeStub(/*held=*/false);
  FamilySettings zr(L"ZR700");
  zr.all("zr.img", 0, 1, "1.0");
  ASSERT_EQ(arrive(kZr700Announced), 0u);
  endWorker();
  const int calls = lastCall().calls;
  recorder_.clear();
  present_.paths = {kZr700Listed};

  upgradePresentDevice(context_);
  EXPECT_EQ(arrive(kZr700Announced), 0u);

  EXPECT_EQ(recorder_.texts(),
            (Strings{"device found at start",
                     "service is stopped, ignore device arrival",
                     "service is stopped, ignore device arrival"}));
  EXPECT_EQ(lastCall().calls, calls);
}

}  // namespace
