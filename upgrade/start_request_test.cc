// The start request is the line: wherever the device goes, and whether or
// not the caller cancels when it sees it go, the device receives at most one
// start request per call, a call that handed one to the transport never says
// the device went away, and the listener hears of the start before the
// request can reach the device.
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

using Strings = std::vector<std::string>;
using vdev::Call;

// Several writes, one segment.
constexpr size_t kImageBytes = 100000;
// Long enough that the device is not back before the call ends.
constexpr uint32_t kDownMs = 600000;
// How long the start request takes to fail when the device reset before
// answering it.
constexpr uint32_t kUnansweredMs = 50;

constexpr char kUnconfirmed[] =
    "the device was told to start its update and did not confirm it";

size_t startRequestsOnTheWire() {
  size_t starts = 0;
  for (const vdev::CallRecord& r :
       vdev::calls(Call::kDefaultEndpointReadWriteSync)) {
    if (r.setup[2] == vdev::kRequestStartUpdate) ++starts;
  }
  return starts;
}

// Where the device goes.
enum class Going {
  kBeforeTheData,     // at the announcement
  kInTheDataPhase,    // at the third data write
  kInTheDigestCheck,  // at the digest request
  kStartUnanswered,   // takes the start request, resets before answering
  kStartAccepted,     // answers the start request, then restarts
  kStartAcceptedBack,  // the same, back before its status is read
  kStartConfirmed,    // goes after the status read confirmed the start
};

struct Case {
  const char* name;
  Going going;
  int32_t result;
  size_t starts;  // start requests on the wire
};

const Case kCases[] = {
    {"before the data", Going::kBeforeTheData, kUpgradeDeviceWentAway, 0},
    {"in the data phase", Going::kInTheDataPhase, kUpgradeDeviceWentAway, 0},
    {"in the digest check", Going::kInTheDigestCheck, kUpgradeDeviceWentAway,
     0},
    {"start unanswered", Going::kStartUnanswered, kUpgradeStartUnconfirmed, 1},
    {"start accepted", Going::kStartAccepted, kUpgradeStartUnconfirmed, 1},
    {"start accepted, back at once", Going::kStartAcceptedBack,
     kUpgradeSucceeded, 1},
    {"start confirmed", Going::kStartConfirmed, kUpgradeSucceeded, 1},
};

struct Watch {
  bool cancel = false;  // the caller cancels when it sees the device go
  size_t startsOnTheWireAtStarting = SIZE_MAX;
  int startingReports = 0;
};

void listen(const UpgradeProgress* progress, void* context) {
  auto* watch = static_cast<Watch*>(context);
  if (progress->step == kUpgradeProgressStarting) {
    ++watch->startingReports;
    watch->startsOnTheWireAtStarting = startRequestsOnTheWire();
  }
}

// The device goes after its confirmed start: once the image is done.
void listenAndPullAfterTheImage(const UpgradeProgress* progress,
                                void* context) {
  listen(progress, context);
  if (progress->step != kUpgradeProgressImageDone) return;
  vdev::unplug();
  if (static_cast<Watch*>(context)->cancel) letsCancelUpgrade();
}

void script(Going going) {
  switch (going) {
    case Going::kBeforeTheData:
      vdev::pullAt(vdev::kRequestSetDownloadInfo, 1, 0);
      break;
    case Going::kInTheDataPhase:
      vdev::pullAt(0, 3, 0);
      break;
    case Going::kInTheDigestCheck:
      vdev::pullAt(vdev::kRequestSetMd5Sum, 1, 0);
      break;
    case Going::kStartUnanswered:
      vdev::restartBeforeAnswering(kDownMs, kUnansweredMs);
      break;
    case Going::kStartAccepted:
      vdev::restartOnStart(kDownMs, 0);
      break;
    case Going::kStartAcceptedBack:
      vdev::restartOnStart(0, 0);
      break;
    case Going::kStartConfirmed:
      break;
  }
}

