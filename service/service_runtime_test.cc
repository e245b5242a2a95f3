#include "service/service_runtime.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "service/service_identity.h"
#include "service/upgrade_worker.h"
#include "testing/event_recorder.h"
#include "testing/import_patch.h"
#include "testing/service/present_devices_double.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_library_stub.h"
#include "testing/virtual_clock.h"

namespace {

using Strings = std::vector<std::string>;

const wchar_t kZr700Path[] =
    L"\\\\?\\USB#VID_2207&PID_9206#0123456789#"
    L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";

std::string narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// The states a service manager double records from here on.
class ManagerStates {
 public:
  explicit ManagerStates(const ServiceManagerDouble& manager)
      : manager_(manager), before_(manager.states().size()) {}
  std::vector<DWORD> added() const {
    std::vector<DWORD> all = manager_.states();
    return std::vector<DWORD>(all.begin() + before_, all.end());
  }

 private:
  const ServiceManagerDouble& manager_;
  size_t before_;
};

// The handler of a service context as the dispatcher would call it, with
// the service manager calls, the events and the clock watched.
class ServiceRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    removeAllSettings();
    removeServiceRegistration();
    removeUpgradeLibrary();
    context_ = newServiceContext();
    context_->statusHandle = manager_.statusHandle;
    context_->deviceNotify = manager_.deviceNotify;
  }

  void TearDown() override {
    if (stub_ != nullptr) {
      reinterpret_cast<StubRelease>(
          reinterpret_cast<void*>(GetProcAddress(stub_, "stubRelease")))();
    }
    if (context_->workerThread != nullptr) {
      EXPECT_EQ(WaitForSingleObject(context_->workerThread, 60000),
                WAIT_OBJECT_0);
    }
    removeAllSettings();
    removeServiceRegistration();
    removeUpgradeLibrary();
  }

  DWORD control(DWORD code, DWORD eventType = 0, void* data = nullptr) {
    return ServiceCtrlHandlerEx(code, eventType, data, context_);
  }

  // The broadcast's arrival, answered at once by the handler; what its
  // settle wait and procedure came to.
  DWORD arrive(const std::wstring& path) {
    present_.connect(path);
    std::vector<BYTE> broadcast = deviceBroadcast(path);
    return arriveWith(broadcast.data());
  }

  DWORD arriveWith(void* broadcast) {
    EXPECT_EQ(control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL,
                      broadcast),
              DWORD{kControlHandled});
    return arrivalOutcome(context_->arrivalThread);
  }

  // Puts the stub library in place, its calls held until released.
  void placeHeldStub() {
    ASSERT_TRUE(placeUpgradeLibrary(L"velunor_upgrade_stub.dll"));
    stub_ = LoadLibraryW(kUpgradeLibraryPath);
    ASSERT_NE(stub_, nullptr);
    stubFunction<StubHoldCalls>("stubHoldCalls")();
  }

  template <typename Function>
  Function stubFunction(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(stub_, name)));
  }

  // The service as started anew: a fresh context, the old worker ended.
  void renewContext() {
    if (context_->workerThread != nullptr) {
      EXPECT_EQ(WaitForSingleObject(context_->workerThread, 60000),
                WAIT_OBJECT_0);
    }
    context_ = newServiceContext();
    context_->statusHandle = manager_.statusHandle;
    context_->deviceNotify = manager_.deviceNotify;
  }

  DWORD remove(const void* broadcast = nullptr) {
    return control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE,
                   const_cast<void*>(broadcast));
  }

  DWORD workerExitCode() {
    DWORD code = 0;
    WaitForSingleObject(context_->workerThread, 60000);
    GetExitCodeThread(context_->workerThread, &code);
    return code;
  }

  EventRecorder recorder_;
  VirtualClock clock_;
  ServiceManagerDouble manager_;
  PresentDevicesDouble present_;  // none, unless a test says otherwise
  ServiceContext* context_ = nullptr;
  HMODULE stub_ = nullptr;
};

