#include "upgrade/control_protocol.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#ifndef _WIN32
#include "platform/host/host_testing.h"
#endif
#include "testing/event_recorder.h"
#include "testing/upgrade/virtual_interface.h"
#include "testing/virtual_clock.h"
#include "testing/virtual_device/virtual_device.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Bytes = std::vector<uint8_t>;

template <typename Record>
Bytes bytesOf(const Record& record) {
  const auto* first = reinterpret_cast<const uint8_t*>(&record);
  return Bytes(first, first + sizeof record);
}

// A transport that answers control requests from a script: each entry is a
// result and the status record to deliver with it.
class ScriptedTransport : public Transport {
 public:
  struct Answer {
    int64_t result;
    DeviceStatus status;
  };

  int64_t usb_read(void*, uint64_t) override { return -1; }
  int64_t usb_write(const void*, uint64_t) override { return -1; }
  int64_t usb_control_transfer(uint8_t direction, const void* setup,
                               void* buffer, uint32_t length) override {
    setups.push_back(Bytes(static_cast<const uint8_t*>(setup),
                           static_cast<const uint8_t*>(setup) + 8));
    directions.push_back(direction);
    Answer answer = answers.empty() ? Answer{-1, {}} : answers.front();
    if (!answers.empty()) answers.pop_front();
    if (answer.result >= 0 && buffer != nullptr) {
      std::memcpy(buffer, &answer.status, length < 8 ? length : 8);
    }
    return answer.result;
  }
  int64_t usb_close() override { return 0; }
  int64_t reserved_op() override { return 0; }
  void sleep_ms(uint32_t milliseconds) override {
    waits.push_back(milliseconds);
  }

  std::deque<Answer> answers;
  std::vector<Bytes> setups;
  std::vector<uint8_t> directions;
  std::vector<uint32_t> waits;
};

DeviceStatus statusOf(uint8_t status, uint8_t state, uint32_t written) {
  DeviceStatus record{};
  record.status = status;
  record.state = state;
  record.bytes_written = written;
  return record;
}

// The library's requests over the transport to the virtual device.
class ControlProtocolTest : public testing::Test {
 protected:
  void SetUp() override {
    vdev::reset();
    transport_ = std::make_unique<WindowsUsbTransport>(openVirtualInterface());
  }
  void TearDown() override { transport_->usb_close(); }

  int64_t announce(const char* version, uint64_t size) {
    DownloadInfo info;
    fillDownloadInfo(&info, version, size, 1, 1);
    return velunorSendControlInfo(
        transport_.get(), VLNR_USB_REQ_WUP_SET_DNLOAD_INFO, &info, sizeof info);
  }

  std::vector<vdev::CallRecord> controls() const {
    return vdev::calls(vdev::Call::kDefaultEndpointReadWriteSync);
  }

  EventRecorder events_;
  VirtualClock clock_;
  std::unique_ptr<WindowsUsbTransport> transport_;
};

void useUtcPlusEightZone() {
#ifndef _WIN32
  setenv("TZ", "CST-8", 1);
  tzset();
#endif
  // Under Wine the test runs with TZ=CST-8 in its environment (CTest).
}

// A zone without daylight time has a daylight offset of 0 on the host. Wine
// follows TZ for the zone's bias but, like the Windows zone table it copies,
// gives the matching zone (China Standard Time) a DaylightBias of -60 although
// it never changes its clocks; the field carries that value negated.
int32_t expectedDaylightOffset() {
#ifdef _WIN32
  TIME_ZONE_INFORMATION zone;
  GetTimeZoneInformation(&zone);
  EXPECT_EQ(zone.Bias, -480);
  return -zone.DaylightBias;
#else
  return 0;
#endif
}

// Setup records and payloads --------------------------------------------------

