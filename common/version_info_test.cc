// What Windows shows of the two shipped binaries and of the runner and its
// recorder: their version resources,
// read back as file properties and inventory tools read them.
#include <gtest/gtest.h>
#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "testing/program_files.h"
#include "velunor_version.h"

namespace {

std::wstring wide(const char* text) {
  return std::wstring(text, text + strlen(text));
}

struct Shipped {
  const wchar_t* file;  // in the shipped programs' folder
  const char* description;
  DWORD file_type;
  const wchar_t* original;  // its name as its resource gives it
  const char* name;          // in test names
};

// Names the binary in test names, not the bytes of the entry.
void PrintTo(const Shipped& shipped, std::ostream* out) {
  for (const wchar_t* c = shipped.file; *c != L'\0'; ++c) {
    *out << static_cast<char>(*c);
  }
}

const Shipped kShipped[] = {
    {L"VlnrZR700UpdateService.exe", "Velunor firmware update service",
     VFT_APP, L"VlnrZR700UpdateService.exe", "ServiceProgram"},
    {L"velunorUpdateExport.dll", "Velunor firmware upgrade library", VFT_DLL,
     L"velunorUpdateExport.dll", "UpgradeLibrary"},
    // The tools that run elevated at a site.
    {L"upgrade_runner.exe", "Velunor firmware update runner", VFT_APP,
     L"upgrade_runner.exe", "Runner"},
    {L"recorder\\AdbWinApi.dll", "Velunor USB session recorder", VFT_DLL,
     L"AdbWinApi.dll", "Recorder"},
};

class VersionInfoTest : public testing::TestWithParam<Shipped> {
 protected:
  void SetUp() override {
    std::wstring path = shippedFolder() + GetParam().file;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version resource, error " << GetLastError();
    block_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block_.data()))
        << GetLastError();
  }

  // A value of the U.S. English string table; empty when it is missing.
  std::wstring text(const wchar_t* name) {
    std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block_.data(), query.c_str(),
                        reinterpret_cast<void**>(&value), &length) ||
        value == nullptr) {
      return std::wstring();
    }
    // The length counts the terminating zero, where there is one.
    std::wstring result(value, length);
    while (!result.empty() && result.back() == L'\0') result.pop_back();
    return result;
  }

  std::vector<unsigned char> block_;
};

TEST_P(VersionInfoTest, FixedPartHoldsTheVersionAndTheKindOfFile) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\",
                             reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  const DWORD high = MAKELONG(VELUNOR_VERSION_MINOR, VELUNOR_VERSION_MAJOR);
  const DWORD low = MAKELONG(0, VELUNOR_VERSION_PATCH);
  EXPECT_EQ(fixed->dwFileVersionMS, high);
  EXPECT_EQ(fixed->dwFileVersionLS, low);
  EXPECT_EQ(fixed->dwProductVersionMS, high);
  EXPECT_EQ(fixed->dwProductVersionLS, low);
  EXPECT_EQ(fixed->dwFileType, GetParam().file_type);
  EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u)
      << "a release is no debug, pre-release or patched build";
}

TEST_P(VersionInfoTest, StringTableNamesCompanyProductFileAndVersion) {
  const struct {
    const wchar_t* name;
    std::wstring expected;
  } kValues[] = {
      {L"CompanyName", L"Velunor"},
      {L"ProductName", L"Velunor USB firmware updater"},
      {L"FileDescription", wide(GetParam().description)},
      {L"FileVersion", wide(VELUNOR_VERSION_TEXT)},
      {L"ProductVersion", wide(VELUNOR_VERSION_TEXT)},
      {L"OriginalFilename", GetParam().original},
      {L"LegalCopyright", wide(VELUNOR_COPYRIGHT)},
  };
  for (const auto& value : kValues) {
    EXPECT_EQ(text(value.name), value.expected) << std::string(
        value.name, value.name + wcslen(value.name));
  }
  EXPECT_EQ(wide(VELUNOR_COPYRIGHT).rfind(L"Copyright (C) 20", 0), 0u);
}

TEST_P(VersionInfoTest, TranslationIsUsEnglishUnicode) {
  WORD* pair = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&pair), &length));
  ASSERT_EQ(length, 2 * sizeof(WORD));
  EXPECT_EQ(pair[0], 0x0409);
  EXPECT_EQ(pair[1], 1200);
}

INSTANTIATE_TEST_SUITE_P(
    ShippedBinaries, VersionInfoTest, testing::ValuesIn(kShipped),
    [](const testing::TestParamInfo<Shipped>& info) {
      return std::string(info.param.name);
    });

}  // namespace