// The scan that ServiceMain started, ended.
void waitForScan(const ServiceManagerDouble& manager) {
  auto* context = static_cast<ServiceContext*>(manager.handlerContext);
  ASSERT_NE(context, nullptr);
  ASSERT_NE(context->scanThread, nullptr);
  EXPECT_EQ(WaitForSingleObject(context->scanThread, 60000), WAIT_OBJECT_0);
}

// --- Device families ---

struct FamilyCase {
  const char* name;
  const wchar_t* path;
  const char* arrivalText;
  const char* keyFailureText;
};

void PrintTo(const FamilyCase& family, std::ostream* out) {
  *out << family.name;
}

class FamilySelectionTest : public ServiceRuntimeTest,
                            public ::testing::WithParamInterface<FamilyCase> {};

TEST_P(FamilySelectionTest, ArrivalNamesTheFamilyAndOpensItsKey) {
  const FamilyCase& family = GetParam();
  EXPECT_EQ(arrive(family.path), 3u);

  std::vector<RecordedEvent> events = recorder_.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_TRUE(events[0].wide);
  EXPECT_EQ(events[0].strings,
            (Strings{family.arrivalText, narrow(family.path)}));
  EXPECT_EQ(events[1].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[1].strings, Strings{family.keyFailureText});
  EXPECT_EQ(events[1].id, events[0].id + 1);
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>{15000});
  EXPECT_EQ(context_->workerThread, nullptr);
}

const char kRk7x10Fail[] = "Open HLKM\\Software\\VelunorUpdate\\Rk7x10 fail";
const char kZr700Fail[] = "Open HLKM\\Software\\VelunorUpdate\\ZR700 fail";
const char kOtherFail[] = "Open HLKM\\Software\\VelunorUpdate\\other fail";

INSTANTIATE_TEST_SUITE_P(
    ProductIds, FamilySelectionTest,
    ::testing::Values(
        FamilyCase{"Rk9101", L"\\\\?\\USB#VID_2207&PID_9101#1#{x}",
                   "RK7x10 Arrival", kRk7x10Fail},
        FamilyCase{"Rk9105", L"\\\\?\\USB#VID_2207&PID_9105#1#{x}",
                   "RK7x10 Arrival", kRk7x10Fail},
        FamilyCase{"Rk910A", L"\\\\?\\USB#VID_2207&PID_910A#1#{x}",
                   "RK7x10 Arrival", kRk7x10Fail},
        FamilyCase{"Zr700", kZr700Path, "ZR700 Arrival", kZr700Fail},
        // Any vendor: only the product ID is looked at.
        FamilyCase{"Zr700OfAnyVendor", L"\\\\?\\USB#VID_ABCD&PID_9206#7#{x}",
                   "ZR700 Arrival", kZr700Fail},
        FamilyCase{"Rk7x10OfAnyVendor", L"\\\\?\\USB#VID_ABCD&PID_910A#7#{x}",
                   "RK7x10 Arrival", kRk7x10Fail},
        // The product IDs are matched case-sensitively.
        FamilyCase{"LowerCaseZr700IsOther",
                   L"\\\\?\\usb#vid_2207&pid_9206#1#{x}",
                   "Other deivce Arrival", kOtherFail},
        FamilyCase{"LowerCaseRk910aIsOther",
                   L"\\\\?\\usb#vid_2207&pid_910a#1#{x}",
                   "Other deivce Arrival", kOtherFail},
        FamilyCase{"UnknownProductIsOther",
                   L"\\\\?\\USB#VID_2207&PID_0001#1#{x}",
                   "Other deivce Arrival", kOtherFail}),
    [](const ::testing::TestParamInfo<FamilyCase>& info) {
      return std::string(info.param.name);
    });

// --- Registry settings ---