TEST_F(ControlProtocolTest, EachRequestCarriesTheSetupBytesOfItsTable) {
  DeviceStatus status;
  char digest[40] = "0123456789abcdef0123456789abcdef";
  LocalTimeStamp stamp;
  getLocalTimeStamp(&stamp);
  ASSERT_EQ(announce("1.0", 100), 64);
  ASSERT_EQ(getDeviceStatus(transport_.get(), &status), 0);
  ASSERT_EQ(velunorSendControlInfo(transport_.get(), VLNR_USB_REQ_WUP_ABORT,
                                   digest, 0),
            0);
  ASSERT_GE(
      velunorSendControlInfo(transport_.get(), VLNR_USB_REQ_WUP_GET_SYNC_STATUS,
                             &status, sizeof status),
      0);
  ASSERT_EQ(
      velunorSendControlInfo(transport_.get(), VLNR_USB_REQ_WUP_SET_MD5SUM,
                             digest, digestTextLength(digest)),
      33);
  ASSERT_EQ(
      velunorSendControlInfo(transport_.get(), VLNR_USB_REQ_WUP_START_UPDATE,
                             &stamp, sizeof stamp),
      20);

  const std::vector<Bytes> expected = {
      {0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x40, 0x00},
      {0x00, 0x81, 0x02, 0x00, 0x00, 0x00, 0x08, 0x00},
      {0x00, 0x01, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0x00, 0x81, 0x07, 0x00, 0x00, 0x00, 0x08, 0x00},
      {0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x21, 0x00},
      {0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x14, 0x00}};
  const std::vector<uint8_t> directions = {0, 1, 0, 1, 0, 0};
  const std::vector<uint32_t> lengths = {64, 8, 0, 8, 33, 20};
  std::vector<vdev::CallRecord> sent = controls();
  ASSERT_EQ(sent.size(), expected.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(vdev::setupBytes(sent[i]), expected[i]);
    EXPECT_EQ(sent[i].direction, directions[i]);
    EXPECT_EQ(sent[i].length, lengths[i]);
    EXPECT_TRUE(sent[i].result);
  }
  EXPECT_EQ(sent[2].buffer, 0u);  // no buffer with the abort
  Bytes text(digest, digest + 33);
  EXPECT_EQ(vdev::payload(sent[4]), text);
  EXPECT_EQ(vdev::payload(sent[5]), bytesOf(stamp));
  EXPECT_EQ(vdev::verdict().refused_requests, 0u);
}

TEST_F(ControlProtocolTest, DownloadInfoHasTheLayoutTheDeviceReads) {
  DownloadInfo info;
  fillDownloadInfo(&info, "1.0", 5000000, 1, 1);
  Bytes bytes = bytesOf(info);
  ASSERT_EQ(bytes.size(), 64u);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 3), (Bytes{'1', '.', '0'}));
  EXPECT_EQ(Bytes(bytes.begin() + 3, bytes.begin() + 32), Bytes(29, 0));
  EXPECT_EQ(Bytes(bytes.begin() + 32, bytes.begin() + 36),
            (Bytes{0x40, 0x4B, 0x4C, 0x00}));
  EXPECT_EQ(Bytes(bytes.begin() + 36, bytes.begin() + 40),
            (Bytes{0x00, 0x00, 0x40, 0x00}));
  EXPECT_EQ(bytes[40], 0x01);
  EXPECT_EQ(Bytes(bytes.begin() + 61, bytes.end()), Bytes(3, 0));

  ASSERT_EQ(
      velunorSendControlInfo(transport_.get(), VLNR_USB_REQ_WUP_SET_DNLOAD_INFO,
                             &info, sizeof info),
      64);
  EXPECT_EQ(vdev::payload(controls()[0]), bytes);
  vdev::Verdict seen = vdev::verdict();
  EXPECT_STREQ(seen.version, "1.0");
  EXPECT_EQ(seen.image_size, 5000000u);
  EXPECT_EQ(seen.segment_size, 4194304u);
  EXPECT_EQ(seen.force, 1);
  EXPECT_EQ(seen.state, vdev::kStateReceiving);
}

TEST_F(ControlProtocolTest, UnsegmentedImageAndLowSizeBitsOnly) {
  DownloadInfo info;
  fillDownloadInfo(&info, "2.1", 0x100000005ull, 0, 0);
  EXPECT_EQ(+info.image_size, 5u);
  EXPECT_EQ(+info.segment_size, 0u);
  EXPECT_EQ(info.force, 0);
}

TEST_F(ControlProtocolTest, LongVersionIsCutToThirtyOneCharacters) {
  std::string version(40, 'v');
  ASSERT_EQ(announce(version.c_str(), 100), 64);
  Bytes sent = vdev::payload(controls()[0]);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 31), Bytes(31, 'v'));
  EXPECT_EQ(sent[31], 0);
  EXPECT_EQ(std::string(vdev::verdict().version), std::string(31, 'v'));

  DownloadInfo info;
  fillDownloadInfo(&info, std::string(32, 'w').c_str(), 1, 1, 0);
  EXPECT_EQ(std::string(info.version), std::string(31, 'w'));
}

