#include "service/upgrade_worker.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/service_runtime.h"
#include "testing/event_recorder.h"
#include "testing/import_patch.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_library_stub.h"
#include "testing/virtual_device/virtual_device.h"

namespace {

using Strings = std::vector<std::string>;

const std::wstring kDrivers = L"C:\\windows\\system32\\drivers\\";

// One worker run over a context whose settings the test fills, with the
// service registered (not running) so its removal can be seen.
class UpgradeWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    removeServiceRegistration();
    removeUpgradeLibrary();
    ASSERT_TRUE(registerServiceForTest(programPath()));
    startService(manager_);
  }

  // A service start: a fresh context reporting to `manager`. One worker
  // stops a service once.
  void startService(const ServiceManagerDouble& manager) {
    context_ = newServiceContext();
    context_->statusHandle = manager.statusHandle;
    context_->deviceNotify = manager.deviceNotify;
    setSettings("vlnr_test_fw.img", 1, 0, "3.2.1");
    wcscpy(context_->devicePath, L"\\\\?\\USB#VID_2207&PID_9206#77#{x}");
  }

  void TearDown() override {
    removeServiceRegistration();
    for (const std::wstring& file : files_) {
      DeleteFileW(file.c_str());
    }
    RemoveDirectoryW((kDrivers + L"vlnr_test_sub").c_str());
    removeUpgradeLibrary();
  }

  void setSettings(const std::string& updateFile, uint8_t bForce,
                   uint8_t bUpdate, const std::string& version) {
    snprintf(context_->updateFile, sizeof context_->updateFile, "%s",
             updateFile.c_str());
    snprintf(context_->version, sizeof context_->version, "%s",
             version.c_str());
    UpgradeThreadParams& params = context_->params;
    params = {
        context_->updateFile,  context_->devicePath, bForce,   bUpdate,
        context_->version,     kUpdateDeviceClass,   context_, stopService,
        &context_->workerPhase, &context_->workerBinding};
  }

  // Places and loads the stub once; it stays loaded, as the worker leaves it.
  void placeStub(int result) {
    if (stub_ == nullptr) {
      ASSERT_TRUE(placeUpgradeLibrary(L"velunor_upgrade_stub.dll"));
      stub_ = LoadLibraryW(kUpgradeLibraryPath);
      ASSERT_NE(stub_, nullptr);
    }
    reinterpret_cast<StubSetResult>(reinterpret_cast<void*>(
        GetProcAddress(stub_, "stubSetResult")))(result);
  }

  const StubCall* stubCall() {
    return reinterpret_cast<StubLastCall>(
        reinterpret_cast<void*>(GetProcAddress(stub_, "stubLastCall")))();
  }

  std::wstring makeFile(const std::wstring& name) {
    std::wstring path = kDrivers + name;
    writeFile(path, "image");
    files_.push_back(path);
    return path;
  }

  DWORD run() { return updateThread(&context_->params); }

  void expectServiceStoppedAndRemoved() {
    EXPECT_EQ(manager_.states(),
              (std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOPPED}));
    EXPECT_EQ(manager_.unregistered(),
              std::vector<HDEVNOTIFY>{manager_.deviceNotify});
    EXPECT_FALSE(serviceRegistered());
  }

  void expectServiceKept() {
    EXPECT_TRUE(manager_.statusReports().empty());
    EXPECT_TRUE(manager_.unregistered().empty());
    EXPECT_TRUE(serviceRegistered());
  }

  EventRecorder recorder_;
  ServiceManagerDouble manager_;
  ServiceContext* context_ = nullptr;
  HMODULE stub_ = nullptr;
  std::vector<std::wstring> files_;
};

