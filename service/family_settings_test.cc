// The settings of a device family as an arrival reads them: the family told
// by the product ID, its key opened and closed on every path, each value
// read as stored (flags as numbers or decimal text, texts with or without
// their NUL), and what reaches the worker.
#include "service/family_settings.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/service_context.h"
#include "service/upgrade_worker.h"
#include "testing/event_recorder.h"
#include "testing/import_patch.h"
#include "testing/service/service_control_fixture.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_library_stub.h"

namespace {

class FamilySettingsTest : public ServiceControlTest {};

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

class FamilySelectionTest : public ServiceControlTest,
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
  // Two strings: their number in the ID's high word, for the message file.
  EXPECT_EQ(events[0].id >> 16, 2u);
  EXPECT_EQ(events[1].id, (events[0].id & 0xFFFF) + 1);
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
        // Only the device ID field is read: the serial number that follows
        // is the device's own text.
        FamilyCase{"Zr700WithProductIdInSerial",
                   L"\\\\?\\USB#VID_1234&PID_9206#XPID_9101#{x}",
                   "ZR700 Arrival", kZr700Fail},
        FamilyCase{"Zr700WithWholeProductIdAsSerial",
                   L"\\\\?\\USB#VID_1234&PID_9206#PID_9101#{x}",
                   "ZR700 Arrival", kZr700Fail},
        FamilyCase{"UnknownProductWithProductIdInSerialIsOther",
                   L"\\\\?\\USB#VID_1234&PID_0001#PID_9206#{x}",
                   "Other deivce Arrival", kOtherFail},
        FamilyCase{"LongerProductIdIsOther",
                   L"\\\\?\\USB#VID_1234&PID_92061#1#{x}",
                   "Other deivce Arrival", kOtherFail},
        FamilyCase{"InterfaceOfCompositeZr700",
                   L"\\\\?\\USB#VID_1234&PID_9206&MI_00#1#{x}",
                   "ZR700 Arrival", kZr700Fail},
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

TEST_F(FamilySettingsTest, EachMissingValueFailsWithItsOwnTextAndResult) {
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

TEST_F(FamilySettingsTest, TheFamilyKeyIsReadAsStoredAndClosedOnEveryPath) {
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

TEST_F(FamilySettingsTest, OnlyTheLowByteOfAFlagCounts) {
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
TEST_F(FamilySettingsTest, FlagsStoredAsTextAreTheirDecimalNumber) {
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

TEST_F(FamilySettingsTest, AFlagStoredAsZeroTextReachesTheLibraryAsZero) {
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
TEST_F(FamilySettingsTest, TextsStoredWithoutTheirNulEndAfterTheirData) {
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

TEST_F(FamilySettingsTest, ArrivalHandsTheSettingsToTheWorker) {
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

}  // namespace
