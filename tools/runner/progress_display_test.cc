// What the runner shows of an upgrade's progress, on a console and in a file,
// driven by reports as the library makes them and a clock the test sets.
#include "tools/runner/progress_display.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

constexpr char kPath[] = "C:\\Windows\\System32\\drivers\\fw.bin";

class ProgressDisplayTest : public testing::Test {
 protected:
  ProgressDisplay display(bool console) {
    return ProgressDisplay(
        console, [this] { return now_; },
        [this](const char* text) { screen_ += text; });
  }

  // Reports `step` at `time` ms, as the library fills the record.
  void report(ProgressDisplay& display, uint64_t time, int32_t step,
              uint64_t size, uint64_t sent = 0, int32_t result = 0) {
    now_ = time;
    UpgradeProgress progress{step, result, kPath, size, sent};
    ProgressDisplay::report(&progress, &display);
  }

  uint64_t now_ = 0;
  std::string screen_;
};

TEST_F(ProgressDisplayTest, FileGetsALineAtMostEverySecondAndTheWholeImage) {
  ProgressDisplay shown = display(false);
  report(shown, 0, kUpgradeProgressSending, 10000000);
  report(shown, 100, kUpgradeProgressBytesSent, 10000000, 1000000);
  report(shown, 1000, kUpgradeProgressBytesSent, 10000000, 2000000);
  report(shown, 1500, kUpgradeProgressBytesSent, 10000000, 3000000);
  report(shown, 2000, kUpgradeProgressBytesSent, 10000000, 4000000);
  report(shown, 2100, kUpgradeProgressBytesSent, 10000000, 10000000);
  report(shown, 2200, kUpgradeProgressCheckingDigest, 10000000, 10000000);
  report(shown, 2300, kUpgradeProgressStarting, 10000000, 10000000);
  report(shown, 2400, kUpgradeProgressImageDone, 10000000, 10000000);
  shown.finish();
  EXPECT_EQ(screen_,
            "sending C:\\Windows\\System32\\drivers\\fw.bin: 10000000 bytes\n"
            " 2000000 of 10000000 bytes   20 %  2.0 MB/s  0:04 left\n"
            " 4000000 of 10000000 bytes   40 %  2.0 MB/s  0:03 left\n"
            "10000000 of 10000000 bytes  100 %  4.8 MB/s  0:00 left\n"
            "checking the image's MD5 digest on the device\n"
            "starting the update on the device\n"
            "done: the device verified the image and started the update\n");
}

TEST_F(ProgressDisplayTest, ConsoleRedrawsOneLineAtMostFourTimesASecond) {
  ProgressDisplay shown = display(true);
  report(shown, 0, kUpgradeProgressSending, 10000000);
  report(shown, 200, kUpgradeProgressBytesSent, 10000000, 1000000);
  report(shown, 250, kUpgradeProgressBytesSent, 10000000, 2000000);
  report(shown, 300, kUpgradeProgressBytesSent, 10000000, 10000000);
  report(shown, 400, kUpgradeProgressCheckingDigest, 10000000, 10000000);
  report(shown, 500, kUpgradeProgressImageDone, 10000000, 10000000);
  shown.finish();
  // The second count is one character shorter than the first, and blanks it.
  EXPECT_EQ(screen_,
            "sending C:\\Windows\\System32\\drivers\\fw.bin: 10000000 bytes\n"
            "\r       0 of 10000000 bytes    0 %  --.- MB/s  -:-- left"
            "\r 2000000 of 10000000 bytes   20 %  8.0 MB/s  0:01 left "
            "\r10000000 of 10000000 bytes  100 %  33.3 MB/s  0:00 left\n"
            "checking the image's MD5 digest on the device\n"
            "done: the device verified the image\n");
}

