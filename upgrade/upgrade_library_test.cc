// The shipped velunorUpdateExport.dll, loaded by path from the build's bin as
// the service loads it, run against the virtual device: the AdbWinApi.dll
// this test program has loaded already, which the library's import binds to.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "common/event_report.h"
#include "testing/event_recorder.h"
#include "testing/import_patch.h"
#include "testing/program_files.h"
#include "testing/upgrade/test_drivers_folder.h"
#include "testing/virtual_clock.h"
#include "testing/virtual_device/virtual_device.h"
#include "upgrade/upgrade_entry.h"

namespace {

using Strings = std::vector<std::string>;

// The sources the library registered, by name and server.
std::vector<std::wstring> registered;

HANDLE WINAPI recordRegistration(LPCWSTR server, LPCWSTR source) {
  registered.push_back(std::wstring(server == nullptr ? L"<local>" : server) +
                       L"/" + source);
  return RegisterEventSourceW(server, source);
}

class UpgradeLibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    vdev::reset();
    key_ = TestDriversFolder::nameOfThisTest("_fw.bin");
    library_ =
        LoadLibraryW((shippedFolder() + L"velunorUpdateExport.dll").c_str());
    ASSERT_NE(library_, nullptr) << GetLastError();
    registered.clear();
    registration_ = std::make_unique<ImportPatch>(
        library_, "RegisterEventSourceW",
        reinterpret_cast<const void*>(&recordRegistration));
    events_ = std::make_unique<EventRecorder>();
    clock_ = std::make_unique<VirtualClock>();
    events_->watchModule(library_);
    clock_->watchModule(library_);
    letsStartUpgrade_ = reinterpret_cast<LetsStartUpgradeFunction>(
        reinterpret_cast<void*>(GetProcAddress(library_, "letsStartUpgrade")));
    ASSERT_NE(letsStartUpgrade_, nullptr);
  }

  void TearDown() override {
    // The patches of the module's imports go before the module does.
    clock_.reset();
    events_.reset();
    registration_.reset();
    if (library_ != nullptr) FreeLibrary(library_);
  }

  TestDriversFolder drivers_;
  std::string key_;
  std::unique_ptr<ImportPatch> registration_;
  std::unique_ptr<EventRecorder> events_;
  std::unique_ptr<VirtualClock> clock_;
  HMODULE library_ = nullptr;
  LetsStartUpgradeFunction letsStartUpgrade_ = nullptr;
};

TEST_F(UpgradeLibraryTest, FreshLoadDownloadsWithEventsFromOne) {
  std::string image(70000, 'i');
  ASSERT_TRUE(drivers_.addFile(key_, image));
  EXPECT_EQ(letsStartUpgrade_(0, 1, vdev::defaultInterfaceName(), key_.c_str(),
                              "V3.1", kUpdateDeviceClass),
            0);
  std::vector<RecordedEvent> events = events_->events();
  ASSERT_GE(events.size(), 6u);
  EXPECT_EQ(events[0].text(), "letsStartUpgrade() entry");
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].id,
              eventIdentifier(static_cast<DWORD>(i + 1),
                              static_cast<WORD>(events[i].strings.size())));
    EXPECT_NE(events[i].source, nullptr);
  }
  EXPECT_EQ(events.back().text(), "Finished traverse update file");
  vdev::Verdict verdict = vdev::verdict();
  EXPECT_TRUE(verdict.image_received);
  EXPECT_EQ(verdict.image_size, image.size());
  EXPECT_TRUE(verdict.md5_verified);
  EXPECT_TRUE(verdict.update_started);
  EXPECT_EQ(vdev::openHandleCount(), 0u);

  // A second call in the same load numbers on.
  DWORD next = static_cast<DWORD>(events.size() + 1);
  events_->clear();
  vdev::reset();
  EXPECT_EQ(letsStartUpgrade_(0, 0, vdev::defaultInterfaceName(), key_.c_str(),
                              "V3.1", kUpdateDeviceClass),
            0);
  ASSERT_FALSE(events_->events().empty());
  EXPECT_EQ(events_->events()[0].id, next);
  EXPECT_FALSE(vdev::verdict().update_started);
  // Every call registers the library's source on the local computer.
  EXPECT_EQ(registered,
            std::vector<std::wstring>(2, L"<local>/velunorUpdateExport"));
}

// Not listed: the device went away before anything was sent.
TEST_F(UpgradeLibraryTest, NoDeviceListedIsTwo) {
  ASSERT_TRUE(drivers_.addFile(key_, "image"));
  EXPECT_EQ(letsStartUpgrade_(1, 1, L"\\\\?\\usb#nobody", key_.c_str(), "V1",
                              kUpdateDeviceClass),
            kUpgradeDeviceWentAway);
  EXPECT_EQ(events_->texts(),
            Strings({"letsStartUpgrade() entry",
                     "Can not open velunor update usb device"}));
  EXPECT_EQ(events_->events()[0].id, 1u);
  EXPECT_FALSE(vdev::verdict().announced);
}

// The progress export, bound by name as the runner binds it: the reports
// reach the caller's callback with its context, on the calling thread, and
// the device gets the image as from letsStartUpgrade.
struct Watcher {
  DWORD thread = 0;
  std::vector<int32_t> steps;
  uint64_t lastCount = 0;
  bool otherThread = false;
};

void watch(const UpgradeProgress* progress, void* context) {
  auto* watcher = static_cast<Watcher*>(context);
  if (GetCurrentThreadId() != watcher->thread) watcher->otherThread = true;
  if (progress->step == kUpgradeProgressBytesSent) {
    watcher->lastCount = progress->bytes_sent;
  } else {
    watcher->steps.push_back(progress->step);
  }
}

TEST_F(UpgradeLibraryTest, ProgressExportReportsToItsCaller) {
  auto withProgress = reinterpret_cast<LetsStartUpgradeWithProgressFunction>(
      reinterpret_cast<void*>(
          GetProcAddress(library_, kUpgradeProgressExportName)));
  ASSERT_NE(withProgress, nullptr);
  ASSERT_TRUE(drivers_.addFile(key_, std::string(70000, 'w')));
  Watcher watcher;
  watcher.thread = GetCurrentThreadId();
  EXPECT_EQ(withProgress(0, 1, vdev::defaultInterfaceName(), key_.c_str(),
                         "V3.1", kUpdateDeviceClass, watch, &watcher),
            0);
  EXPECT_EQ(watcher.steps,
            (std::vector<int32_t>{
                kUpgradeProgressSending, kUpgradeProgressCheckingDigest,
                kUpgradeProgressStarting, kUpgradeProgressImageDone}));
  EXPECT_EQ(watcher.lastCount, 70000u);
  EXPECT_FALSE(watcher.otherThread);
  EXPECT_TRUE(vdev::verdict().update_started);
  EXPECT_EQ(events_->texts().front(), "letsStartUpgrade() entry");
  EXPECT_EQ(events_->texts().back(), "Finished traverse update file");
}

}  // namespace
