#include "common/file_holding.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <windows.h>

#include <memory>
#include <string>

namespace {

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};

HoldingVerdict judge(const wchar_t* sddl, Place place) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      sddl, SDDL_REVISION_1, &descriptor, nullptr))
      << GetLastError();
  std::unique_ptr<void, LocalFreer> owned(descriptor);
  return judgeDescriptor(descriptor, place);
}

struct DescriptorCase {
  const char* name;
  const wchar_t* sddl;
  Holding loadedFrom;  // the runner's folder, the library and its folder
  Holding above;       // a folder above them
  const wchar_t* who;
};

class FileHoldingTest : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(FileHoldingTest, DecidesOnTheOwnerAndTheRightsOfOthers) {
  const DescriptorCase& c = GetParam();
  HoldingVerdict loaded = judge(c.sddl, Place::kLoadedFrom);
  EXPECT_EQ(loaded.holding, c.loadedFrom);
  if (c.loadedFrom != Holding::kTrusted) {
    EXPECT_EQ(loaded.who, c.who);
  }
  EXPECT_EQ(judge(c.sddl, Place::kAbove).holding, c.above);
}

constexpr Holding kTrusted = Holding::kTrusted;
constexpr Holding kForeign = Holding::kForeignOwner;
constexpr Holding kOthers = Holding::kOthersMayChange;
constexpr wchar_t kUsers[] = L"S-1-5-32-545";
constexpr wchar_t kAuthenticated[] = L"S-1-5-11";

INSTANTIATE_TEST_SUITE_P(
    Descriptors, FileHoldingTest,
    ::testing::Values(
        // Program Files: TrustedInstaller's, users read and run, and what
        // the creator of a subfolder gets only for what it holds.
        DescriptorCase{
            "ProgramFiles",
            L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-"
            L"2271478464D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
            L"(A;OICI;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)",
            kTrusted, kTrusted, L""},
        DescriptorCase{"OwnedBySystem", L"O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)",
                       kTrusted, kTrusted, L""},
        // A folder a user made: its owner may rewrite its rights.
        DescriptorCase{"OwnedByAUser",
                       L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)(A;;FA;;;BA)",
                       kForeign, kForeign, L"S-1-5-21-1-2-3-1001"},
        // The root of a system drive: every user may create a folder in it,
        // which replaces nothing above what the runner loads.
        DescriptorCase{"RootOfTheDrive",
                       L"O:S-1-5-80-956008885-3418522649-1831038044-"
                       L"1853292631-2271478464D:(A;OICI;FA;;;SY)"
                       L"(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
                       L"(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)",
                       kOthers, kTrusted, kAuthenticated},
        DescriptorCase{"UsersMayWrite", L"O:BAD:(A;;FA;;;SY)(A;;0x2;;;BU)",
                       kOthers, kTrusted, kUsers},
        DescriptorCase{"UsersMayWriteGenerically",
                       L"O:BAD:(A;;FA;;;SY)(A;;GW;;;BU)", kOthers, kTrusted,
                       kUsers},
        DescriptorCase{"UsersMayDelete", L"O:BAD:(A;;FA;;;SY)(A;;SD;;;BU)",
                       kOthers, kOthers, kUsers},
        DescriptorCase{"UsersMayDeleteWhatItHolds",
                       L"O:BAD:(A;;FA;;;SY)(A;;0x40;;;BU)", kOthers, kOthers,
                       kUsers},
        DescriptorCase{"EveryoneMayChangeTheRights",
                       L"O:BAD:(A;;FA;;;SY)(A;;WD;;;WD)", kOthers, kOthers,
                       L"S-1-1-0"},
        DescriptorCase{"UsersMayTakeOwnership",
                       L"O:BAD:(A;;FA;;;SY)(A;;WO;;;BU)", kOthers, kOthers,
                       kUsers},
        DescriptorCase{"UsersMayDoAnything", L"O:BAD:(A;;GA;;;BU)", kOthers,
                       kOthers, kUsers},
        // Rights for what is created later do not apply to the folder.
        DescriptorCase{"InheritOnlyRightsOfUsers",
                       L"O:BAD:(A;;FA;;;BA)(A;OICIIO;FA;;;BU)", kTrusted,
                       kTrusted, L""},
        // A denial takes rights away, it grants none.
        DescriptorCase{"DeniedToUsers", L"O:BAD:(A;;FA;;;BA)(D;;FA;;;BU)",
                       kTrusted, kTrusted, L""},
        // No access list at all: everybody may do anything.
        DescriptorCase{"NoAccessList", L"O:BA",
                       Holding::kNoAccessList, Holding::kNoAccessList,
                       L"S-1-1-0"}),
    [](const ::testing::TestParamInfo<DescriptorCase>& info) {
      return std::string(info.param.name);
    });

// The folders the checks walk up through, to the root of a drive or share.
TEST(FolderAbove, WalksUpToTheRoot) {
  const struct {
    const wchar_t* path;
    const wchar_t* above;
  } cases[] = {
      {L"C:\\a\\b", L"C:\\a"},
      {L"C:\\a\\b\\", L"C:\\a"},
      {L"C:\\a", L"C:\\"},
      {L"C:\\", L""},
      {L"\\\\server\\share\\a", L"\\\\server\\share\\"},
      {L"\\\\server\\share\\", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(folderAbove(c.path), c.above);
  }
}

std::wstring tokenUser() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  alignas(8) unsigned char buffer[256];
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
  CloseHandle(token);
  LPWSTR text = nullptr;
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid,
                         &text);
  std::unique_ptr<wchar_t, LocalFreer> owned(text);
  return text != nullptr ? text : L"";
}

// The descriptor the check reads for a folder the test makes: whether its
// user owns it (Wine, which gives every file its user's) or it lets him
// change it (an elevated prompt on Windows), he is the one named.
TEST(FileHoldingOnDisk, AFolderOfTheUserIsNotTrusted) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + L"vlnr_file_holding_" +
                        std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  HoldingVerdict verdict = judgePath(folder, Place::kLoadedFrom);
  RemoveDirectoryW(folder.c_str());
  EXPECT_NE(verdict.holding, Holding::kTrusted);
  EXPECT_NE(verdict.holding, Holding::kUnreadable) << verdict.error;
  EXPECT_EQ(verdict.who, tokenUser());
}

TEST(FileHoldingOnDisk, AMissingFileIsUnreadable) {
  HoldingVerdict verdict =
      judgePath(L"C:\\vlnr_no_such_folder\\x.dll", Place::kLoadedFrom);
  EXPECT_EQ(verdict.holding, Holding::kUnreadable);
  EXPECT_EQ(verdict.error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
