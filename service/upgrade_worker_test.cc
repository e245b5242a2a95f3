#include "service/upgrade_worker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/service_context.h"
#include "testing/event_recorder.h"
#include "testing/service/held_service_removal.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_library_stub.h"
#include "testing/service/upgrade_worker_fixture.h"
#include "testing/virtual_device/virtual_device.h"

namespace {

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

// Nothing on the device changed: the image and the service stay for the
// next arrival, and the worker says why.
TEST_F(UpgradeWorkerTest, ADeviceGoneBeforeTheStartKeepsImageAndService) {
  placeStub(kUpgradeDeviceWentAway);
  std::wstring exact = makeFile(L"vlnr_test_fw.img");
  context_->workerPhase = kWorkerUpgrading;

  EXPECT_EQ(run(), DWORD{kWorkerDeviceWentAway});

  EXPECT_EQ(recorder_.texts(),
            Strings{"device went away before the update started, service "
                    "kept"});
  EXPECT_EQ(recorder_.events()[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_TRUE(fileExists(exact));
  EXPECT_EQ(context_->workerPhase.load(), uint32_t{kWorkerIdle});
  expectServiceKept();
}

TEST_F(UpgradeWorkerTest, OtherResultsAreNotReportedButEndTheService) {
  for (int result : {-1, 7}) {
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
  HeldServiceRemoval hold;
  HANDLE worker =
      CreateThread(nullptr, 0, updateThread, &context_->params, 0, nullptr);
  ASSERT_NE(worker, nullptr);
  ASSERT_TRUE(hold.entered(60000));
  // The service is reported stopped: the dispatcher has returned.
  EXPECT_EQ(manager_.states().back(), DWORD{SERVICE_STOPPED});

  RemovalWait wait = {worker, 0};
  HANDLE mainThread =
      CreateThread(nullptr, 0, waitLikeTheMainThread, &wait, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(mainThread, 0), DWORD{WAIT_TIMEOUT});
  hold.release();

  ASSERT_EQ(WaitForSingleObject(mainThread, 60000), WAIT_OBJECT_0);
  EXPECT_EQ(wait.workerStateAfterWait, kWorkerDone);  // ended, not active
  EXPECT_FALSE(serviceRegistered());
  CloseHandle(mainThread);
  CloseHandle(worker);
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

}  // namespace