TEST_F(ControlProtocolTest, TimeStampCarriesTheZoneOffsetsOfUtcPlusEight) {
  useUtcPlusEightZone();
  LocalTimeStamp stamp;
  EXPECT_EQ(getLocalTimeStamp(&stamp), 0);
  EXPECT_EQ(+stamp.gmt_offset, 480);
  EXPECT_EQ(+stamp.daylight_offset, expectedDaylightOffset());
  EXPECT_GE(+stamp.year, 2024);
  EXPECT_GE(+stamp.month, 1);
  EXPECT_LE(+stamp.month, 12);

  ASSERT_EQ(announce("1.0", 10), 64);
  vdev::Verdict seen = vdev::verdict();
  EXPECT_EQ(seen.gmt_offset, 480);
  EXPECT_EQ(seen.daylight_offset, expectedDaylightOffset());
}

#ifndef _WIN32
// Any bias the zone gives, the lowest 32-bit value included (no zone has it,
// and negating it is undefined), goes on the wire negated with wrap-around.
TEST(LocalTimeStampTest, OffsetsAreTheBiasesNegatedForEveryValue) {
  struct Case {
    LONG bias;
    LONG daylight_bias;
    int32_t gmt_offset;
    int32_t daylight_offset;
  } cases[] = {{-480, 0, 480, 0},
               {300, -60, -300, 60},
               {INT32_MIN, INT32_MAX, INT32_MIN, -INT32_MAX},
               {INT32_MAX, INT32_MIN, -INT32_MAX, INT32_MIN}};
  static TIME_ZONE_INFORMATION zone;
  hostSetClockHooks(nullptr, [](TIME_ZONE_INFORMATION* out) -> DWORD {
    *out = zone;
    return TIME_ZONE_ID_UNKNOWN;
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bias);
    zone = TIME_ZONE_INFORMATION{};
    zone.Bias = c.bias;
    zone.DaylightBias = c.daylight_bias;
    LocalTimeStamp stamp;
    EXPECT_EQ(getLocalTimeStamp(&stamp), 0);
    EXPECT_EQ(+stamp.gmt_offset, c.gmt_offset);
    EXPECT_EQ(+stamp.daylight_offset, c.daylight_offset);
  }
  hostSetClockHooks(nullptr, nullptr);
}
#endif

TEST(DigestTextLengthTest, CountsTheTextAndItsTerminatorWithinTheBuffer) {
  char digest[40] = "d41d8cd98f00b204e9800998ecf8427e";
  EXPECT_EQ(digestTextLength(digest), 33u);
  char unterminated[40];
  std::memset(unterminated, 'a', sizeof unterminated);
  EXPECT_EQ(digestTextLength(unterminated), 40u);
}

// getDeviceStatus -------------------------------------------------------------

TEST(GetDeviceStatusTest, FiveFailedAttemptsGiveUpWithTheMessage) {
  EventRecorder events;
  ScriptedTransport transport;
  DeviceStatus status;
  CaptureStderr();
  EXPECT_EQ(getDeviceStatus(&transport, &status), -1);
  EXPECT_EQ(GetCapturedStderr(), "Failed to get status in 5 times retries.\n");
  EXPECT_EQ(transport.setups.size(), 5u);
  EXPECT_EQ(transport.waits, std::vector<uint32_t>(5, 200));
  EXPECT_EQ(events.texts(), std::vector<std::string>{
                                "Failed to get status in 5 times retries.\n"});
  EXPECT_EQ(events.events()[0].type, EVENTLOG_ERROR_TYPE);
}

TEST(GetDeviceStatusTest, AnyAnswerEndsThePollWhateverItsStatus) {
  ScriptedTransport transport;
  transport.answers = {{-1, {}}, {-1, {}}, {8, statusOf(7, 3, 99)}};
  DeviceStatus status;
  EXPECT_EQ(getDeviceStatus(&transport, &status), 0);
  EXPECT_EQ(status.status, 7);
  EXPECT_EQ(status.state, 3);
  EXPECT_EQ(+status.bytes_written, 99u);
  EXPECT_EQ(transport.setups.size(), 3u);
  EXPECT_EQ(transport.waits, (std::vector<uint32_t>{200, 200}));
  EXPECT_EQ(transport.directions, (std::vector<uint8_t>{1, 1, 1}));
}

