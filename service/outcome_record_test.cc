#include "service/outcome_record.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>
#include <sddl.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/service_context.h"
#include "service/service_runtime.h"
#include "service/upgrade_worker.h"
#include "testing/event_recorder.h"
#include "testing/service/kill_end_watch.h"
#include "testing/service/present_devices_double.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_library_stub.h"
#include "testing/service/upgrade_worker_fixture.h"
#include "testing/virtual_clock.h"

namespace {

const wchar_t kZr700Record[] = L"Software\\VelunorUpdate\\ZR700\\Outcome";
// SHA-256 of the five bytes "image", the fixture's image content.
const char kImageDigest[] =
    "6105d6cc76af400325e94d588ce511be5bfdbb73b437dc51eca43917d7a43e3d";

// The record as a fleet tool reads it.
using Record = RegistryValues;

Record readRecord(const wchar_t* key = kZr700Record) {
  return registryValues(key);
}

// A record as an earlier try left it.
void seedRecord(const Record& values) {
  setRegistryValues(kZr700Record, values);
}

// `time` in UTC to the second, not before `since` (same form).
void expectTime(const Record& record, const std::string& since) {
  auto found = record.find("time");
  ASSERT_NE(found, record.end());
  EXPECT_TRUE(std::regex_match(
      found->second,
      std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z)")))
      << found->second;
  EXPECT_GE(found->second, since);
}

std::string utcNow() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  char text[32];
  snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear,
           now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
  return text;
}

// The record without its time, which expectTime checks.
Record withoutTime(Record record) {
  record.erase("time");
  return record;
}

const char kFixturePath[] = "\\\\?\\USB#VID_2207&PID_9206#77#{x}";
const wchar_t kFixtureEntry[] =
    L"Software\\VelunorUpdate\\ZR700\\Outcome\\Devices\\vid_2207&pid_9206#77";

class OutcomeRecordTest : public UpgradeWorkerTest {
 protected:
  // The service registered anew and a fresh context, for one more try.
  void restartService(ServiceManagerDouble& manager) {
    removeServiceRegistration();
    ASSERT_TRUE(registerServiceForTest(programPath()));
    startService(manager);
    recorder_.clear();
  }
};

// The state follows the library's result; the trail of events stays as it
// was. A try starts from the record an earlier one left: one attempt more,
// its result gone and the image it sends in its place (none when no file
// has the exact name). A device that crossed the line (a result that says
// it took the start request) has its entry.
TEST_F(OutcomeRecordTest, TheRecordTellsTheLibrarysResult) {
  struct ResultCase {
    const char* name;
    int32_t result;
    bool imageNamedExactly;  // the file named by updatefile is there
    Strings trail;
    const char* state;
    bool image;
  };
  const ResultCase cases[] = {
      {"upgraded", 0, true,
       {"send updatefile to device success", "uninstallService start"},
       "upgraded", true},
      {"started, not confirmed", 3, true,
       {"device was told to start the update and restarted before it "
        "confirmed, not sent again",
        "device is back after the start request", "uninstallService start"},
       "started", true},
      // The library found it under a longer name: no file of the exact
      // name, no digest.
      {"upgraded, only a longer name", 0, false,
       {"send updatefile to device success", "uninstallService start"},
       "upgraded", false},
      {"download failed", 1, true,
       {"send updatefile to device error", "uninstallService start"},
       "failed", true},
      {"no device", -1, true, {"uninstallService start"}, "failed", true},
      {"unknown result", 7, true, {"uninstallService start"}, "failed", true},
      {"device went away", 2, true,
       {"device went away before the update started, service kept"},
       "device went away", true},
  };
  for (const ResultCase& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceManagerDouble manager;
    restartService(manager);
    seedRecord({{"state", "failed"},
                {"attempts", "3"},
                {"result", "1"},
                {"image", "stale"}});
    placeStub(c.result);
    std::wstring image = makeFile(c.imageNamedExactly
                                      ? L"vlnr_test_fw.img"
                                      : L"vlnr_test_fw.img.2");
    const std::string before = utcNow();

    run();

    EXPECT_EQ(recorder_.texts(), c.trail);
    Record expected = {{"state", c.state},
                       {"result", std::to_string(c.result)},
                       {"attempts", "4"},
                       {"device", kFixturePath},
                       {"updatefile", "vlnr_test_fw.img"},
                       {"version", "3.2.1"}};
    if (c.image) expected["image"] = kImageDigest;
    Record record = readRecord();
    EXPECT_EQ(withoutTime(record), expected);
    expectTime(record, before);
    Record entry = readRecord(kFixtureEntry);
    if (c.image && (c.result == 0 || c.result == 3)) {
      EXPECT_EQ(withoutTime(entry),
                (Record{{"image", kImageDigest},
                        {"result", std::to_string(c.result)},
                        {"state", c.state}}));
      expectTime(entry, before);
    } else {
      EXPECT_TRUE(entry.empty());
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kZr700Record);
    DeleteFileW(image.c_str());
  }
}

// While the library runs the record says so, with this try's settings and
// no result or image of an earlier try.
TEST_F(OutcomeRecordTest, WhileTheLibraryRunsTheRecordSaysUpgrading) {
  seedRecord({{"state", "waiting"}, {"result", "1"}, {"image", "stale"}});
  placeStub(0);
  reinterpret_cast<StubHoldCalls>(
      reinterpret_cast<void*>(GetProcAddress(stub_, "stubHoldCalls")))();
  const std::string before = utcNow();
  HANDLE worker =
      CreateThread(nullptr, 0, updateThread, &context_->params, 0, nullptr);
  ASSERT_NE(worker, nullptr);
  ASSERT_TRUE(reinterpret_cast<StubWaitEntered>(reinterpret_cast<void*>(
      GetProcAddress(stub_, "stubWaitEntered")))(60000));

  Record record = readRecord();
  EXPECT_EQ(withoutTime(record), (Record{{"state", "upgrading"},
                                         {"attempts", "1"},
                                         {"device", kFixturePath},
                                         {"updatefile", "vlnr_test_fw.img"},
                                         {"version", "3.2.1"}}));
  expectTime(record, before);

  reinterpret_cast<StubRelease>(
      reinterpret_cast<void*>(GetProcAddress(stub_, "stubRelease")))();
  ASSERT_EQ(WaitForSingleObject(worker, 60000), WAIT_OBJECT_0);
  CloseHandle(worker);
  EXPECT_EQ(readRecord()["state"], "upgraded");
}

// No upgrade was started: the record stays as it was.
TEST_F(OutcomeRecordTest, AWorkerThatNeverCalledTheLibraryLeavesTheRecord) {
  const Record waiting = {{"state", "waiting"}};
  seedRecord(waiting);
  EXPECT_EQ(run(), kWorkerLibraryNotLoaded);  // no library placed
  EXPECT_EQ(readRecord(), waiting);

  placeStub(0);
  context_->workerPhase = kWorkerEnding;  // a removal claimed it first
  EXPECT_EQ(run(), DWORD{kWorkerEnded});
  EXPECT_EQ(readRecord(), waiting);
}

// An administrator (or a hardening script) took the service's right to
// write the record away. Wine enforces a key's access list as Windows does.
void denyWriting(const wchar_t* path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, WRITE_DAC, &key),
            ERROR_SUCCESS);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // Everyone: no KEY_SET_VALUE or KEY_CREATE_SUB_KEY, all else allowed.
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:P(D;;0x6;;;WD)(A;;KA;;;WD)", SDDL_REVISION_1, &descriptor,
      nullptr));
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor),
            ERROR_SUCCESS);
  LocalFree(descriptor);
  RegCloseKey(key);
}

