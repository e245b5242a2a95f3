// What the outcome record remembers of each device, through the worker and
// the stand-in library: the entry written before the start request goes
// out, the result that says "started, not confirmed", a device never sent
// an image it took, the resolution of a try that ended without its result,
// and the order of the writes, which leaves a true record after a power cut
// at any instant.
#include "service/outcome_record.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/device_events.h"
#include "service/present_devices.h"
#include "service/service_context.h"
#include "service/upgrade_worker.h"
#include "testing/event_recorder.h"
#include "testing/import_patch.h"
#include "testing/service/present_devices_double.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_library_stub.h"
#include "testing/service/upgrade_worker_fixture.h"
#include "testing/virtual_clock.h"

namespace {

const wchar_t kFamilyRecord[] = L"Software\\VelunorUpdate\\ZR700\\Outcome";
const wchar_t kEntry[] =
    L"Software\\VelunorUpdate\\ZR700\\Outcome\\Devices\\vid_2207&pid_9206#77";
const wchar_t kFixtureDevice[] = L"\\\\?\\USB#VID_2207&PID_9206#77#{x}";
// SHA-256 of the five bytes "image", the fixture's image content.
const char kImageDigest[] =
    "6105d6cc76af400325e94d588ce511be5bfdbb73b437dc51eca43917d7a43e3d";
const char kOtherDigest[] =
    "0000000000000000000000000000000000000000000000000000000000000001";
const char kTookIt[] = "device already took this update image, not sent again";
const char kStarted[] =
    "device was told to start the update and restarted before it confirmed, "
    "not sent again";

// A key's values as a fleet tool reads them, without the time.
using Values = RegistryValues;

Values readKey(const wchar_t* path) {
  Values values = registryValues(path);
  values.erase("time");
  return values;
}

void writeKey(const wchar_t* path, const Values& values) {
  setRegistryValues(path, values);
}

class DeviceRecordTest : public UpgradeWorkerTest {
 protected:
  void TearDown() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\VelunorUpdate");
    UpgradeWorkerTest::TearDown();
  }

  template <typename Function>
  Function stub(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(stub_, name)));
  }

  // The service's next start, for the next try of the same device.
  void restart(ServiceManagerDouble& manager) {
    removeServiceRegistration();
    ASSERT_TRUE(registerServiceForTest(programPath()));
    startService(manager);
    recorder_.clear();
  }
};

