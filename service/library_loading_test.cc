// Where the upgrade library's own import, AdbWinApi.dll, comes from when the
// worker loads it. A program of its own: a process that has AdbWinApi.dll
// loaded already (as the tests with the virtual device have) would hand the
// library that copy whatever the search.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/upgrade_worker.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_worker_fixture.h"

namespace {

// Where AdbWinApi.dll copies lie when the worker loads a library that imports
// it. The library runs as LocalSystem: its import may come only from beside
// it or from System32, never from the folders anyone may write to.
enum AdbWinApiPlace : unsigned {
  kNowhere = 0,
  kCurrentDirectory = 1,
  kFolderOnPath = 2,
  kSystem32 = 4,
  kBesideTheLibrary = 8,
};

struct AdbWinApiPlanting {
  const char* name;
  unsigned places;        // AdbWinApiPlace bits; beside the program always
  AdbWinApiPlace loaded;  // the copy the library gets; kNowhere: none
};

// The case's name in the test's name and messages.
void PrintTo(const AdbWinApiPlanting& planting, std::ostream* out) {
  *out << planting.name;
}

class AdbWinApiPlantingTest
    : public UpgradeWorkerTest,
      public ::testing::WithParamInterface<AdbWinApiPlanting> {
 protected:
  void SetUp() override {
    UpgradeWorkerTest::SetUp();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring unique = std::to_wstring(GetCurrentProcessId());
    folders_[kCurrentDirectory] = temp + (L"vlnr_planted_cwd_" + unique);
    folders_[kFolderOnPath] = temp + (L"vlnr_planted_path_" + unique);
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    folders_[kSystem32] = system;
    folders_[kBesideTheLibrary] = kDrivers.substr(0, kDrivers.size() - 1);

    wchar_t directory[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, directory);
    savedDirectory_ = directory;
    DWORD pathUnits = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    savedPath_.resize(pathUnits);
    GetEnvironmentVariableW(L"PATH", savedPath_.data(), pathUnits);
    savedPath_.resize(pathUnits > 0 ? pathUnits - 1 : 0);
  }

  void TearDown() override {
    removeUpgradeLibrary();  // unloads AdbWinApi.dll with it
    SetCurrentDirectoryW(savedDirectory_.c_str());
    SetEnvironmentVariableW(L"PATH", savedPath_.c_str());
    for (const std::wstring& file : planted_) DeleteFileW(file.c_str());
    RemoveDirectoryW(folders_[kCurrentDirectory].c_str());
    RemoveDirectoryW(folders_[kFolderOnPath].c_str());
    UpgradeWorkerTest::TearDown();
  }

  std::wstring besideTheProgram() { return binDirectory() + L"\\AdbWinApi.dll"; }

  void plant(unsigned places) {
    CreateDirectoryW(folders_[kCurrentDirectory].c_str(), nullptr);
    CreateDirectoryW(folders_[kFolderOnPath].c_str(), nullptr);
    for (const auto& [place, folder] : folders_) {
      if ((places & place) == 0) continue;
      std::wstring file = folder + L"\\AdbWinApi.dll";
      ASSERT_TRUE(CopyFileW(besideTheProgram().c_str(), file.c_str(), TRUE))
          << "AdbWinApi.dll was already in the folder, error "
          << GetLastError();
      planted_.push_back(file);
    }
    ASSERT_TRUE(SetCurrentDirectoryW(folders_[kCurrentDirectory].c_str()));
    ASSERT_TRUE(SetEnvironmentVariableW(
        L"PATH", (folders_[kFolderOnPath] + L";" + savedPath_).c_str()));
  }

  // The file the loaded AdbWinApi.dll came from; empty when none is loaded.
  static std::wstring loadedAdbWinApi() {
    HMODULE module = GetModuleHandleW(L"AdbWinApi.dll");
    if (module == nullptr) return std::wstring();
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
  }

  std::wstring expectedFile(AdbWinApiPlace place) {
    return place == kNowhere ? std::wstring()
                             : folders_[place] + L"\\AdbWinApi.dll";
  }

  std::map<AdbWinApiPlace, std::wstring> folders_;
  std::vector<std::wstring> planted_;
  std::wstring savedDirectory_;
  std::wstring savedPath_;
};

std::wstring lowered(std::wstring text) {
  CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

TEST_P(AdbWinApiPlantingTest, TheLibraryGetsItsImportOnlyFromSafeFolders) {
  const AdbWinApiPlanting& planting = GetParam();
  ASSERT_TRUE(fileExists(besideTheProgram()));
  ASSERT_EQ(loadedAdbWinApi(), L"") << "the test program must not load it";
  ASSERT_TRUE(placeUpgradeLibrary(L"velunor_upgrade_importing_adbwinapi.dll"));
  plant(planting.places);
  if (HasFatalFailure()) return;

  DWORD result = run();

  EXPECT_EQ(lowered(loadedAdbWinApi()), lowered(expectedFile(planting.loaded)));
  if (planting.loaded == kNowhere) {
    EXPECT_EQ(result, kWorkerLibraryNotLoaded);
    EXPECT_EQ(recorder_.texts(),
              Strings{"can not load velunorUpdateExport.dll: " +
                      std::to_string(ERROR_MOD_NOT_FOUND)});
    expectServiceKept();
  } else {
    EXPECT_EQ(result, kWorkerTransferFailed);
    EXPECT_EQ(recorder_.texts(), (Strings{"send updatefile to device error",
                                          "uninstallService start"}));
    expectServiceStoppedAndRemoved();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Places, AdbWinApiPlantingTest,
    ::testing::Values(
        AdbWinApiPlanting{"NotFromTheProgramFolderTheCurrentDirectoryOrPath",
                          kCurrentDirectory | kFolderOnPath, kNowhere},
        AdbWinApiPlanting{"FromSystem32",
                          kCurrentDirectory | kFolderOnPath | kSystem32,
                          kSystem32},
        AdbWinApiPlanting{"FromBesideTheLibrary",
                          kCurrentDirectory | kFolderOnPath | kBesideTheLibrary,
                          kBesideTheLibrary},
        AdbWinApiPlanting{"BesideTheLibraryBeforeSystem32",
                          kCurrentDirectory | kFolderOnPath | kSystem32 |
                              kBesideTheLibrary,
                          kBesideTheLibrary}),
    [](const ::testing::TestParamInfo<AdbWinApiPlanting>& info) {
      return std::string(info.param.name);
    });

}  // namespace