TEST_F(OutcomeRecordTest, ARecordThatCannotBeWrittenIsAnErrorAndTheUpgradeGoesOn) {
  const Record waiting = {{"state", "waiting"}};
  seedRecord(waiting);
  denyWriting(kZr700Record);
  placeStub(0);
  std::wstring image = makeFile(L"vlnr_test_fw.img");

  EXPECT_EQ(run(), kWorkerDone);

  const std::string denied =
      "write outcome record fail: " + std::to_string(ERROR_ACCESS_DENIED);
  EXPECT_EQ(recorder_.texts(),
            (Strings{denied, denied, denied,
                     "send updatefile to device success",
                     "uninstallService start"}));
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(stubCall()->calls, 1);
  EXPECT_FALSE(fileExists(image));
  expectServiceStoppedAndRemoved();
  EXPECT_EQ(readRecord(), waiting);
}

// --- Removal and stop, through the control handler ---

const wchar_t kZr700Path[] =
    L"\\\\?\\USB#VID_2207&PID_9206#0123456789#"
    L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";

class OutcomeOnControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    removeAllSettings();
    removeServiceRegistration();
    removeUpgradeLibrary();
    ASSERT_TRUE(registerServiceForTest(programPath()));
    context_ = newServiceContext();
    context_->statusHandle = manager_.statusHandle;
    context_->deviceNotify = manager_.deviceNotify;
    present_.paths = {kZr700Path};
  }

  void TearDown() override {
    if (context_->workerThread != nullptr) {
      if (HMODULE stub = GetModuleHandleW(kUpgradeLibraryPath)) {
        stubFunction<StubRelease>(stub, "stubRelease")();
      }
      EXPECT_EQ(WaitForSingleObject(context_->workerThread, 60000),
                WAIT_OBJECT_0);
    }
    removeAllSettings();
    removeServiceRegistration();
    removeUpgradeLibrary();
  }

  template <typename Function>
  static Function stubFunction(HMODULE stub, const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(stub, name)));
  }

  // An arrival whose worker is held inside the library `library`, which
  // will return `result`.
  HMODULE arriveHeld(const wchar_t* library, int result) {
    EXPECT_TRUE(placeUpgradeLibrary(library));
    HMODULE stub = LoadLibraryW(kUpgradeLibraryPath);
    EXPECT_NE(stub, nullptr);
    stubFunction<StubHoldCalls>(stub, "stubHoldCalls")();
    stubFunction<StubSetResult>(stub, "stubSetResult")(result);
    std::vector<BYTE> broadcast = deviceBroadcast(kZr700Path);
    EXPECT_EQ(ServiceCtrlHandlerEx(SERVICE_CONTROL_DEVICEEVENT,
                                   DBT_DEVICEARRIVAL, broadcast.data(),
                                   context_),
              0u);
    EXPECT_TRUE(stubFunction<StubWaitEntered>(stub, "stubWaitEntered")(60000));
    return stub;
  }

  void removeDevice() {
    std::vector<BYTE> broadcast = deviceBroadcast(kZr700Path);
    ServiceCtrlHandlerEx(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE,
                         broadcast.data(), context_);
  }

  void waitForWorker() {
    ASSERT_EQ(WaitForSingleObject(context_->workerThread, 60000),
              WAIT_OBJECT_0);
  }

  // The events, once there are `count` of them: the cancel's watch writes
  // its own after the worker has ended.
  void waitForTrail(size_t count) {
    for (int tries = 0; tries < 600 && recorder_.texts().size() < count;
         ++tries) {
      WaitForSingleObject(GetCurrentProcess(), 100);  // a real wait
    }
  }

  // The record, once it no longer says "upgrading": a killed worker's is
  // written by the removal after the kill.
  // The record once a try has ended: not "upgrading", and not between the
  // withdrawal of its state and the state written last.
  Record finalRecord() {
    Record record = readRecord();
    for (int tries = 0; tries < 600 && (record["state"] == "upgrading" ||
                                        record["state"].empty());
         ++tries) {
      WaitForSingleObject(GetCurrentProcess(), 100);  // a real wait
      record = readRecord();
    }
    return record;
  }

  EventRecorder recorder_;
  VirtualClock clock_;
  ServiceManagerDouble manager_;
  // The arrived device is there when the service looks after the wait.
  PresentDevicesDouble present_;
  ServiceContext* context_ = nullptr;
};