// The library says the start request is going out: before it does, the
// device's entry says "starting" with the image, and the context knows.
// Whatever the library then returns, the device is not sent that image
// again: the next try of it is the event that says so, and counts as done.
TEST_F(DeviceRecordTest, ADeviceThatCrossedTheLineIsNeverSentTheImageAgain) {
  const int results[] = {kUpgradeSucceeded, kUpgradeDownloadFailed,
                         kUpgradeStartUnconfirmed};
  for (int result : results) {
    SCOPED_TRACE(result);
    FamilySettings settings(L"ZR700");
    settings.all("vlnr_test_fw.img", 1, 0, "3.2.1");
    ServiceManagerDouble manager;
    restart(manager);
    makeFile(L"vlnr_test_fw.img");
    placeStub(result);
    stub<StubHoldCalls>("stubHoldCalls")();
    stub<StubNoticeStart>("stubNoticeStart")(true);
    const int callsBefore = stubCall()->calls;
    HANDLE worker =
        CreateThread(nullptr, 0, updateThread, &context_->params, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    ASSERT_TRUE(stub<StubWaitEntered>("stubWaitEntered")(60000));

    EXPECT_TRUE(context_->startRequestSent.load());
    EXPECT_EQ(readKey(kEntry),
              (Values{{"image", kImageDigest}, {"state", "starting"}}));
    EXPECT_EQ(readKey(kFamilyRecord)["state"], "upgrading");
    EXPECT_TRUE(stubCall()->checked);
    EXPECT_STREQ(stubCall()->imageSha256, "(null)");

    stub<StubRelease>("stubRelease")();
    ASSERT_EQ(WaitForSingleObject(worker, 60000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(worker, &code);
    CloseHandle(worker);
    stub<StubNoticeStart>("stubNoticeStart")(false);
    // Only a success deletes the image; "started" is done, not failed.
    EXPECT_EQ(code, result == kUpgradeSucceeded        ? kWorkerDone
                    : result == kUpgradeDownloadFailed ? kWorkerTransferFailed
                                                       : kWorkerStartUnconfirmed);
    EXPECT_EQ(fileExists(kDrivers + L"vlnr_test_fw.img"),
              result != kUpgradeSucceeded);
    if (result == kUpgradeStartUnconfirmed) {
      EXPECT_EQ(recorder_.texts(),
                (Strings{kStarted, "device is back after the start request",
                         "uninstallService start"}));
    }
    const char* state = outcomeStateOf(result) == std::wstring(kStateUpgraded)
                            ? "upgraded"
                        : result == kUpgradeStartUnconfirmed ? "started"
                                                             : "failed";
    EXPECT_EQ(readKey(kEntry), (Values{{"image", kImageDigest},
                                       {"result", std::to_string(result)},
                                       {"state", state}}));
    EXPECT_EQ(manager.states().back(), DWORD{SERVICE_STOPPED});
    EXPECT_FALSE(serviceRegistered());

    // A repair restores the image and starts the service again.
    ServiceManagerDouble again;
    restart(again);
    makeFile(L"vlnr_test_fw.img");
    writeKey(kFamilyRecord, {{"state", "waiting"}});
    EXPECT_EQ(onDevicePresent(context_, kFixtureDevice), 0u);
    EXPECT_EQ(context_->workerThread, nullptr);
    EXPECT_EQ(stubCall()->calls, callsBefore + 1);
    std::vector<RecordedEvent> events = recorder_.events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[2].strings, (Strings{kTookIt, toUtf8(kFixtureDevice)}));
    EXPECT_EQ(events[2].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(events[3].text(), "uninstallService start");
    Values family = readKey(kFamilyRecord);
    EXPECT_EQ(family["state"], state);
    EXPECT_EQ(family["result"], std::to_string(result));
    EXPECT_EQ(family["image"], kImageDigest);
    EXPECT_EQ(again.states().back(), DWORD{SERVICE_STOPPED});
    EXPECT_FALSE(serviceRegistered());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kFamilyRecord);
  }
}

// A try whose process ended inside the library (a kill, a crash, a power
// cut) is resolved at the service's next start from the device's entry:
// one that says it was being sent this image crossed the line.
TEST_F(DeviceRecordTest, ATryThatEndedWithoutItsResultIsResolvedAtTheNextStart) {
  const Values upgrading = {{"state", "upgrading"},
                            {"attempts", "2"},
                            {"device", toUtf8(kFixtureDevice)},
                            {"image", kImageDigest}};
  Values started = upgrading;
  started["state"] = "started";
  started["result"] = "3";
  Values upgraded = upgrading;
  upgraded["state"] = "upgraded";
  upgraded["result"] = "0";
  Values wentAway = upgrading;
  wentAway["state"] = "device went away";
  const Values none;
  struct Case {
    const char* name;
    Values family;
    Values entry;
    Values familyAfter;
    Values entryAfter;
  };
  const Case cases[] = {
      {"crossed, nothing came back", upgrading,
       {{"image", kImageDigest}, {"state", "starting"}}, started,
       {{"image", kImageDigest}, {"state", "started"}, {"result", "3"}}},
      {"the entry finished, the family not", upgrading,
       {{"image", kImageDigest}, {"state", "upgraded"}, {"result", "0"}},
       upgraded,
       {{"image", kImageDigest}, {"state", "upgraded"}, {"result", "0"}}},
      {"not crossed", upgrading, none, wentAway, none},
      {"crossed with an earlier image", upgrading,
       {{"image", kOtherDigest}, {"state", "upgraded"}, {"result", "0"}},
       wentAway,
       {{"image", kOtherDigest}, {"state", "upgraded"}, {"result", "0"}}},
      // Cut while the entry was written, before the start request.
      {"an entry without its state", upgrading, {{"image", kImageDigest}},
       wentAway, {{"image", kImageDigest}}},
      {"a finished record stays", started,
       {{"image", kImageDigest}, {"state", "starting"}}, started,
       {{"image", kImageDigest}, {"state", "starting"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeKey(kFamilyRecord, c.family);
    if (!c.entry.empty()) writeKey(kEntry, c.entry);
    ServiceContext* context = newServiceContext();
    context->stopping = true;  // no scan after the resolution
    SetEvent(context->stopSignal);
    startPresentDeviceScan(context);
    ASSERT_NE(context->scanThread, nullptr);
    ASSERT_EQ(WaitForSingleObject(context->scanThread, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(readKey(kFamilyRecord), c.familyAfter);
    EXPECT_EQ(readKey(kEntry), c.entryAfter);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kFamilyRecord);
  }
  // Families without a record get none.
  HKEY other = nullptr;
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                          L"Software\\VelunorUpdate\\other", 0, KEY_READ,
                          &other),
            ERROR_SUCCESS);
}

// The `sha256` setting goes to the checked export, and is the image the
// record names. A library without that export still upgrades without the
// setting (it cannot say when the start request goes out), and is not
// called with it: it could not keep the promise that only that image is
// sent.
TEST_F(DeviceRecordTest, TheSha256SettingNeedsTheCheckedExport) {
  makeFile(L"vlnr_test_fw.img");
  context_->params.imageSha256 = kOtherDigest;
  placeStub(kUpgradeSucceeded);
  EXPECT_EQ(run(), kWorkerDone);
  EXPECT_TRUE(stubCall()->checked);
  EXPECT_STREQ(stubCall()->imageSha256, kOtherDigest);
  EXPECT_EQ(readKey(kFamilyRecord)["image"], kOtherDigest);
  EXPECT_EQ(readKey(kEntry)["image"], kOtherDigest);
  removeUpgradeLibrary();
  stub_ = nullptr;

  struct Case {
    const char* name;
    const char* sha256;
    DWORD code;
    int calls;
    Strings trail;
  };
  const Case cases[] = {
      {"without the setting", nullptr, kWorkerDone, 1,
       {"send updatefile to device success", "uninstallService start"}},
      {"with the setting", kOtherDigest, kWorkerLibraryNotLoaded, 0,
       {"can not find letsStartUpgradeChecked in velunorUpdateExport.dll, the "
        "sha256 setting cannot be kept: 127"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceManagerDouble manager;
    restart(manager);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kFamilyRecord);
    makeFile(L"vlnr_test_fw.img");
    ASSERT_TRUE(placeUpgradeLibrary(L"velunor_upgrade_stub_unchecked.dll"));
    HMODULE unchecked = LoadLibraryW(kUpgradeLibraryPath);
    ASSERT_NE(unchecked, nullptr);
    auto lastCall = reinterpret_cast<StubLastCall>(
        reinterpret_cast<void*>(GetProcAddress(unchecked, "stubLastCall")));
    context_->params.imageSha256 = c.sha256;
    const int before = lastCall()->calls;

    EXPECT_EQ(run(), c.code);

    EXPECT_EQ(lastCall()->calls, before + c.calls);
    EXPECT_FALSE(lastCall()->checked);
    EXPECT_EQ(recorder_.texts(), c.trail);
    // Without the start notice, a device that confirmed has its entry.
    EXPECT_EQ(readKey(kEntry).empty(), c.calls == 0);
    removeUpgradeLibrary();
  }
}

// --- The order of the writes ---

// Every write of the record, in order: the key (below the family's), the
// value, and its new content, or none for a deletion.
struct RecordWriteOp {
  std::string key;
  std::string name;
  bool removed;
  std::string value;
};

struct WriteLog {
  std::map<HKEY, std::string> keys;
  std::vector<RecordWriteOp> ops;
};
WriteLog* writeLog = nullptr;

template <typename Function>
Function realAdvapi(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"advapi32.dll"), name)));
}

// "Outcome" or "Devices\\<identity>": the part after the family's key.
std::string recordPart(const wchar_t* path) {
  std::string full = toUtf8(path);
  size_t at = full.find("Outcome");
  return at == std::string::npos ? full : full.substr(at);
}

LSTATUS WINAPI loggedRegCreateKeyExW(HKEY root, LPCWSTR path, DWORD reserved,
                                     LPWSTR keyClass, DWORD options,
                                     REGSAM access,
                                     const LPSECURITY_ATTRIBUTES security,
                                     PHKEY key, LPDWORD disposition) {
  LSTATUS result = realAdvapi<decltype(&RegCreateKeyExW)>("RegCreateKeyExW")(
      root, path, reserved, keyClass, options, access, security, key,
      disposition);
  if (result == ERROR_SUCCESS) writeLog->keys[*key] = recordPart(path);
  return result;
}

LSTATUS WINAPI loggedRegOpenKeyExW(HKEY root, LPCWSTR path, DWORD options,
                                   REGSAM access, PHKEY key) {
  LSTATUS result = realAdvapi<decltype(&RegOpenKeyExW)>("RegOpenKeyExW")(
      root, path, options, access, key);
  if (result == ERROR_SUCCESS) writeLog->keys[*key] = recordPart(path);
  return result;
}

LSTATUS WINAPI loggedRegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved,
                                    DWORD type, const BYTE* data, DWORD size) {
  std::string value =
      type == REG_DWORD
          ? std::to_string(*reinterpret_cast<const int32_t*>(data))
          : toUtf8(reinterpret_cast<const wchar_t*>(data));
  if (std::wstring(name) != L"time") {
    writeLog->ops.push_back({writeLog->keys[key], toUtf8(name), false, value});
  }
  return realAdvapi<decltype(&RegSetValueExW)>("RegSetValueExW")(
      key, name, reserved, type, data, size);
}

