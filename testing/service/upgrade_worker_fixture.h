// The upgrade worker's test fixture: one worker run over a context whose
// settings the test fills, with the service registered (not running) so its
// removal can be seen. Shared by the worker's test programs, which differ in
// what their process has loaded.
#ifndef VELUNOR_TESTING_SERVICE_UPGRADE_WORKER_FIXTURE_H_
#define VELUNOR_TESTING_SERVICE_UPGRADE_WORKER_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/service_context.h"
#include "service/service_status.h"
#include "service/upgrade_worker.h"
#include "testing/event_recorder.h"
#include "testing/service/service_test_support.h"
#include "testing/service/upgrade_library_stub.h"

using Strings = std::vector<std::string>;

const std::wstring kDrivers = L"C:\\windows\\system32\\drivers\\";

class UpgradeWorkerTest : public ::testing::Test {
 protected:
  // The worker writes the family's outcome record: no settings before or
  // after.
  void SetUp() override {
    removeAllSettings();
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
    // A device told to start is back before the worker looks: how the
    // worker waits for it is the power tests' concern.
    SetEvent(context_->deviceBack);
  }

  void TearDown() override {
    removeServiceRegistration();
    for (const std::wstring& file : files_) {
      DeleteFileW(file.c_str());
    }
    RemoveDirectoryW((kDrivers + L"vlnr_test_sub").c_str());
    removeUpgradeLibrary();
    removeAllSettings();
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
        &context_->workerPhase, &context_->workerBinding, nullptr};
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

#endif  // VELUNOR_TESTING_SERVICE_UPGRADE_WORKER_FIXTURE_H_
