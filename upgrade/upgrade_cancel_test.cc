// letsCancelUpgrade against the virtual device: whichever request the cancel
// meets, the device hears nothing more, no wait lasts, every handle is closed
// and, unless the device had taken the start request, the upgrade says the
// device went away.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/upgrade_contract.h"
#include "testing/event_recorder.h"
#include "testing/upgrade/test_drivers_folder.h"
#include "testing/virtual_clock.h"
#include "testing/virtual_device/virtual_device.h"
#include "upgrade/upgrade_entry.h"

namespace {

using Strings = std::vector<std::string>;
using vdev::Call;

// Two full segments and a bit: 9 MiB in 16 KiB writes.
constexpr size_t kImageBytes = 9 * 1024 * 1024 + 100;

// Where the cancel comes: inside the nth bulk write (request 0), or the nth
// control request of a code, as the device answers it.
struct CancelPoint {
  const char* name;
  uint16_t request;
  uint32_t nth;
  bool pullOut;  // the device is gone as well, as on a real removal
  // Once the start request went out, a cancel is the device restarting:
  // the start is not confirmed.
  int32_t result = kUpgradeDeviceWentAway;
};

// Answers as the device would, and cancels at the point.
struct Canceller {
  CancelPoint point;
  uint32_t writes = 0;
  uint32_t requests = 0;
  size_t callsAtCancel = 0;  // the record's length once the cancel is set
  size_t waitsAtCancel = 0;
  const VirtualClock* clock = nullptr;
  bool pullNext = false;

  void cancel() {
    letsCancelUpgrade();
    // The call in flight is recorded as it ends.
    callsAtCancel = vdev::callCount() + 1;
    waitsAtCancel = clock->waits().size();
    pullNext = point.pullOut;
  }
};

vdev::Fate fateOf(void* context, Call, uint32_t* error) {
  auto* canceller = static_cast<Canceller*>(context);
  if (!canceller->pullNext) return vdev::Fate::kAnswer;
  *error = 6;
  return vdev::Fate::kPullOut;
}

uint32_t writeCountOf(void* context, uint32_t, uint32_t taking) {
  auto* canceller = static_cast<Canceller*>(context);
  if (canceller->point.request == 0 &&
      ++canceller->writes == canceller->point.nth) {
    canceller->cancel();
  }
  return taking;
}

uint32_t controlCountOf(void* context, uint16_t request, uint32_t length,
                        uint8_t*) {
  auto* canceller = static_cast<Canceller*>(context);
  if (request == canceller->point.request &&
      ++canceller->requests == canceller->point.nth) {
    canceller->cancel();
  }
  return length;
}

class UpgradeCancelTest : public testing::Test {
 protected:
  void SetUp() override {
    vdev::reset();
    key_ = TestDriversFolder::nameOfThisTest("_fw.bin");
    // Parameterised names carry slashes.
    std::replace(key_.begin(), key_.end(), '/', '_');
    ASSERT_TRUE(drivers_.addFile(key_, std::string(kImageBytes, 'C')));
  }
  void TearDown() override { vdev::setAnswerSource(nullptr); }

  int32_t upgrade() {
    return letsStartUpgrade(0, 1, vdev::defaultInterfaceName(), key_.c_str(),
                            "V3.0", kUpdateDeviceClass);
  }