TEST_F(UpgradeWorkerTest, CallsTheLibraryWithTheSixArguments) {
  placeStub(0);
  setSettings("vlnr_test_fw.img", 1, 0, "3.2.1");
  run();
  const StubCall* call = stubCall();
  EXPECT_EQ(call->calls, 1);
  EXPECT_EQ(call->bForce, 1);
  EXPECT_EQ(call->bUpdate, 0);
  EXPECT_EQ(std::wstring(call->devicePath),
            L"\\\\?\\USB#VID_2207&PID_9206#77#{x}");
  EXPECT_STREQ(call->updateFile, "vlnr_test_fw.img");
  EXPECT_STREQ(call->version, "3.2.1");
  EXPECT_TRUE(IsEqualGUID(call->interfaceGuid, kUpdateDeviceClass));
}

// A removal that claimed the worker while it was loading the library: the
// worker publishes what it bound, for the removal to cancel with, and never
// calls the library. Like a killed worker it deletes nothing and keeps the
// service.
TEST_F(UpgradeWorkerTest, AWorkerClaimedWhileLoadingNeverCallsTheLibrary) {
  placeStub(0);
  setSettings("vlnr_test_claimed.img", 0, 1, "1.0");
  std::wstring image = makeFile(L"vlnr_test_claimed.img");
  int callsBefore = stubCall()->calls;
  context_->workerPhase = kWorkerEnding;

  EXPECT_EQ(run(), DWORD{kWorkerEnded});

  EXPECT_EQ(stubCall()->calls, callsBefore);
  EXPECT_TRUE(context_->workerBinding.bound);
  EXPECT_NE(context_->workerBinding.cancelUpgrade.load(), nullptr);
  EXPECT_EQ(recorder_.texts(),
            std::vector<std::string>{
                "update thread ended on device remove, service kept"});
  EXPECT_TRUE(fileExists(image));
  expectServiceKept();
}

TEST_F(UpgradeWorkerTest, SuccessDeletesOnlyTheExactUpdateFile) {
  placeStub(0);
  std::wstring exact = makeFile(L"vlnr_test_fw.img");
  std::wstring longer = makeFile(L"vlnr_test_fw.img.2");
  CreateDirectoryW((kDrivers + L"vlnr_test_sub").c_str(), nullptr);
  std::wstring nested = makeFile(L"vlnr_test_sub\\vlnr_test_fw.img");

  EXPECT_EQ(run(), kWorkerDone);

  EXPECT_EQ(recorder_.texts(), (Strings{"send updatefile to device success",
                                        "uninstallService start"}));
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_FALSE(fileExists(exact));
  EXPECT_TRUE(fileExists(longer));
  EXPECT_TRUE(fileExists(nested));
  expectServiceStoppedAndRemoved();
}

TEST_F(UpgradeWorkerTest, AMissingUpdateFileIsNoError) {
  placeStub(0);
  EXPECT_EQ(run(), kWorkerDone);
  EXPECT_EQ(recorder_.texts(), (Strings{"send updatefile to device success",
                                        "uninstallService start"}));
  expectServiceStoppedAndRemoved();
}

TEST_F(UpgradeWorkerTest,
       AFailedTransferKeepsTheFileAndStillRemovesTheService) {
  placeStub(1);
  std::wstring exact = makeFile(L"vlnr_test_fw.img");
  EXPECT_EQ(run(), kWorkerTransferFailed);
  EXPECT_EQ(recorder_.texts(), (Strings{"send updatefile to device error",
                                        "uninstallService start"}));
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_TRUE(fileExists(exact));
  expectServiceStoppedAndRemoved();
}

TEST_F(UpgradeWorkerTest, OtherResultsAreNotReportedButEndTheService) {
  for (int result : {-1, 2, 7}) {
    removeServiceRegistration();
    ASSERT_TRUE(registerServiceForTest(programPath()));
    recorder_.clear();
    ServiceManagerDouble manager;
    startService(manager);
    placeStub(result);
    std::wstring exact = makeFile(L"vlnr_test_fw.img");

    EXPECT_EQ(run(), kWorkerDone);

    EXPECT_EQ(recorder_.texts(), Strings{"uninstallService start"});
    EXPECT_TRUE(fileExists(exact));
    EXPECT_EQ(manager.states(),
              (std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOPPED}));
    EXPECT_FALSE(serviceRegistered());
  }
}