TEST_F(ControlProtocolTest, StatusReadOnTheDeviceAfterAnnouncing) {
  ASSERT_EQ(announce("1.0", 4096), 64);
  DeviceStatus status;
  ASSERT_EQ(getDeviceStatus(transport_.get(), &status), 0);
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(status.state, 2);
  EXPECT_EQ(+status.bytes_written, 0u);
}

// Bytes the device leaves out would read as zero, and zero means success: an
// answer shorter than the record is no answer.
TEST_F(ControlProtocolTest, ShortStatusAnswersAreFailedAttempts) {
  for (uint32_t delivered : {0u, 2u, 7u}) {
    SCOPED_TRACE(delivered);
    vdev::reset();
    events_.clear();
    clock_.clear();
    transport_ = std::make_unique<WindowsUsbTransport>(openVirtualInterface());
    vdev::AnswerOverride short_answer;
    short_answer.status = 2;  // a refusal, had it arrived whole
    short_answer.length = delivered;
    vdev::overrideAnswer(vdev::kRequestGetStatus, 1, 5, short_answer);
    DeviceStatus status;
    std::memset(&status, 0xEE, sizeof status);
    CaptureStderr();
    EXPECT_EQ(getDeviceStatus(transport_.get(), &status), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "Failed to get status in 5 times retries.\n");
    EXPECT_EQ(controls().size(), 5u);
    EXPECT_EQ(clock_.waits(), std::vector<DWORD>(5, 200));
    EXPECT_EQ(bytesOf(status), Bytes(8, 0));
    // The transport saw five transfers go through; the poll counts none.
    std::vector<std::string> texts(5, "Control IO success");
    texts.push_back("Failed to get status in 5 times retries.\n");
    EXPECT_EQ(events_.texts(), texts);
  }
}

TEST_F(ControlProtocolTest, AWholeAnswerAfterAShortOneCounts) {
  ASSERT_EQ(announce("1.0", 4096), 64);
  vdev::AnswerOverride empty;
  empty.length = 0;
  vdev::overrideAnswer(vdev::kRequestGetStatus, 1, 1, empty);
  DeviceStatus status;
  EXPECT_EQ(getDeviceStatus(transport_.get(), &status), 0);
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(status.state, vdev::kStateReceiving);
  EXPECT_EQ(controls().size(), 3u);  // the announcement and two reads
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>{200});
}

TEST_F(ControlProtocolTest, AShortSyncAnswerEndsThePollAsAFailedRead) {
  ASSERT_EQ(announce("1.0", 4096), 64);
  for (uint32_t delivered : {0u, 7u}) {
    SCOPED_TRACE(delivered);
    events_.clear();
    clock_.clear();
    vdev::AnswerOverride short_answer;
    short_answer.status = 0;
    short_answer.bytes_written = 4096;
    short_answer.length = delivered;
    vdev::overrideAnswer(vdev::kRequestGetSyncStatus, 1, 2, short_answer);
    DeviceStatus status;
    CaptureStderr();
    EXPECT_EQ(getSyncStatus(transport_.get(), &status), -1);
    const char* text =
        "Failed to transfer all the data in 10 times retries.State: 0, "
        "Status: 0, WrittenBytes: 0\n";
    EXPECT_EQ(GetCapturedStderr(), text);
    EXPECT_EQ(events_.texts(),
              (std::vector<std::string>{"Control IO success", text}));
    EXPECT_EQ(clock_.waits(), std::vector<DWORD>{200});  // one poll
    EXPECT_EQ(bytesOf(status), Bytes(8, 0));
  }
}

TEST_F(ControlProtocolTest, DeviceThatRefusesEveryRequestCostsAllWaits) {
  vdev::failCall(vdev::Call::kDefaultEndpointReadWriteSync, 0, 31);
  DeviceStatus status;
  EXPECT_EQ(getDeviceStatus(transport_.get(), &status), -1);
  EXPECT_EQ(controls().size(), 15u);
  std::vector<DWORD> one_attempt = {300000, 300000, 300000, 200};
  std::vector<DWORD> expected;
  for (int i = 0; i < 5; ++i) {
    expected.insert(expected.end(), one_attempt.begin(), one_attempt.end());
  }
  EXPECT_EQ(clock_.waits(), expected);
  EXPECT_EQ(events_.texts().back(),
            "Failed to get status in 5 times retries.\n");
}

