#include "upgrade/upgrade_entry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/event_report.h"
#include "testing/event_recorder.h"
#include "testing/upgrade/test_drivers_folder.h"
#include "testing/virtual_clock.h"
#include "testing/virtual_device/virtual_device.h"

namespace {

using Strings = std::vector<std::string>;
using WideString = std::basic_string<AdbWideChar>;
using vdev::Call;

const Strings kOpened = {"letsStartUpgrade() entry", "do_usb_open() success",
                         "serial_number : VLNR-SN-000123dev_vendor : ",
                         "velunor update usb device open success"};

Strings join(Strings a, const Strings& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

size_t count(const Strings& texts, const std::string& text) {
  return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

class UpgradeEntryTest : public testing::Test {
 protected:
  void SetUp() override {
    vdev::reset();
    // Names of this test alone, as tests may run at once in one prefix.
    key_ = TestDriversFolder::nameOfThisTest("_fw.bin");
  }

  int32_t upgrade(const char* updateFile, uint8_t bUpdate = 1) {
    return letsStartUpgrade(0, bUpdate, vdev::defaultInterfaceName(),
                            updateFile, "V2.0.1", kUpdateDeviceClass);
  }

  // The control requests the device received, in order.
  static std::vector<uint16_t> requests() {
    std::vector<uint16_t> order;
    for (const vdev::CallRecord& r :
         vdev::calls(Call::kDefaultEndpointReadWriteSync)) {
      order.push_back(static_cast<uint16_t>(r.setup[2] | r.setup[3] << 8));
    }
    return order;
  }

  TestDriversFolder drivers_;
  std::string key_;
  EventRecorder events_;
  VirtualClock clock_;
};

// Whatever the drivers folder holds that does not match, nothing is sent and
// the call fails with an error naming the update file.
TEST_F(UpgradeEntryTest, NoMatchingFileIsAFailureNamingTheFile) {
  struct Case {
    const char* name;
    void (*store)(TestDriversFolder* drivers, const std::string& key);
  };
  const Case cases[] = {
      {"nothing stored", [](TestDriversFolder*, const std::string&) {}},
      {"the image in capitals",
       [](TestDriversFolder* drivers, const std::string& key) {
         std::string upper = key;
         std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
         ASSERT_TRUE(drivers->addFile(upper, "image"));
       }},
      {"only a plain folder of that name",
       [](TestDriversFolder* drivers, const std::string& key) {
         ASSERT_TRUE(drivers->addDirectory(key));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vdev::reset();
    events_.clear();
    TestDriversFolder drivers;
    c.store(&drivers, key_);
    DWORD first = eventCounter;
    EXPECT_EQ(upgrade(key_.c_str()), 1);
    EXPECT_EQ(events_.texts(),
              join(kOpened, {"no update file matches " + key_ +
                                 " in C:\\Windows\\System32\\drivers",
                             "Finished traverse update file"}));
    std::vector<RecordedEvent> events = events_.events();
    ASSERT_EQ(events.size(), kOpened.size() + 2);
    EXPECT_EQ(events[kOpened.size()].type, EVENTLOG_ERROR_TYPE);
    for (size_t i = 0; i < events.size(); ++i) {
      EXPECT_EQ(events[i].id,
                eventIdentifier(static_cast<DWORD>(first + i),
                                static_cast<WORD>(events[i].strings.size())));
      EXPECT_EQ(events[i].source, eventSource);
    }
    EXPECT_EQ(events[2].strings, Strings({"serial_number : ", "VLNR-SN-000123",
                                          "dev_vendor : ", ""}));
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(vdev::openHandleCount(), 0u);
  }
}

// A device no longer listed went away; one listed that cannot be opened is
// no device for the upgrade. Either way nothing is searched or sent.
TEST_F(UpgradeEntryTest, NoDeviceStopsBeforeTheSearch) {
  struct AbsentCase {
    const char* name;
    bool listed;
    int32_t result;
    Strings trail;
  };
  const AbsentCase cases[] = {
      {"no longer listed", false, kUpgradeDeviceWentAway,
       {"letsStartUpgrade() entry", "Can not open velunor update usb device"}},
      {"listed, not opened", true, kUpgradeNoDevice,
       {"letsStartUpgrade() entry", "AdbCreateInterfaceByName, errno: 5",
        "Can not open velunor update device",
        "Can not open velunor update usb device"}},
  };
  ASSERT_TRUE(drivers_.addFile(key_, "image"));
  for (const AbsentCase& c : cases) {
    SCOPED_TRACE(c.name);
    vdev::reset();
    events_.clear();
    WideString path = U16("\\\\?\\usb#vid_3f3a&pid_9206#nobody");
    if (c.listed) {
      path = vdev::defaultInterfaceName();
      vdev::failCall(Call::kCreateInterfaceByName, 0, 5);
    }
    EXPECT_EQ(letsStartUpgrade(0, 1, path.c_str(), key_.c_str(), "V1",
                               kUpdateDeviceClass),
              c.result);
    EXPECT_EQ(events_.texts(), c.trail);
    EXPECT_EQ(events_.events().back().type, EVENTLOG_ERROR_TYPE);
    EXPECT_FALSE(vdev::verdict().announced);
    EXPECT_EQ(vdev::openHandleCount(), 0u);
  }
}

TEST_F(UpgradeEntryTest, DevicePathBeyondTheBufferIsNoDevice) {
  WideString path(1100, 'a');
  EXPECT_EQ(letsStartUpgrade(0, 1, path.c_str(), key_.c_str(), "V1",
                             kUpdateDeviceClass),
            -1);
  EXPECT_EQ(events_.texts().back(), "Can not open velunor update usb device");
}

TEST_F(UpgradeEntryTest, EveryMatchDownloadsTheUpdateFile) {
  ASSERT_TRUE(drivers_.addFile(key_, std::string(1000, 'N')));
  ASSERT_TRUE(drivers_.addFile(key_ + ".old", std::string(3000, 'O')));
  EXPECT_EQ(upgrade(key_.c_str()), 0);
  vdev::Verdict verdict = vdev::verdict();
  EXPECT_EQ(verdict.announcements, 2u);
  EXPECT_EQ(verdict.image_size, 1000u);  // the update file, both times
  EXPECT_TRUE(verdict.md5_verified);
  EXPECT_TRUE(verdict.update_started);
  EXPECT_STREQ(verdict.version, "V2.0.1");
  Strings texts = events_.texts();
  EXPECT_EQ(count(texts, "veluSendImageFile success"), 2u);
  EXPECT_EQ(texts.back(), "Finished traverse update file");
  EXPECT_EQ(count(texts, "traverse update file fail"), 0u);
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

TEST_F(UpgradeEntryTest, EmptyNameFailsEveryDownload) {
  ASSERT_TRUE(drivers_.addFile(key_, "image"));
  EXPECT_EQ(upgrade(""), 1);
  Strings texts = events_.texts();
  EXPECT_GE(count(texts, "veluSendImageFile fail"), 1u);
  EXPECT_EQ(count(texts, "veluSendImageFile success"), 0u);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2], "traverse update file fail");
  EXPECT_EQ(texts.back(), "Finished traverse update file");
  EXPECT_FALSE(vdev::verdict().announced);
}

TEST_F(UpgradeEntryTest, FileInAPlainSubdirectoryIsSentFromThere) {
  std::string sub = "vlnr5_sub_" + key_;
  ASSERT_TRUE(drivers_.addDirectory(sub));
  ASSERT_TRUE(drivers_.addFile(sub + "\\" + key_, std::string(777, 'S')));
  EXPECT_EQ(upgrade(key_.c_str()), 0);
  EXPECT_EQ(vdev::verdict().image_size, 777u);
  EXPECT_TRUE(vdev::verdict().md5_verified);
  EXPECT_EQ(count(events_.texts(), "veluSendImageFile success"), 1u);
}

TEST_F(UpgradeEntryTest, HiddenSubdirectoryIsAMatchAtTheTopLevel) {
  std::string hidden = "." + key_ + ".d";
  ASSERT_TRUE(drivers_.addDirectory(hidden));
  ASSERT_TRUE(drivers_.addFile(hidden + "\\" + key_, "inner image"));
  ASSERT_TRUE(drivers_.markDirectory(hidden, TestDriversFolder::kHidden));
  // Asked for drivers\<name>, which is not there.
  EXPECT_EQ(upgrade(key_.c_str()), 1);
  Strings texts = events_.texts();
  EXPECT_EQ(count(texts, "veluSendImageFile fail"), 1u);
  EXPECT_FALSE(vdev::verdict().announced);
}

TEST_F(UpgradeEntryTest, OneFailedDownloadAmongSeveralFailsTheUpgrade) {
  ASSERT_TRUE(drivers_.addFile(key_, std::string(100, 'A')));
  ASSERT_TRUE(drivers_.addFile(key_ + ".1", "b"));
  ASSERT_TRUE(drivers_.addFile(key_ + ".2", "c"));
  // One bulk write per download: the second download loses its data.
  vdev::failCall(Call::kWriteEndpointSync, 2, 31);
  EXPECT_EQ(upgrade(key_.c_str()), 1);
  Strings texts = events_.texts();
  EXPECT_EQ(count(texts, "veluSendImageFile success"), 2u);
  EXPECT_EQ(count(texts, "veluSendImageFile fail"), 1u);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2], "traverse update file fail");
  EXPECT_EQ(texts.back(), "Finished traverse update file");
  EXPECT_EQ(events_.events()[events_.events().size() - 2].type,
            EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

TEST_F(UpgradeEntryTest, EveryCallRegistersTheSourceAndNumbersOn) {
  // No file matches: six events a call.
  EXPECT_EQ(upgrade(key_.c_str()), 1);
  DWORD next = eventCounter;
  eventSource = nullptr;
  EXPECT_EQ(upgrade(key_.c_str()), 1);
  std::vector<RecordedEvent> events = events_.events();
  ASSERT_EQ(events.size(), 12u);
  EXPECT_EQ(events[6].id, next);
  EXPECT_EQ(events[6].text(), "letsStartUpgrade() entry");
  // Registered again by the second call, under the library's name.
  EXPECT_NE(eventSource, nullptr);
  EXPECT_EQ(events[6].source, eventSource);
#ifndef _WIN32
  // The host hands out one handle per source name.
  EXPECT_EQ(eventSource,
            RegisterEventSourceW(nullptr, U16("velunorUpdateExport")));
#endif
}

}  // namespace
