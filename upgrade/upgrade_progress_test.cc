// What letsStartUpgradeWithProgress tells a watching person, checked against
// the device that receives the image, and that the upgrade it runs is the one
// letsStartUpgrade runs: the same events and the same traffic.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "testing/event_recorder.h"
#include "testing/upgrade/test_drivers_folder.h"
#include "testing/virtual_clock.h"
#include "testing/virtual_device/virtual_device.h"
#include "upgrade/upgrade_entry.h"

namespace {

constexpr uint64_t kChunk = 16384;
constexpr uint64_t kSegment = 4194304;
// Two full segments and a short third: two segment syncs and a final one.
constexpr uint64_t kMultiSegmentImage = 2 * kSegment + 100;

// One report as the callback got it, with what the device held then.
struct Report {
  int32_t step;
  int32_t result;
  std::string path;
  uint64_t size;
  uint64_t sent;
  uint64_t deviceHolds;
};

void record(const UpgradeProgress* progress, void* context) {
  auto* reports = static_cast<std::vector<Report>*>(context);
  reports->push_back(
      Report{progress->step, progress->result,
             progress->image_path != nullptr ? progress->image_path : "<null>",
             progress->image_size, progress->bytes_sent,
             vdev::verdict().bytes_received});
}

std::vector<int32_t> stepsOf(const std::vector<Report>& reports) {
  std::vector<int32_t> steps;
  for (const Report& report : reports) {
    if (report.step != kUpgradeProgressBytesSent) steps.push_back(report.step);
  }
  return steps;
}

std::vector<Report> countsOf(const std::vector<Report>& reports) {
  std::vector<Report> counts;
  for (const Report& report : reports) {
    if (report.step == kUpgradeProgressBytesSent) counts.push_back(report);
  }
  return counts;
}

// What crossed the wire, without the handles' values and the time stamps
// that each announcement takes afresh.
struct Traffic {
  std::vector<vdev::Call> calls;
  std::vector<std::vector<uint8_t>> setups;
  std::vector<uint32_t> lengths;
  std::vector<std::vector<uint8_t>> payloads;

  static Traffic recorded() {
    Traffic traffic;
    for (const vdev::CallRecord& call : vdev::calls()) {
      traffic.calls.push_back(call.call);
      traffic.setups.push_back(vdev::setupBytes(call));
      traffic.lengths.push_back(call.length);
      bool announcement =
          call.call == vdev::Call::kDefaultEndpointReadWriteSync &&
          call.setup[2] == vdev::kRequestSetDownloadInfo;
      traffic.payloads.push_back(announcement ? std::vector<uint8_t>()
                                              : vdev::payload(call));
    }
    return traffic;
  }
};

class UpgradeProgressTest : public testing::Test {
 protected:
  void SetUp() override {
    vdev::reset();
    key_ = TestDriversFolder::nameOfThisTest("_fw.bin");
  }

  int32_t upgrade(uint8_t bUpdate) { return upgrade(bUpdate, key_); }

  int32_t upgrade(uint8_t bUpdate, const std::string& updateFile) {
    return letsStartUpgradeWithProgress(
        0, bUpdate, vdev::defaultInterfaceName(), updateFile.c_str(), "V4.2",
        kUpdateDeviceClass, record, &reports_);
  }