LSTATUS WINAPI loggedRegSetValueExA(HKEY key, LPCSTR name, DWORD reserved,
                                    DWORD type, const BYTE* data, DWORD size) {
  writeLog->ops.push_back({writeLog->keys[key], name, false,
                           reinterpret_cast<const char*>(data)});
  return realAdvapi<decltype(&RegSetValueExA)>("RegSetValueExA")(
      key, name, reserved, type, data, size);
}

LSTATUS WINAPI loggedRegDeleteValueW(HKEY key, LPCWSTR name) {
  writeLog->ops.push_back({writeLog->keys[key], toUtf8(name), true, ""});
  return realAdvapi<decltype(&RegDeleteValueW)>("RegDeleteValueW")(key, name);
}

using RecordModel = std::map<std::string, Values>;

const char kFamilyPart[] = "Outcome";
const char kEntryPart[] = "Outcome\\Devices\\vid_2207&pid_9206#77";

// What a reader may rely on after any prefix of a try's writes, from an
// earlier try's finished record: the old state with all its old values, no
// state, "upgrading" with this try's values and no result, or the final
// state with its result and its device's entry finished; an entry that
// says "starting" names this try's image.
void expectTrue(const RecordModel& model, const Values& before,
                const Values& after, const Values& entryAfter) {
  Values family = model.count(kFamilyPart) ? model.at(kFamilyPart) : Values{};
  Values entry = model.count(kEntryPart) ? model.at(kEntryPart) : Values{};
  const std::string state = family.count("state") ? family["state"] : "";
  if (state == before.at("state")) {
    EXPECT_EQ(family, before);
  } else if (state == "upgrading") {
    Values expected = after;
    expected.erase("result");
    expected["state"] = "upgrading";
    EXPECT_EQ(family, expected);
  } else if (state == after.at("state")) {
    EXPECT_EQ(family, after);
    EXPECT_EQ(entry, entryAfter);
  } else {
    EXPECT_EQ(state, "");
  }
  if (entry.count("state") && entry["state"] == "starting") {
    EXPECT_EQ(entry["image"], kImageDigest);
    EXPECT_EQ(entry.count("result"), 0u);
  }
}