class StartRequestTest : public testing::Test {
 protected:
  void SetUp() override {
    key_ = TestDriversFolder::nameOfThisTest("_fw.bin");
    // Two matches: today's search would send the image, and its start
    // request, once for each.
    ASSERT_TRUE(drivers_.addFile(key_, std::string(kImageBytes, 'S')));
    ASSERT_TRUE(drivers_.addFile(key_ + ".old", std::string(10, 'O')));
  }
  void TearDown() override { events_.onEvent(nullptr); }

  TestDriversFolder drivers_;
  std::string key_;
  EventRecorder events_;
  VirtualClock clock_;
};

TEST_F(StartRequestTest, WhereverTheDeviceGoesItHearsOneStartAtMost) {
  for (const Case& c : kCases) {
    for (bool cancel : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (cancel ? ", cancelled" : ""));
      vdev::reset();
      events_.clear();
      script(c.going);
      Watch watch;
      watch.cancel = cancel;
      // The caller's cancel follows the device's going, as its removal's
      // broadcast does: at the first call that fails because it is gone.
      events_.onEvent([cancel](const RecordedEvent& event) {
        if (cancel && event.text().find("errno: 1167") != std::string::npos) {
          letsCancelUpgrade();
        }
      });
      UpgradeProgressCallback callback = c.going == Going::kStartConfirmed
                                             ? listenAndPullAfterTheImage
                                             : listen;

      int32_t result = letsStartUpgradeChecked(
          0, 1, vdev::defaultInterfaceName(), key_.c_str(), "V5.0",
          kUpdateDeviceClass, nullptr, callback, &watch);

      EXPECT_EQ(result, c.result);
      EXPECT_EQ(startRequestsOnTheWire(), c.starts);
      EXPECT_EQ(vdev::verdict().starts, c.starts);
      EXPECT_EQ(watch.startingReports, static_cast<int>(c.starts));
      if (c.starts != 0) {
        EXPECT_EQ(watch.startsOnTheWireAtStarting, 0u);
      }
      Strings texts = events_.texts();
      EXPECT_EQ(std::count(texts.begin(), texts.end(), kUnconfirmed),
                c.result == kUpgradeStartUnconfirmed ? 1 : 0);
      // The second match is named, not sent, once the line is crossed.
      size_t skipped = std::count_if(
          texts.begin(), texts.end(), [](const std::string& text) {
            return text.rfind("update file not sent, the device was told to "
                              "start its update: ",
                              0) == 0;
          });
      EXPECT_EQ(skipped, c.starts);
      EXPECT_EQ(vdev::openHandleCount(), 0u);
      events_.onEvent(nullptr);
    }
  }
}

// Without the start request (bUpdate 0) there is no line: every match is
// sent, as it always was.
TEST_F(StartRequestTest, WithoutTheStartEveryMatchIsSent) {
  vdev::reset();
  EXPECT_EQ(letsStartUpgrade(0, 0, vdev::defaultInterfaceName(), key_.c_str(),
                             "V5.0", kUpdateDeviceClass),
            kUpgradeSucceeded);
  EXPECT_EQ(vdev::verdict().announcements, 2u);
  EXPECT_EQ(startRequestsOnTheWire(), 0u);
}

// A status read that succeeds with a failure status is the device refusing
// the start: a failure, and nothing more is sent.
TEST_F(StartRequestTest, ARefusedStartIsAFailureAndEndsTheCall) {
  vdev::reset();
  vdev::AnswerOverride refused;
  refused.status = vdev::kStatusFailed;
  // The status reads: announcement, digest, start.
  vdev::overrideAnswer(vdev::kRequestGetStatus, 3, 1, refused);
  EXPECT_EQ(letsStartUpgrade(0, 1, vdev::defaultInterfaceName(), key_.c_str(),
                             "V5.0", kUpdateDeviceClass),
            kUpgradeDownloadFailed);
  EXPECT_EQ(startRequestsOnTheWire(), 1u);
  EXPECT_EQ(vdev::verdict().announcements, 1u);
  Strings texts = events_.texts();
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2], "traverse update file fail");
}

}  // namespace