  TestDriversFolder drivers_;
  std::string key_;
  EventRecorder events_;
  VirtualClock clock_;
  std::vector<Report> reports_;
};

TEST_F(UpgradeProgressTest, CountFollowsTheDeviceToTheWholeImage) {
  struct Case {
    const char* name;
    uint8_t bUpdate;
    std::vector<int32_t> steps;
  };
  const Case cases[] = {
      {"started",
       1,
       {kUpgradeProgressSending, kUpgradeProgressCheckingDigest,
        kUpgradeProgressStarting, kUpgradeProgressImageDone}},
      {"verified only",
       0,
       {kUpgradeProgressSending, kUpgradeProgressCheckingDigest,
        kUpgradeProgressImageDone}},
  };
  ASSERT_TRUE(drivers_.addFile(key_, std::string(kMultiSegmentImage, 'm')));
  const std::string path = TestDriversFolder::path(key_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vdev::reset();
    reports_.clear();
    EXPECT_EQ(upgrade(c.bUpdate), 0);
    EXPECT_EQ(stepsOf(reports_), c.steps);
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.front().step, kUpgradeProgressSending);
    EXPECT_EQ(reports_.front().sent, 0u);
    for (const Report& report : reports_) {
      EXPECT_EQ(report.path, path);
      EXPECT_EQ(report.size, kMultiSegmentImage);
    }
    // One count per write, each exactly what the device holds at that moment:
    // rising by a chunk, the last by the rest, the whole image only at the
    // last.
    std::vector<Report> counts = countsOf(reports_);
    ASSERT_EQ(counts.size(), (kMultiSegmentImage + kChunk - 1) / kChunk);
    uint64_t before = 0;
    for (const Report& count : counts) {
      EXPECT_EQ(count.sent, count.deviceHolds);
      EXPECT_EQ(count.sent - before,
                std::min(kChunk, kMultiSegmentImage - before));
      before = count.sent;
    }
    EXPECT_EQ(counts.back().sent, kMultiSegmentImage);
    // Every count comes before the digest step.
    size_t lastCount = 0;
    size_t digestStep = 0;
    for (size_t i = 0; i < reports_.size(); ++i) {
      if (reports_[i].step == kUpgradeProgressBytesSent) lastCount = i;
      if (reports_[i].step == kUpgradeProgressCheckingDigest) digestStep = i;
    }
    EXPECT_EQ(digestStep, lastCount + 1);
    EXPECT_EQ(reports_.back().result, 0);
    EXPECT_EQ(reports_.back().sent, kMultiSegmentImage);
    EXPECT_TRUE(vdev::verdict().md5_verified);
    EXPECT_EQ(vdev::verdict().update_started, c.bUpdate != 0);
  }
}

TEST_F(UpgradeProgressTest, PulledDeviceEndsTheCountBelowTheSizeWithTheCode) {
  ASSERT_TRUE(drivers_.addFile(key_, std::string(kMultiSegmentImage, 'p')));
  // In the second segment, not on a chunk's end: the write across it fails.
  const uint64_t pulledAt = kSegment + 1000000;
  vdev::unplugAtByte(pulledAt);
  // No longer listed: the device went away before the update started.
  EXPECT_EQ(upgrade(1), kUpgradeDeviceWentAway);
  EXPECT_EQ(stepsOf(reports_),
            (std::vector<int32_t>{kUpgradeProgressSending,
                                  kUpgradeProgressImageDone}));
  std::vector<Report> counts = countsOf(reports_);
  ASSERT_FALSE(counts.empty());
  const uint64_t accepted = pulledAt / kChunk * kChunk;
  EXPECT_EQ(counts.back().sent, accepted);
  for (const Report& count : counts) EXPECT_EQ(count.sent, count.deviceHolds);
  // The data phase ended short of the image: no sync follows.
  EXPECT_EQ(reports_.back().result, kImageCancelled);
  EXPECT_EQ(reports_.back().sent, accepted);
  EXPECT_EQ(vdev::verdict().bytes_received, pulledAt);
}

TEST_F(UpgradeProgressTest, ImageThatNeverGoesOutIsDoneWithoutASize) {
  struct Case {
    const char* name;
    std::string contents;
    bool refuse;  // the device answers the announcement with a wrong state
    int32_t code;
  };
  const Case cases[] = {
      {"empty file", "", false, kImageEmpty},
      {"refused announcement", "image", true, kImageAnnouncementRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vdev::reset();
    reports_.clear();
    const std::string file = key_ + (c.refuse ? "_refused" : "_empty");
    ASSERT_TRUE(drivers_.addFile(file, c.contents));
    if (c.refuse) {
      vdev::AnswerOverride idle;
      idle.state = vdev::kStateIdle;
      vdev::overrideAnswer(vdev::kRequestGetStatus, 1, 1, idle);
    }
    EXPECT_EQ(upgrade(1, file), kUpgradeDownloadFailed);
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0].step, kUpgradeProgressImageDone);
    EXPECT_EQ(reports_[0].result, c.code);
    EXPECT_EQ(reports_[0].path, TestDriversFolder::path(file));
    EXPECT_EQ(reports_[0].size, 0u);
    EXPECT_EQ(reports_[0].sent, 0u);
  }
}