TEST_F(ProgressDisplayTest, FailureEndsTheCountWithTheCodeAndHowFarItGot) {
  struct Case {
    const char* name;
    bool console;
    const char* shown;
  };
  const Case cases[] = {
      {"file", false,
       "sending C:\\Windows\\System32\\drivers\\fw.bin: 10000000 bytes\n"
       " 4997120 of 10000000 bytes   49 %  5.0 MB/s  0:02 left\n"
       "failed with code -9 (the device's final count was not read) at "
       "4997120 of 10000000 bytes (49 %)\n"},
      {"console", true,
       "sending C:\\Windows\\System32\\drivers\\fw.bin: 10000000 bytes\n"
       "\r       0 of 10000000 bytes    0 %  --.- MB/s  -:-- left"
       "\r 4997120 of 10000000 bytes   49 %  5.0 MB/s  0:02 left \n"
       "failed with code -9 (the device's final count was not read) at "
       "4997120 of 10000000 bytes (49 %)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    screen_.clear();
    ProgressDisplay shown = display(c.console);
    report(shown, 0, kUpgradeProgressSending, 10000000);
    report(shown, 1000, kUpgradeProgressBytesSent, 10000000, 4997120);
    report(shown, 1100, kUpgradeProgressImageDone, 10000000, 4997120, -9);
    shown.finish();
    EXPECT_EQ(screen_, c.shown);
  }
}

// A download cancelled because the device went shows no failure line of
// its own: the runner then says where the device was removed.
TEST_F(ProgressDisplayTest, ACancelledImageLeavesTheRemovalToSayWhereItStood) {
  ProgressDisplay shown = display(false);
  report(shown, 0, kUpgradeProgressSending, 8000000);
  report(shown, 1000, kUpgradeProgressBytesSent, 8000000, 2000000);
  report(shown, 1100, kUpgradeProgressImageDone, 8000000, 2000000,
         kImageCancelled);
  shown.deviceRemoved();
  EXPECT_EQ(screen_,
            "sending C:\\Windows\\System32\\drivers\\fw.bin: 8000000 bytes\n"
            "2000000 of 8000000 bytes   25 %  2.0 MB/s  0:03 left\n"
            "the device was removed at 2000000 of 8000000 bytes (25 %)\n");
}

TEST_F(ProgressDisplayTest, ImageThatNeverWentOutIsNamedWithItsCode) {
  ProgressDisplay shown = display(true);
  report(shown, 0, kUpgradeProgressImageDone, 0, 0, -22);
  shown.finish();
  EXPECT_EQ(screen_,
            "could not send C:\\Windows\\System32\\drivers\\fw.bin: code -22 "
            "(the image file cannot be opened, or it is 4 GiB or larger)\n");
}

TEST_F(ProgressDisplayTest, SpeedAndTimeLeftFromTheDataSoFar) {
  struct Case {
    uint64_t size;
    uint64_t sent;
    uint64_t elapsedMs;
    const char* count;
  };
  const Case cases[] = {
      // A second under an hour, and the hour itself.
      {3600000000, 1000000, 1000,
       "   1000000 of 3600000000 bytes    0 %  1.0 MB/s  59:59 left\n"},
      {3601000000, 1000000, 1000,
       "   1000000 of 3601000000 bytes    0 %  1.0 MB/s  1:00:00 left\n"},
      // Part of a second left counts as a whole one.
      {1000, 999, 1000, " 999 of 1000 bytes   99 %  0.0 MB/s  0:01 left\n"},
      // 256 MiB at the modelled device's pace.
      {268435456, 134217728, 9790,
       "134217728 of 268435456 bytes   50 %  13.7 MB/s  0:10 left\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    screen_.clear();
    ProgressDisplay shown = display(false);
    report(shown, 0, kUpgradeProgressSending, c.size);
    screen_.clear();
    report(shown, c.elapsedMs, kUpgradeProgressBytesSent, c.size, c.sent);
    EXPECT_EQ(screen_, c.count);
  }
}

}  // namespace