// A removal ends the upgrade and the service stays for the next arrival:
// "device went away", with the library's result when it returned one (a
// cancelled library returns 2), and none when the worker was killed inside
// the library.
TEST_F(OutcomeOnControlTest, ARemovalDuringTheUpgradeIsDeviceWentAway) {
  struct RemovalCase {
    const char* name;
    const wchar_t* library;
    bool ignoreCancel;
    Strings trail;
    Record record;
  };
  const Record settings = {{"attempts", "1"},
                           {"device", toUtf8(kZr700Path)},
                           {"updatefile", "zr.img"},
                           {"version", "1.0"},
                           {"state", "device went away"}};
  Record cancelled = settings;
  cancelled["result"] = "2";
  const RemovalCase cases[] = {
      {"cancelled", L"velunor_upgrade_stub.dll", false,
       {"device remove", "update thread is exist, cancel upgrade",
        "device went away before the update started, service kept"},
       cancelled},
      {"killed: no cancel export", L"velunor_upgrade_stub_uncancellable.dll",
       false,
       {"device remove", "update thread is exist, kill thread"},
       settings},
      {"killed: the cancel not heeded", L"velunor_upgrade_stub.dll", true,
       {"device remove", "update thread is exist, cancel upgrade",
        "update thread did not end 1000 ms after cancel, kill thread"},
       settings},
  };
  for (const RemovalCase& c : cases) {
    SCOPED_TRACE(c.name);
    FamilySettings family(L"ZR700");
    family.all("zr.img", 0, 1, "1.0");
    context_ = newServiceContext();
    context_->statusHandle = manager_.statusHandle;
    context_->deviceNotify = manager_.deviceNotify;
    context_->cancelWaitMs = 1000;
    removeUpgradeLibrary();
    HMODULE stub = arriveHeld(c.library, kUpgradeSucceeded);
    if (c.ignoreCancel) {
      stubFunction<StubIgnoreCancel>(stub, "stubIgnoreCancel")();
    }
    recorder_.clear();
    KillEndWatch processEnd;  // a kill ends the process

    removeDevice();
    waitForWorker();

    Record record = finalRecord();
    EXPECT_EQ(withoutTime(record), c.record);
    expectTime(record, "");
    waitForTrail(c.trail.size());
    EXPECT_EQ(recorder_.texts(), c.trail);
    EXPECT_TRUE(serviceRegistered());
    stubFunction<StubRelease>(stub, "stubRelease")();
    CloseHandle(context_->workerThread);
    context_->workerThread = nullptr;
  }
}

// A stop while the library runs cancels the upgrade: nothing on the device
// changed, so the record says "device went away" with the library's 2, and
// the image and the registration stay for the next start. The service is
// reported stopped once the worker has ended.
TEST_F(OutcomeOnControlTest, AStopDuringTheUpgradeIsDeviceWentAway) {
  FamilySettings family(L"ZR700");
  family.all("zr.img", 0, 1, "1.0");
  HMODULE stub = arriveHeld(L"velunor_upgrade_stub.dll", kUpgradeSucceeded);
  recorder_.clear();

  EXPECT_EQ(ServiceCtrlHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, context_),
            0u);
  waitForWorker();
  const Strings trail = {
      "update thread is exist, cancel upgrade",
      "device went away before the update started, service kept",
      "service control stop success"};
  waitForTrail(trail.size());

  EXPECT_EQ(recorder_.texts(), trail);
  Record record = readRecord();
  EXPECT_EQ(record["state"], "device went away");
  EXPECT_EQ(record["result"], "2");
  EXPECT_EQ(record["attempts"], "1");
  EXPECT_TRUE(serviceRegistered());
  stubFunction<StubRelease>(stub, "stubRelease")();
}

}  // namespace