TEST_F(DeviceRecordTest, EveryPrefixOfTheWritesLeavesATrueRecord) {
  const Values before = {{"state", "device went away"},
                         {"attempts", "3"},
                         {"device", "\\\\?\\USB#VID_2207&PID_9206#1#{x}"},
                         {"updatefile", "old.img"},
                         {"version", "1.0"},
                         {"image", kOtherDigest}};
  const Values entryBefore = {
      {"image", kOtherDigest}, {"state", "upgraded"}, {"result", "0"}};
  for (int result : {kUpgradeSucceeded, kUpgradeStartUnconfirmed}) {
    SCOPED_TRACE(result);
    ServiceManagerDouble manager;
    restart(manager);
    writeKey(kFamilyRecord, before);
    writeKey(kEntry, entryBefore);
    makeFile(L"vlnr_test_fw.img");
    placeStub(result);
    stub<StubNoticeStart>("stubNoticeStart")(true);
    WriteLog log;
    writeLog = &log;
    {
      ImportPatch create(nullptr, "RegCreateKeyExW",
                         reinterpret_cast<const void*>(&loggedRegCreateKeyExW));
      ImportPatch open(nullptr, "RegOpenKeyExW",
                       reinterpret_cast<const void*>(&loggedRegOpenKeyExW));
      ImportPatch setW(nullptr, "RegSetValueExW",
                       reinterpret_cast<const void*>(&loggedRegSetValueExW));
      ImportPatch setA(nullptr, "RegSetValueExA",
                       reinterpret_cast<const void*>(&loggedRegSetValueExA));
      ImportPatch remove(nullptr, "RegDeleteValueW",
                         reinterpret_cast<const void*>(&loggedRegDeleteValueW));
      run();
    }
    writeLog = nullptr;
    stub<StubNoticeStart>("stubNoticeStart")(false);

    const std::string state = result == 0 ? "upgraded" : "started";
    Values after = {{"state", state},
                    {"attempts", "4"},
                    {"device", toUtf8(kFixtureDevice)},
                    {"updatefile", "vlnr_test_fw.img"},
                    {"version", "3.2.1"},
                    {"image", kImageDigest},
                    {"result", std::to_string(result)}};
    Values entryAfter = {{"image", kImageDigest},
                         {"state", state},
                         {"result", std::to_string(result)}};
    EXPECT_EQ(readKey(kFamilyRecord), after);
    EXPECT_EQ(readKey(kEntry), entryAfter);
    ASSERT_FALSE(log.ops.empty());
    RecordModel model = {{kFamilyPart, before}, {kEntryPart, entryBefore}};
    for (size_t done = 0; done <= log.ops.size(); ++done) {
      SCOPED_TRACE("after write " + std::to_string(done));
      if (done > 0) {
        const RecordWriteOp& op = log.ops[done - 1];
        if (op.removed) {
          model[op.key].erase(op.name);
        } else {
          model[op.key][op.name] = op.value;
        }
      }
      expectTrue(model, before, after, entryAfter);
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kFamilyRecord);
  }
}

}  // namespace