TEST_F(UpgradeProgressTest, EveryMatchingImageIsToldInTurn) {
  ASSERT_TRUE(drivers_.addFile(key_, std::string(20000, 'a')));
  ASSERT_TRUE(drivers_.addFile(key_ + ".old", std::string(5, 'b')));
  EXPECT_EQ(upgrade(0), 0);
  // Both matches send the update file itself.
  EXPECT_EQ(stepsOf(reports_),
            (std::vector<int32_t>{
                kUpgradeProgressSending, kUpgradeProgressCheckingDigest,
                kUpgradeProgressImageDone, kUpgradeProgressSending,
                kUpgradeProgressCheckingDigest, kUpgradeProgressImageDone}));
  std::vector<Report> counts = countsOf(reports_);
  ASSERT_EQ(counts.size(), 4u);
  EXPECT_EQ(counts[0].sent, 16384u);
  EXPECT_EQ(counts[1].sent, 20000u);
  EXPECT_EQ(counts[2].sent, 16384u);
  EXPECT_EQ(counts[3].sent, 20000u);
}

// A device that is not listed went away before anything was sent.
TEST_F(UpgradeProgressTest, NoDeviceTellsNothing) {
  EXPECT_EQ(
      letsStartUpgradeWithProgress(0, 1, U16("\\\\?\\usb#nobody"), key_.c_str(),
                                   "V1", kUpdateDeviceClass, record, &reports_),
      kUpgradeDeviceWentAway);
  EXPECT_TRUE(reports_.empty());
}

// The service's export and the progress export with and without a callback
// make one and the same upgrade.
TEST_F(UpgradeProgressTest, UpgradeIsTheOneLetsStartUpgradeMakes) {
  ASSERT_TRUE(drivers_.addFile(key_, std::string(kSegment + 5000, 's')));
  EXPECT_EQ(letsStartUpgrade(3, 0, vdev::defaultInterfaceName(), key_.c_str(),
                             "V4.2", kUpdateDeviceClass),
            0);
  const std::vector<std::string> texts = events_.texts();
  std::vector<WORD> types;
  for (const RecordedEvent& event : events_.events())
    types.push_back(event.type);
  const Traffic traffic = Traffic::recorded();
  ASSERT_FALSE(traffic.calls.empty());

  const UpgradeProgressCallback callbacks[] = {record, nullptr};
  for (UpgradeProgressCallback callback : callbacks) {
    SCOPED_TRACE(callback != nullptr ? "with a callback" : "without");
    vdev::reset();
    events_.clear();
    EXPECT_EQ(letsStartUpgradeWithProgress(
                  3, 0, vdev::defaultInterfaceName(), key_.c_str(), "V4.2",
                  kUpdateDeviceClass, callback, &reports_),
              0);
    EXPECT_EQ(events_.texts(), texts);
    std::vector<WORD> typesNow;
    for (const RecordedEvent& event : events_.events()) {
      typesNow.push_back(event.type);
    }
    EXPECT_EQ(typesNow, types);
    Traffic now = Traffic::recorded();
    EXPECT_EQ(now.calls, traffic.calls);
    EXPECT_EQ(now.setups, traffic.setups);
    EXPECT_EQ(now.lengths, traffic.lengths);
    EXPECT_EQ(now.payloads, traffic.payloads);
  }
  EXPECT_FALSE(reports_.empty());

  // Once the call is over, nobody listens any more.
  reports_.clear();
  vdev::reset();
  EXPECT_EQ(letsStartUpgrade(3, 0, vdev::defaultInterfaceName(), key_.c_str(),
                             "V4.2", kUpdateDeviceClass),
            0);
  EXPECT_TRUE(vdev::verdict().md5_verified);
  EXPECT_TRUE(reports_.empty());
}

}  // namespace