TEST_F(ServiceRuntimeTest, EachMissingValueFailsWithItsOwnTextAndResult) {
  struct Step {
    DWORD result;
    const char* text;
  };
  const Step steps[] = {{4, "Query updatefile fail"},
                        {12, "Query bForce fail"},
                        {13, "Query bUpdate fail"},
                        {14, "Query version fail"}};
  FamilySettings settings(L"ZR700");
  for (int present = 0; present < 4; ++present) {
    if (present == 1) settings.text("updatefile", "fw.img");
    if (present == 2) settings.flag(L"bForce", 1);
    if (present == 3) settings.flag(L"bUpdate", 1);
    recorder_.clear();
    EXPECT_EQ(arrive(kZr700Path), steps[present].result);
    std::vector<RecordedEvent> events = recorder_.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].strings[0], "ZR700 Arrival");
    EXPECT_EQ(events[1].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[1].strings, Strings{steps[present].text});
    EXPECT_EQ(context_->workerThread, nullptr);
  }
}

// The registry calls of one arrival: the keys it opened and closed, and each
// query as "variant name buffer-size typed|untyped".
struct RegistryLedger {
  std::vector<HKEY> opened;
  std::vector<HKEY> closed;
  Strings queries;
};
RegistryLedger* registryLedger = nullptr;

template <typename Function>
Function realAdvapi(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"advapi32.dll"), name)));
}

std::string describeQuery(const char* variant, const std::string& name,
                          const DWORD* type, const DWORD* size) {
  return std::string(variant) + " " + name + " " +
         std::to_string(size != nullptr ? *size : 0) + " " +
         (type != nullptr ? "typed" : "untyped");
}

LSTATUS WINAPI watchedRegOpenKeyW(HKEY root, LPCWSTR path, PHKEY key) {
  LSTATUS result =
      realAdvapi<decltype(&RegOpenKeyW)>("RegOpenKeyW")(root, path, key);
  if (registryLedger != nullptr && result == ERROR_SUCCESS) {
    registryLedger->opened.push_back(*key);
  }
  return result;
}

LSTATUS WINAPI watchedRegCloseKey(HKEY key) {
  if (registryLedger != nullptr) registryLedger->closed.push_back(key);
  return realAdvapi<decltype(&RegCloseKey)>("RegCloseKey")(key);
}

LSTATUS WINAPI watchedRegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved,
                                       LPDWORD type, LPBYTE data,
                                       LPDWORD size) {
  if (registryLedger != nullptr) {
    registryLedger->queries.push_back(describeQuery("A", name, type, size));
  }
  return realAdvapi<decltype(&RegQueryValueExA)>("RegQueryValueExA")(
      key, name, reserved, type, data, size);
}

LSTATUS WINAPI watchedRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved,
                                       LPDWORD type, LPBYTE data,
                                       LPDWORD size) {
  if (registryLedger != nullptr) {
    registryLedger->queries.push_back(
        describeQuery("W", narrow(name), type, size));
  }
  return realAdvapi<decltype(&RegQueryValueExW)>("RegQueryValueExW")(
      key, name, reserved, type, data, size);
}

TEST_F(ServiceRuntimeTest, TheFamilyKeyIsReadAsStoredAndClosedOnEveryPath) {
  ImportPatch open(nullptr, "RegOpenKeyW",
                   reinterpret_cast<const void*>(&watchedRegOpenKeyW));
  ImportPatch close(nullptr, "RegCloseKey",
                    reinterpret_cast<const void*>(&watchedRegCloseKey));
  ImportPatch queryA(nullptr, "RegQueryValueExA",
                     reinterpret_cast<const void*>(&watchedRegQueryValueExA));
  ImportPatch queryW(nullptr, "RegQueryValueExW",
                     reinterpret_cast<const void*>(&watchedRegQueryValueExW));
  const Strings queries = {"A updatefile 260 untyped", "W bForce 4 typed",
                           "W bUpdate 4 typed", "A version 260 untyped"};
  const DWORD results[] = {4, 12, 13, 14, 0};

  RegistryLedger noKey;
  registryLedger = &noKey;
  EXPECT_EQ(arrive(kZr700Path), 3u);
  registryLedger = nullptr;
  EXPECT_TRUE(noKey.opened.empty());
  EXPECT_TRUE(noKey.closed.empty());
  EXPECT_TRUE(noKey.queries.empty());

  FamilySettings settings(L"ZR700");
  for (size_t present = 0; present < 5; ++present) {
    if (present == 1) settings.text("updatefile", "fw.img");
    if (present == 2) settings.flag(L"bForce", 1);
    if (present == 3) settings.flag(L"bUpdate", 1);
    if (present == 4) settings.text("version", "1.0");
    RegistryLedger ledger;
    registryLedger = &ledger;
    EXPECT_EQ(arrive(kZr700Path), results[present]);
    registryLedger = nullptr;

    ASSERT_EQ(ledger.opened.size(), 1u) << present;
    EXPECT_EQ(ledger.closed, ledger.opened) << present;
    size_t asked = present < 4 ? present + 1 : 4;
    EXPECT_EQ(ledger.queries, Strings(queries.begin(), queries.begin() + asked))
        << present;
  }
}