TEST_F(UpgradeWorkerTest, AMissingLibraryKeepsTheServiceRunning) {
  ASSERT_EQ(GetModuleHandleW(kUpgradeLibraryPath), nullptr);
  EXPECT_EQ(run(), kWorkerLibraryNotLoaded);
  std::vector<RecordedEvent> events = recorder_.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[0].text(), "can not load velunorUpdateExport.dll: " +
                                  std::to_string(ERROR_MOD_NOT_FOUND));
  expectServiceKept();
}

TEST_F(UpgradeWorkerTest, ALibraryWithoutTheExportIsHandledLikeAMissingOne) {
  ASSERT_TRUE(placeUpgradeLibrary(L"velunor_upgrade_without_export.dll"));
  EXPECT_EQ(run(), kWorkerLibraryNotLoaded);
  EXPECT_EQ(
      recorder_.texts(),
      Strings{"can not find letsStartUpgrade in velunorUpdateExport.dll: " +
              std::to_string(ERROR_PROC_NOT_FOUND)});
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_ERROR_TYPE);
  expectServiceKept();
}

// The service runs as LocalSystem: the registry must not steer its deletion
// outside the drivers folder.
TEST_F(UpgradeWorkerTest, NamesThatLeaveTheDriversFolderDeleteNothing) {
  makeFile(L"vlnr_test_fw.img");
  CreateDirectoryW((kDrivers + L"vlnr_test_sub").c_str(), nullptr);
  std::wstring nested = makeFile(L"vlnr_test_sub\\vlnr_test_fw.img");
  for (const char* name :
       {"vlnr_test_sub\\vlnr_test_fw.img", "vlnr_test_sub/vlnr_test_fw.img",
        "..\\drivers\\vlnr_test_fw.img", "C:vlnr_test_fw.img", ".", "..", ""}) {
    removeServiceRegistration();
    ASSERT_TRUE(registerServiceForTest(programPath()));
    recorder_.clear();
    placeStub(0);
    setSettings(name, 0, 0, "1");

    EXPECT_EQ(run(), kWorkerDone) << name;

    EXPECT_EQ(recorder_.texts(),
              (Strings{"send updatefile to device success",
                       "update file name is not a plain file name, not deleted",
                       "uninstallService start"}))
        << name;
    EXPECT_EQ(recorder_.events()[1].type, EVENTLOG_ERROR_TYPE);
    EXPECT_TRUE(fileExists(nested)) << name;
    EXPECT_TRUE(fileExists(kDrivers + L"vlnr_test_fw.img")) << name;
    EXPECT_FALSE(serviceRegistered());
  }
}

TEST_F(UpgradeWorkerTest, ANameThatFillsTheDeletionPathIsDeletedOneMoreIsNot) {
  // 28 bytes of folder, the name, the NUL: 231 bytes of name fill 260.
  const std::string fitting = "v" + std::string(226, 'f') + ".img";
  const std::string longer = "v" + std::string(227, 'f') + ".img";
  ASSERT_EQ(fitting.size(), 231u);
  std::wstring fittingFile =
      makeFile(std::wstring(fitting.begin(), fitting.end()));
  std::wstring longerFile =
      makeFile(std::wstring(longer.begin(), longer.end()));
  ASSERT_TRUE(fileExists(longerFile));
  placeStub(0);

  setSettings(fitting, 0, 0, "1");
  run();
  EXPECT_FALSE(fileExists(fittingFile));

  ASSERT_TRUE(registerServiceForTest(programPath()));
  recorder_.clear();
  setSettings(longer, 0, 0, "1");
  run();
  EXPECT_TRUE(fileExists(longerFile));
  EXPECT_EQ(recorder_.texts(),
            (Strings{"send updatefile to device success",
                     "update file path is too long, not deleted",
                     "uninstallService start"}));
}