// getSyncStatus ---------------------------------------------------------------

TEST_F(ControlProtocolTest, SyncBusyTenTimesFailsWithTheLastAnswer) {
  ASSERT_EQ(announce("1.0", 4096), 64);
  vdev::answerBusy(vdev::kRequestGetSyncStatus, 10);
  DeviceStatus status;
  CaptureStderr();
  EXPECT_EQ(getSyncStatus(transport_.get(), &status), -1);
  const char* text =
      "Failed to transfer all the data in 10 times retries.State: 2, Status: "
      "1, WrittenBytes: 0\n";
  EXPECT_EQ(GetCapturedStderr(), text);
  EXPECT_EQ(controls().size(), 11u);  // the announcement and ten polls
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>(10, 200));
  EXPECT_EQ(events_.texts().back(), text);
  EXPECT_EQ(events_.events().back().type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(status.status, 1);
}

TEST_F(ControlProtocolTest, SyncAnsweredOnTheTenthPollSucceeds) {
  ASSERT_EQ(announce("1.0", 4096), 64);
  std::vector<uint8_t> data(3000, 1);
  ASSERT_EQ(transport_->usb_write(data.data(), data.size()), 3000);
  vdev::answerBusy(vdev::kRequestGetSyncStatus, 9);
  DeviceStatus status;
  EXPECT_EQ(getSyncStatus(transport_.get(), &status), 0);
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(+status.bytes_written, 3000u);
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>(10, 200));
}

TEST_F(ControlProtocolTest, SyncFailureStatusEndsAfterOnePoll) {
  ASSERT_EQ(announce("1.0", 4096), 64);
  vdev::AnswerOverride failed;
  failed.status = 2;
  failed.bytes_written = 77;
  vdev::overrideAnswer(vdev::kRequestGetSyncStatus, 1, 1, failed);
  DeviceStatus status;
  CaptureStderr();
  EXPECT_EQ(getSyncStatus(transport_.get(), &status), -1);
  EXPECT_EQ(GetCapturedStderr(),
            "Failed to transfer all the data in 10 times retries.State: 2, "
            "Status: 2, WrittenBytes: 77\n");
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>{200});
}

TEST(GetSyncStatusTest, FailedRequestEndsThePollWithAZeroRecord) {
  EventRecorder events;
  ScriptedTransport transport;
  transport.answers = {{-1, statusOf(9, 9, 9)}};
  DeviceStatus status;
  EXPECT_EQ(getSyncStatus(&transport, &status), -1);
  EXPECT_EQ(transport.setups.size(), 1u);
  EXPECT_EQ(transport.waits, std::vector<uint32_t>{200});
  EXPECT_EQ(events.texts(),
            std::vector<std::string>{
                "Failed to transfer all the data in 10 times retries.State: "
                "0, Status: 0, WrittenBytes: 0\n"});
}

TEST(GetSyncStatusTest, MinusTwoCountsAsBusy) {
  ScriptedTransport transport;
  transport.answers = {{-2, {}}, {-2, {}}, {8, statusOf(0, 3, 4096)}};
  DeviceStatus status;
  EXPECT_EQ(getSyncStatus(&transport, &status), 0);
  EXPECT_EQ(transport.setups.size(), 3u);
  EXPECT_EQ(transport.waits, std::vector<uint32_t>(3, 200));
  EXPECT_EQ(+status.bytes_written, 4096u);

  ScriptedTransport always_busy;
  for (int i = 0; i < 10; ++i) always_busy.answers.push_back({-2, {}});
  EventRecorder events;
  EXPECT_EQ(getSyncStatus(&always_busy, &status), -1);
  EXPECT_EQ(always_busy.setups.size(), 10u);
  EXPECT_EQ(events.texts(),
            std::vector<std::string>{
                "Failed to transfer all the data in 10 times retries.State: "
                "0, Status: 1, WrittenBytes: 0\n"});
}

}  // namespace