TEST_F(ServiceRuntimeTest, OnlyTheLowByteOfAFlagCounts) {
  struct FlagCase {
    DWORD stored;
    const char* shown;
  };
  const FlagCase cases[] = {{1, "1"}, {256, "0"}, {0x101, "1"}, {0, "0"}};
  for (const FlagCase& flag : cases) {
    FamilySettings settings(L"ZR700");
    settings.all("fw.img", flag.stored, 0x200, "2.0.1");
    recorder_.clear();
    EXPECT_EQ(arrive(kZr700Path), 0u);
    ASSERT_NE(context_->workerThread, nullptr);
    EXPECT_EQ(workerExitCode(), kWorkerLibraryNotLoaded);

    std::vector<RecordedEvent> events = recorder_.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_FALSE(events[1].wide);
    EXPECT_EQ(events[1].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(events[1].strings,
              (Strings{"update file : ", "fw.img", "bForce : ", flag.shown,
                       "bUpdate : ", "0", "version : ", "2.0.1"}));
    context_->workerThread = nullptr;
  }
}

// Deployment scripts write flags as text: "0" must not arrive as 0x30.
TEST_F(ServiceRuntimeTest, FlagsStoredAsTextAreTheirDecimalNumber) {
  const std::string longDigits(40, '0');
  struct TextCase {
    const char* flag;  // narrow value name
    const char* stored;
    DWORD result;  // 0: read; else the query fails with this result
    uint8_t byte;  // the flag byte handed on
  };
  const TextCase cases[] = {
      {"bForce", "0", 0, 0},
      {"bForce", "1", 0, 1},
      {"bForce", "10", 0, 10},
      {"bForce", "256", 0, 0},
      {"bForce", "257", 0, 1},
      {"bForce", "00000000000000000000000001", 0, 1},
      {"bUpdate", "0", 0, 0},
      {"bUpdate", "1", 0, 1},
      {"bForce", "", 12, 0},
      {"bForce", "abc", 12, 0},
      {"bForce", "1a", 12, 0},
      {"bForce", " 1", 12, 0},
      {"bForce", "-1", 12, 0},
      {"bForce", "0x1", 12, 0},
      {"bUpdate", "", 13, 0},
      {"bUpdate", "yes", 13, 0},
      // More digits than a flag's text is read with.
      {"bForce", longDigits.c_str(), 12, 0},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(std::string(c.flag) + " \"" + c.stored + "\"");
    renewContext();
    FamilySettings settings(L"ZR700");
    // The other flag holds the opposite, so a swap would show.
    settings.all("fw.img", 0xFF, 0xFF, "2.0.1").text(c.flag, c.stored);
    recorder_.clear();

    EXPECT_EQ(arrive(kZr700Path), c.result);

    std::vector<RecordedEvent> events = recorder_.events();
    if (c.result != 0) {
      ASSERT_EQ(events.size(), 2u);
      EXPECT_EQ(events[1].type, EVENTLOG_ERROR_TYPE);
      EXPECT_EQ(events[1].strings,
                Strings{std::string("Query ") + c.flag + " fail"});
      EXPECT_EQ(context_->workerThread, nullptr);
      continue;
    }
    ASSERT_NE(context_->workerThread, nullptr);
    EXPECT_EQ(workerExitCode(), kWorkerLibraryNotLoaded);
    bool force = std::string(c.flag) == "bForce";
    const char* shown = c.byte != 0 ? "1" : "0";
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(
        events[1].strings,
        (Strings{"update file : ", "fw.img", "bForce : ", force ? shown : "1",
                 "bUpdate : ", force ? "1" : shown, "version : ", "2.0.1"}));
    EXPECT_EQ(force ? context_->params.bForce : context_->params.bUpdate,
              c.byte);
    EXPECT_EQ(force ? context_->params.bUpdate : context_->params.bForce, 0xFF);
  }
}

TEST_F(ServiceRuntimeTest, AFlagStoredAsZeroTextReachesTheLibraryAsZero) {
  placeHeldStub();
  FamilySettings settings(L"ZR700");
  settings.text("updatefile", "fw.img")
      .text("bForce", "0")
      .text("bUpdate", "0")
      .text("version", "1.0");
  ASSERT_EQ(arrive(kZr700Path), 0u);
  ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
  const StubCall* call = stubFunction<StubLastCall>("stubLastCall")();
  EXPECT_EQ(call->bForce, 0);
  EXPECT_EQ(call->bUpdate, 0);
}

// RegQueryValueExA of a registry that returns a text's stored bytes and
// nothing more: Wine, like Windows, adds a NUL to a text stored without one
// when the buffer has room (and counts it), but the function does not
// promise it. The settings texts here are ASCII, one byte per character.
LSTATUS WINAPI dataOnlyRegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved,
                                        LPDWORD type, LPBYTE data,
                                        LPDWORD size) {
  std::vector<BYTE> before;
  if (data != nullptr && size != nullptr) before.assign(data, data + *size);
  LSTATUS result = realAdvapi<decltype(&RegQueryValueExA)>("RegQueryValueExA")(
      key, name, reserved, type, data, size);
  DWORD storedBytes = 0;
  std::wstring wideName(name, name + std::strlen(name));
  if (result != ERROR_SUCCESS || before.empty() ||
      realAdvapi<decltype(&RegQueryValueExW)>("RegQueryValueExW")(
          key, wideName.c_str(), nullptr, nullptr, nullptr, &storedBytes) !=
          ERROR_SUCCESS) {
    return result;
  }
  DWORD stored = storedBytes / sizeof(wchar_t);
  if (stored < before.size()) {
    std::copy(before.begin() + stored, before.end(), data + stored);
  }
  *size = stored;
  return result;
}