// Holds the worker inside its removal of the service until released.
HANDLE removalEntered = nullptr;
HANDLE removalReleased = nullptr;

SC_HANDLE WINAPI heldOpenSCManagerW(LPCWSTR machine, LPCWSTR database,
                                    DWORD access) {
  SetEvent(removalEntered);
  WaitForSingleObject(removalReleased, INFINITE);
  using Open = SC_HANDLE(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
  auto real = reinterpret_cast<Open>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "OpenSCManagerW")));
  return real(machine, database, access);
}

struct RemovalWait {
  HANDLE worker;
  DWORD workerStateAfterWait;
};

DWORD WINAPI waitLikeTheMainThread(LPVOID parameter) {
  auto* wait = static_cast<RemovalWait*>(parameter);
  waitForServiceRemoval();
  GetExitCodeThread(wait->worker, &wait->workerStateAfterWait);
  return 0;
}

TEST_F(UpgradeWorkerTest, TheMainThreadOutlivesARemovalInProgress) {
  placeStub(0);
  removalEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  removalReleased = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ImportPatch hold(nullptr, "OpenSCManagerW",
                   reinterpret_cast<const void*>(&heldOpenSCManagerW));
  HANDLE worker =
      CreateThread(nullptr, 0, updateThread, &context_->params, 0, nullptr);
  ASSERT_NE(worker, nullptr);
  ASSERT_EQ(WaitForSingleObject(removalEntered, 60000), WAIT_OBJECT_0);
  // The service is reported stopped: the dispatcher has returned.
  EXPECT_EQ(manager_.states().back(), DWORD{SERVICE_STOPPED});

  RemovalWait wait = {worker, 0};
  HANDLE mainThread =
      CreateThread(nullptr, 0, waitLikeTheMainThread, &wait, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(mainThread, 0), DWORD{WAIT_TIMEOUT});
  SetEvent(removalReleased);

  ASSERT_EQ(WaitForSingleObject(mainThread, 60000), WAIT_OBJECT_0);
  EXPECT_EQ(wait.workerStateAfterWait, kWorkerDone);  // ended, not active
  EXPECT_FALSE(serviceRegistered());
  CloseHandle(mainThread);
  CloseHandle(worker);
  CloseHandle(removalEntered);
  CloseHandle(removalReleased);
}

TEST_F(UpgradeWorkerTest, WithoutARemovalTheMainThreadDoesNotWait) {
  ASSERT_EQ(run(), kWorkerLibraryNotLoaded);
  waitForServiceRemoval();  // returns at once: nothing to wait for
  EXPECT_TRUE(serviceRegistered());
}

// The real library and the virtual device: an image stored under its name in
// capitals is not matched by the library's search, so nothing is sent. That
// must be a failure, and the image (which the file system would find under
// the name in small letters) must stay.
TEST_F(UpgradeWorkerTest, AnImageTheSearchDoesNotMatchIsAFailureAndStays) {
  vdev::reset();
  ASSERT_TRUE(placeUpgradeLibrary(L"velunorUpdateExport.dll"));
  std::wstring stored = makeFile(L"VLNR_TEST_NOMATCH_FW.BIN");
  setSettings("vlnr_test_nomatch_fw.bin", 0, 1, "1.0");
  wcscpy(context_->devicePath,
         reinterpret_cast<const wchar_t*>(vdev::defaultInterfaceName()));

  EXPECT_EQ(run(), kWorkerTransferFailed);

  // The library's own error names the file (its tests show it); the
  // service's trail is the failure's.
  EXPECT_EQ(recorder_.texts(), (Strings{"send updatefile to device error",
                                        "uninstallService start"}));
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_TRUE(fileExists(stored));
  EXPECT_FALSE(vdev::verdict().announced);
  EXPECT_EQ(vdev::openHandleCount(), 0u);
  expectServiceStoppedAndRemoved();
}

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
