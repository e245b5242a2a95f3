#include "tools/runner/outcome_status.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

const wchar_t kRoot[] = L"Software\\VelunorUpdate";

class OutcomeStatusTest : public testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRoot); }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRoot); }

  static HKEY create(const std::wstring& path) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kRoot) + L"\\" + path).c_str(),
                    0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
  }

  static void text(HKEY key, const wchar_t* name, const std::wstring& value) {
    RegSetValueExW(key, name, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }

  static void number(HKEY key, const wchar_t* name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&value), sizeof value);
  }

  // What printOutcomes writes, and its summary.
  std::string print(OutcomeSummary* summary) {
    FILE* out = tmpfile();
    *summary = printOutcomes(out);
    return closed(out);
  }

  static std::string noRecordLine(const OutcomeSummary& summary) {
    FILE* out = tmpfile();
    printNoRecord(out, summary);
    return closed(out);
  }

  // What was written to `out`, which is closed.
  static std::string closed(FILE* out) {
    std::string written;
    rewind(out);
    for (int c; (c = fgetc(out)) != EOF;) written += static_cast<char>(c);
    fclose(out);
    return written;
  }
};

TEST_F(OutcomeStatusTest, OneLinePerFamilyInTheFamiliesOrder) {
  HKEY zr700 = create(L"ZR700\\Outcome");
  text(zr700, L"state", L"upgraded");
  number(zr700, L"result", 0);
  number(zr700, L"attempts", 2);
  text(zr700, L"time", L"2026-12-09T11:40:05Z");
  text(zr700, L"version", L"V1.0.7");
  text(zr700, L"updatefile", L"vlnr_zr700_fw.bin");
  text(zr700, L"image", L"6105d6cc");
  text(zr700, L"device", L"\\\\?\\USB#VID_3F3A&PID_9206#SN#{x}");
  HKEY rk = create(L"RK7x10\\Outcome");
  text(rk, L"state", L"failed");
  number(rk, L"result", 0xFFFFFFFF);
  number(rk, L"attempts", 1);
  HKEY other = create(L"other\\Outcome");
  text(other, L"state", L"waiting");
  for (HKEY key : {zr700, rk, other}) RegCloseKey(key);

  OutcomeSummary summary;
  EXPECT_EQ(print(&summary),
            "RK7x10: failed, result -1, attempts 1\n"
            "ZR700: upgraded, result 0, attempts 2, since "
            "2026-12-09T11:40:05Z, version V1.0.7, updatefile "
            "vlnr_zr700_fw.bin, image 6105d6cc, device "
            "\\\\?\\USB#VID_3F3A&PID_9206#SN#{x}\n"
            "other: waiting\n");
  EXPECT_EQ(summary.records, 3);
  EXPECT_EQ(summary.notUpgraded, 2);
}

// Only the families on this PC: one with settings and no record yet is not
// upgraded; one without a key is not there.
TEST_F(OutcomeStatusTest, AFamilyWithSettingsAndNoRecordIsNotUpgraded) {
  HKEY zr700 = create(L"ZR700\\Outcome");
  text(zr700, L"state", L"upgraded");
  RegCloseKey(zr700);
  OutcomeSummary summary;
  EXPECT_EQ(print(&summary), "ZR700: upgraded\n");
  EXPECT_EQ(summary.records, 1);
  EXPECT_EQ(summary.notUpgraded, 0);

  RegCloseKey(create(L"other"));
  EXPECT_EQ(print(&summary),
            "ZR700: upgraded\nother: no outcome record yet\n");
  EXPECT_EQ(summary.notUpgraded, 1);
}

TEST_F(OutcomeStatusTest, NothingInstalledPrintsNothing) {
  OutcomeSummary summary;
  EXPECT_EQ(print(&summary), "");
  EXPECT_EQ(summary.records, 0);
}

// Without any record the last line says why, and does not claim that no
// package is installed when a family's settings are there.
TEST_F(OutcomeStatusTest, TheLastLineWithoutARecordTellsItsCause) {
  OutcomeSummary summary;
  print(&summary);
  EXPECT_EQ(noRecordLine(summary),
            "no outcome record: no release package of the service is "
            "installed on this PC\n");
  RegCloseKey(create(L"ZR700"));
  EXPECT_EQ(print(&summary), "ZR700: no outcome record yet\n");
  EXPECT_EQ(noRecordLine(summary),
            "no outcome record: the settings above were not installed by a "
            "release package\n");
}

// A state written longer than any the service writes is cut, never overrun.
TEST_F(OutcomeStatusTest, AnOverlongValueIsLeftOut) {
  HKEY zr700 = create(L"ZR700\\Outcome");
  text(zr700, L"state", L"upgraded");
  text(zr700, L"version", std::wstring(5000, L'v'));
  RegCloseKey(zr700);
  OutcomeSummary summary;
  EXPECT_EQ(print(&summary), "ZR700: upgraded\n");
}

}  // namespace