// Today every other test stores the NUL; a text without it must still end
// right after the data the query returned, not run on into older content.
TEST_F(ServiceRuntimeTest, TextsStoredWithoutTheirNulEndAfterTheirData) {
  FamilySettings settings(L"ZR700");
  settings.all("a_much_longer_update_file_name.img", 0, 0,
               "10.20.30.40-long-version");
  ASSERT_EQ(arrive(kZr700Path), 0u);
  EXPECT_EQ(workerExitCode(), kWorkerLibraryNotLoaded);

  settings.textWithoutNul("updatefile", "fw.img")
      .textWithoutNul("version", "2.0");
  recorder_.clear();
  {
    ImportPatch dataOnly(
        nullptr, "RegQueryValueExA",
        reinterpret_cast<const void*>(&dataOnlyRegQueryValueExA));
    ASSERT_EQ(arrive(kZr700Path), 0u);
  }
  EXPECT_EQ(workerExitCode(), kWorkerLibraryNotLoaded);
  ASSERT_GE(recorder_.events().size(), 2u);
  EXPECT_EQ(recorder_.events()[1].strings,
            (Strings{"update file : ", "fw.img", "bForce : ", "0",
                     "bUpdate : ", "0", "version : ", "2.0"}));
  EXPECT_STREQ(context_->updateFile, "fw.img");
  EXPECT_STREQ(context_->version, "2.0");
}