  TestDriversFolder drivers_;
  std::string key_;
  EventRecorder events_;
};

class CancelAtTest : public UpgradeCancelTest,
                     public testing::WithParamInterface<CancelPoint> {};

void PrintTo(const CancelPoint& point, std::ostream* out) {
  *out << point.name;
}

TEST_P(CancelAtTest, TheDeviceHearsNothingMoreAndNoWaitLasts) {
  VirtualClock clock;
  Canceller canceller{GetParam()};
  canceller.clock = &clock;
  vdev::AnswerSource source;
  source.context = &canceller;
  source.fate = fateOf;
  source.writeCount = writeCountOf;
  source.controlCount = controlCountOf;
  vdev::setAnswerSource(&source);

  EXPECT_EQ(upgrade(), GetParam().result);

  ASSERT_NE(canceller.callsAtCancel, 0u) << "the cancel point was not reached";
  std::vector<vdev::CallRecord> calls = vdev::calls();
  for (size_t i = canceller.callsAtCancel; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].call, Call::kCloseHandle)
        << "call " << i + 1 << " after the cancel: "
        << vdev::callName(calls[i].call);
  }
  EXPECT_EQ(clock.waits().size(), canceller.waitsAtCancel);
  EXPECT_EQ(vdev::openHandleCount(), 0u);
  Strings texts = events_.texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "download cancelled"),
            GetParam().result == kUpgradeDeviceWentAway ? 1 : 0);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "veluSendImageFile success"),
            0);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2],
            GetParam().result == kUpgradeStartUnconfirmed
                ? "the device was told to start its update and did not "
                  "confirm it"
                : "traverse update file fail");
  EXPECT_EQ(texts.back(), "Finished traverse update file");
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, CancelAtTest,
    testing::Values(
        CancelPoint{"announcement", vdev::kRequestSetDownloadInfo, 1, false},
        CancelPoint{"fortieth_write", 0, 40, false},
        CancelPoint{"fortieth_write_device_pulled", 0, 40, true},
        CancelPoint{"last_write_of_a_segment", 0, 256, false},
        CancelPoint{"first_sync_poll", vdev::kRequestGetSyncStatus, 1, false},
        CancelPoint{"second_sync_poll_device_pulled",
                    vdev::kRequestGetSyncStatus, 2, true},
        CancelPoint{"digest", vdev::kRequestSetMd5Sum, 1, false},
        CancelPoint{"start", vdev::kRequestStartUpdate, 1, false,
                    kUpgradeStartUnconfirmed},
        CancelPoint{"start_device_pulled", vdev::kRequestStartUpdate, 1, true,
                    kUpgradeStartUnconfirmed}),
    [](const testing::TestParamInfo<CancelPoint>& info) {
      return std::string(info.param.name);
    });

// The wait after a refused control request is five minutes; the cancel ends
// it in real time, and the request is not tried again.
TEST_F(UpgradeCancelTest, TheCancelEndsTheFiveMinuteWait) {
  vdev::failCall(Call::kDefaultEndpointReadWriteSync, 0, 31);
  std::atomic<int32_t> result{-100};
  std::atomic<bool> done{false};
  std::thread upgrading([&] {
    result = upgrade();
    done = true;
  });
  // The first refused request means the wait has begun or is about to.
  while (vdev::calls(Call::kDefaultEndpointReadWriteSync).empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto cancelled = std::chrono::steady_clock::now();
  letsCancelUpgrade();
  upgrading.join();
  auto took = std::chrono::steady_clock::now() - cancelled;

  EXPECT_EQ(result, kUpgradeDeviceWentAway);
  // Far below the wait's five minutes, however busy the machine.
  EXPECT_LT(took, std::chrono::seconds(60));
  EXPECT_EQ(vdev::calls(Call::kDefaultEndpointReadWriteSync).size(), 1u);
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

// A cancel set before an upgrade, or left from the last one, is cleared as
// the next one begins: that one upgrades.
TEST_F(UpgradeCancelTest, TheNextUpgradeBeginsWithoutTheCancel) {
  VirtualClock clock;
  letsCancelUpgrade();
  EXPECT_EQ(upgrade(), kUpgradeSucceeded);
  vdev::Verdict verdict = vdev::verdict();
  EXPECT_TRUE(verdict.md5_verified);
  EXPECT_TRUE(verdict.update_started);
  // The waits before the three sync polls, none spared.
  EXPECT_EQ(clock.waits(), std::vector<DWORD>(3, 200));
  Strings texts = events_.texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "download cancelled"), 0);
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

}  // namespace