TEST_F(ServiceRuntimeTest, ArrivalHandsTheSettingsToTheWorker) {
  placeHeldStub();
  FamilySettings settings(L"RK7x10");
  settings.all("rk_fw.img", 1, 1, "7.1.0");
  const std::wstring path = L"\\\\?\\USB#VID_2207&PID_9105#SN42#{guid}";
  EXPECT_EQ(arrive(path), 0u);
  ASSERT_NE(context_->workerThread, nullptr);
  ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));

  const StubCall* call = stubFunction<StubLastCall>("stubLastCall")();
  EXPECT_EQ(call->bForce, 1);
  EXPECT_EQ(call->bUpdate, 1);
  EXPECT_EQ(std::wstring(call->devicePath), path);
  EXPECT_STREQ(call->updateFile, "rk_fw.img");
  EXPECT_STREQ(call->version, "7.1.0");
  EXPECT_TRUE(IsEqualGUID(call->interfaceGuid, kUpdateDeviceClass));
  EXPECT_EQ(context_->params.context, context_);
  EXPECT_EQ(GetThreadId(context_->workerThread), context_->workerThreadId);

  EXPECT_EQ(recorder_.texts(),
            (Strings{"RK7x10 Arrival" + narrow(path),
                     "update file : rk_fw.imgbForce : 1bUpdate : 1version : "
                     "7.1.0"}));
}

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

class SettleLookTest : public ServiceRuntimeTest,
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

TEST_F(ServiceRuntimeTest, AnArrivalDuringAnUpgradeLeavesItsSettingsAlone) {
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

TEST_F(ServiceRuntimeTest, APathThatDoesNotFitIsRefusedWhole) {
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
TEST_F(ServiceRuntimeTest, AnArrivalWithoutAReadablePathIsIgnored) {
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

TEST_F(ServiceRuntimeTest, RemovalWithoutAWorkerOnlyReportsIt) {
  EXPECT_EQ(control(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE), 0u);
  EXPECT_EQ(recorder_.texts(), Strings{"device remove"});
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_TRUE(manager_.statusReports().empty());
}

// TerminateThread calls of the code under test.
std::vector<HANDLE>* terminated = nullptr;

BOOL WINAPI watchedTerminateThread(HANDLE thread, DWORD code) {
  if (terminated != nullptr) terminated->push_back(thread);
  using Terminate = BOOL(WINAPI*)(HANDLE, DWORD);
  auto real = reinterpret_cast<Terminate>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "TerminateThread")));
  return real(thread, code);
}

// Events recorded so far, waited for until there are `count` of them: a
// cancelled worker's watch reports from a thread of its own.
Strings textsOnceThereAre(const EventRecorder& recorder, size_t count) {
  for (int tries = 0; tries < 600 && recorder.texts().size() < count;
       ++tries) {
    // A real wait: the fixture's clock makes Sleep return at once. The
    // process is signalled only when it ends.
    WaitForSingleObject(GetCurrentProcess(), 100);
  }
  return recorder.texts();
}

// A removal ends the worker: a library with the cancel export is cancelled
// and its result decides, one without has its worker killed, as ever.
// Before the start request the library says the device went away: nothing
// is deleted and the service stays. A library that returns success although
// cancelled (the device took the start just as it went) finished the
// upgrade: the image is deleted and the service removed.
TEST_F(ServiceRuntimeTest, RemovalEndsTheWorkerAndItsResultDecides) {
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
        "send updatefile to device success", "uninstallService start"},
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

    EXPECT_EQ(remove(deviceBroadcast(kZr700Path).data()), 0u);

    EXPECT_EQ(workerExitCode(), c.exitCode);
    terminated = nullptr;
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
// waits, and only when the wait is over is the worker killed.
TEST_F(ServiceRuntimeTest, AWorkerThatDoesNotEndOnTheCancelIsKilledAfterTheWait) {
  placeHeldStub();
  stubFunction<StubIgnoreCancel>("stubIgnoreCancel")();
  context_->cancelWaitMs = 3000;
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  ASSERT_EQ(arrive(kZr700Path), 0u);
  ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
  recorder_.clear();

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
  // The service goes on: the next arrival starts a worker.
  stubFunction<StubHoldCalls>("stubHoldCalls")();
  EXPECT_EQ(arrive(kZr700Path), 0u);
  ASSERT_TRUE(stubFunction<StubWaitEntered>("stubWaitEntered")(60000));
  EXPECT_EQ(stubFunction<StubLastCall>("stubLastCall")()->calls, 2);
}

TEST_F(ServiceRuntimeTest, TheNextArrivalAfterARemovalStartsANewWorker) {
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
TEST_F(ServiceRuntimeTest, OnlyTheRemovalOfTheUpgradedDeviceEndsTheWorker) {
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

// Holds the worker inside its removal of the service until released.
HANDLE removalEntered = nullptr;
HANDLE removalReleased = nullptr;

SC_HANDLE WINAPI heldOpenSCManagerW(LPCWSTR machine, LPCWSTR database,
                                    DWORD access) {
  SetEvent(removalEntered);
  WaitForSingleObject(removalReleased, INFINITE);
  return realAdvapi<decltype(&OpenSCManagerW)>("OpenSCManagerW")(
      machine, database, access);
}

TEST_F(ServiceRuntimeTest, ARemovalAfterTheLibraryReturnedLeavesTheWorkerBe) {
  ASSERT_TRUE(registerServiceForTest(programPath()));
  ASSERT_TRUE(placeUpgradeLibrary(L"velunor_upgrade_stub.dll"));
  FamilySettings settings(L"ZR700");
  settings.all("zr.img", 0, 1, "1.0");
  removalEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  removalReleased = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  {
    ImportPatch hold(nullptr, "OpenSCManagerW",
                     reinterpret_cast<const void*>(&heldOpenSCManagerW));
    ASSERT_EQ(arrive(kZr700Path), 0u);
    ASSERT_EQ(WaitForSingleObject(removalEntered, 60000), WAIT_OBJECT_0);
    recorder_.clear();

    EXPECT_EQ(remove(deviceBroadcast(kZr700Path).data()), 0u);

    EXPECT_EQ(recorder_.texts(),
              (Strings{"device remove",
                       "update thread is finishing, ignore device remove"}));
    EXPECT_EQ(recorder_.events()[1].type, EVENTLOG_INFORMATION_TYPE);
    SetEvent(removalReleased);
    EXPECT_EQ(workerExitCode(), kWorkerDone);
  }
  EXPECT_FALSE(serviceRegistered());  // the removal of the service completed
  EXPECT_EQ(manager_.states(),
            (std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  CloseHandle(removalEntered);
  CloseHandle(removalReleased);
}

TEST_F(ServiceRuntimeTest, ARemovalAfterTheWorkerEndedOnlyReportsIt) {
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

TEST_F(ServiceRuntimeTest, TheHandleOfAnEndedWorkerIsClosedBeforeTheNext) {
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

TEST_F(ServiceRuntimeTest, AWorkerThatCannotBeCreatedIsReported) {
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

TEST_F(ServiceRuntimeTest, OtherDeviceEventsAreOnlyReported) {
  for (DWORD type :
       {DBT_DEVICEQUERYREMOVE, DBT_DEVICEREMOVEPENDING, DBT_CUSTOMEVENT}) {
    recorder_.clear();
    EXPECT_EQ(control(SERVICE_CONTROL_DEVICEEVENT, type), 0u);
    EXPECT_EQ(recorder_.texts(), Strings{"device event others"});
  }
  EXPECT_TRUE(clock_.waits().empty());
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

// A stop during the upgrade is answered at once: stop pending with a wait
// hint, the upgrade cancelled through the export. The service reports
// stopped, once, only after the worker has ended, so that image and
// registration go or stay together: kept when the device went away before
// the start, both gone when the library says the upgrade finished.
TEST_F(ServiceRuntimeTest, AStopDuringTheUpgradeWaitsForTheWorker) {
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
        "send updatefile to device success", "uninstallService start",
        "service control stop success"},
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
  EXPECT_EQ(reports[1].status.dwControlsAccepted, 5u);
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
