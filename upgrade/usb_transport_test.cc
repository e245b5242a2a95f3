#include "upgrade/usb_transport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "testing/event_recorder.h"
#include "testing/upgrade/virtual_interface.h"
#include "testing/virtual_clock.h"
#include "testing/virtual_device/virtual_device.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// GET_STATUS as the device expects it.
const uint8_t kStatusSetup[8] = {0x00, 0x81, 0x02, 0x00,
                                 0x00, 0x00, 0x08, 0x00};

class UsbTransportTest : public testing::Test {
 protected:
  void SetUp() override {
    vdev::reset();
    vdev::acceptUnannouncedData(true);
  }

  // Opens the device's interface as discovery does and hands it over.
  std::unique_ptr<WindowsUsbTransport> open(uint32_t zlp_mask = 511) {
    auto record = openVirtualInterface(zlp_mask);
    record->interface_name = "usb#vid_3f3a&pid_9206";
    handles_ = {vdev::calls()[0].result_handle, vdev::calls()[1].result_handle,
                vdev::calls()[2].result_handle};
    mark_ = vdev::callCount();
    return std::make_unique<WindowsUsbTransport>(std::move(record));
  }

  // The calls the transport made, of one kind.
  std::vector<vdev::CallRecord> made(vdev::Call kind) const {
    std::vector<vdev::CallRecord> some;
    std::vector<vdev::CallRecord> all = vdev::calls();
    for (size_t i = mark_; i < all.size(); ++i) {
      if (all[i].call == kind) some.push_back(all[i]);
    }
    return some;
  }

  std::vector<uint32_t> writeLengths() const {
    std::vector<uint32_t> lengths;
    for (const auto& r : made(vdev::Call::kWriteEndpointSync)) {
      lengths.push_back(r.length);
    }
    return lengths;
  }

  // Handles the transport closed, in order.
  std::vector<uint64_t> closed() const {
    std::vector<uint64_t> order;
    for (const auto& r : made(vdev::Call::kCloseHandle))
      order.push_back(r.handle);
    return order;
  }

  EventRecorder events_;
  VirtualClock clock_;
  std::vector<uint64_t> handles_;  // interface, read, write
  size_t mark_ = 0;
};

uint64_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Writes --------------------------------------------------------------------

TEST_F(UsbTransportTest, WriteOfNothingSendsAndLogsNothing) {
  auto transport = open();
  CaptureStderr();
  EXPECT_EQ(transport->usb_write(nullptr, 0), 0);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(vdev::callCount(), mark_);
  EXPECT_TRUE(events_.events().empty());
}

TEST_F(UsbTransportTest, WholePacketsEndWithAZeroLengthPacket) {
  auto transport = open(511);
  std::vector<uint8_t> data(16384, 0x5A);
  EXPECT_EQ(transport->usb_write(data.data(), data.size()), 16384);
  EXPECT_EQ(writeLengths(), (std::vector<uint32_t>{16384, 0}));
  EXPECT_EQ(transport->usb_write(data.data(), 1000), 1000);
  EXPECT_EQ(writeLengths(), (std::vector<uint32_t>{16384, 0, 1000}));
  for (const auto& r : made(vdev::Call::kWriteEndpointSync)) {
    EXPECT_EQ(r.handle, handles_[2]);
    EXPECT_EQ(r.timeout, 20000u);
  }
  EXPECT_EQ(vdev::verdict().bytes_received, 17384u);
  EXPECT_TRUE(events_.events().empty());
}

TEST_F(UsbTransportTest, WriteAboveOneMebibyteIsSplitWithItsZeroLengthPacket) {
  auto transport = open(511);
  std::vector<uint8_t> data(1048577);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(transport->usb_write(data.data(), data.size()), 1048577);
  std::vector<vdev::CallRecord> writes = made(vdev::Call::kWriteEndpointSync);
  ASSERT_EQ(writeLengths(), (std::vector<uint32_t>{1048576, 0, 1}));
  EXPECT_EQ(writes[0].buffer, address(data.data()));
  EXPECT_EQ(writes[1].buffer, address(data.data()));
  EXPECT_EQ(writes[2].buffer, address(data.data() + 1048576));
  EXPECT_EQ(vdev::payload(writes[2]), std::vector<uint8_t>{data[1048576]});
  EXPECT_EQ(vdev::verdict().bytes_received, 1048577u);
}

class ZlpMaskTest : public UsbTransportTest,
                    public testing::WithParamInterface<uint32_t> {};

TEST_P(ZlpMaskTest, NoZeroLengthPacketIsEverSent) {
  auto transport = open(GetParam());
  std::vector<uint8_t> data(1048577);
  EXPECT_EQ(transport->usb_write(data.data(), 16384), 16384);
  EXPECT_EQ(transport->usb_write(data.data(), 1), 1);
  EXPECT_EQ(transport->usb_write(data.data(), data.size()), 1048577);
  EXPECT_EQ(writeLengths(), (std::vector<uint32_t>{16384, 1, 1048576, 1}));
}

// Mask 0: maximum packet size 1. All ones: a reported size of 0.
INSTANTIATE_TEST_SUITE_P(PacketSizeOneAndZero, ZlpMaskTest,
                         testing::Values(0u, 0xFFFFFFFFu));

TEST_F(UsbTransportTest, ShortWriteContinuesWhereTheDeviceStopped) {
  auto transport = open(511);
  vdev::limitWrites(1000);
  std::vector<uint8_t> data(2500);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(transport->usb_write(data.data(), data.size()), 2500);
  std::vector<vdev::CallRecord> writes = made(vdev::Call::kWriteEndpointSync);
  ASSERT_EQ(writeLengths(), (std::vector<uint32_t>{2500, 1500, 500}));
  EXPECT_EQ(writes[1].buffer, address(data.data() + 1000));
  EXPECT_EQ(writes[2].buffer, address(data.data() + 2000));
  EXPECT_EQ(vdev::payload(writes[2])[0], data[2000]);
  EXPECT_EQ(vdev::verdict().bytes_received, 2500u);
}

// A count of nothing would have the same chunk resent for ever; a count above
// what was asked would run the position past the buffer.
TEST_F(UsbTransportTest, WriteWhoseCountCannotBeTrueFails) {
  for (bool over : {false, true}) {
    SCOPED_TRACE(over ? "more than asked" : "nothing");
    vdev::reset();
    vdev::acceptUnannouncedData(true);
    events_.clear();
    auto transport = open(511);
    if (over) {
      vdev::overReportWrites(1, 1000);
    } else {
      vdev::zeroByteWrites(1, 1000);
    }
    std::vector<uint8_t> data(100);
    CaptureStderr();
    EXPECT_EQ(transport->usb_write(data.data(), data.size()), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "AdbWriteEndpointSync returned 0, errno: 31\n");
    EXPECT_EQ(writeLengths(), std::vector<uint32_t>{100});
    EXPECT_EQ(made(vdev::Call::kWriteEndpointSync)[0].moved, over ? 101u : 0u);
    EXPECT_EQ(errno, 31);
    EXPECT_EQ(events_.texts(),
              std::vector<std::string>{"AdbWriteEndpointSync, errno: 31"});
    EXPECT_EQ(events_.events()[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_NE(transport->device()->write_endpoint, nullptr);
    transport->usb_close();
  }
}

TEST_F(UsbTransportTest, FailedZeroLengthPacketHasItsOwnText) {
  auto transport = open(511);
  vdev::failCall(vdev::Call::kWriteEndpointSync, 2, 31);
  std::vector<uint8_t> data(512);
  CaptureStderr();
  EXPECT_EQ(transport->usb_write(data.data(), data.size()), -1);
  EXPECT_EQ(GetCapturedStderr(),
            "AdbWriteEndpointSync ZLP returned 0, errno: 31\n");
  EXPECT_EQ(events_.texts(),
            std::vector<std::string>{"AdbWriteEndpointSync, errno: 31"});
}

TEST_F(UsbTransportTest, LostDeviceClosesTheThreeHandlesAndKeepsTheRecord) {
  auto transport = open(511);
  vdev::unplugAtByte(20000);
  std::vector<uint8_t> data(65536);
  CaptureStderr();
  EXPECT_EQ(transport->usb_write(data.data(), data.size()), -1);
  EXPECT_EQ(GetCapturedStderr(), "AdbWriteEndpointSync returned 0, errno: 6\n");
  EXPECT_EQ(closed(),
            (std::vector<uint64_t>{handles_[2], handles_[1], handles_[0]}));
  EXPECT_EQ(vdev::openHandleCount(), 0u);
  const UsbDeviceHandle* record = transport->device();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->interface_handle, nullptr);
  EXPECT_EQ(record->read_endpoint, nullptr);
  EXPECT_EQ(record->write_endpoint, nullptr);
  EXPECT_EQ(record->interface_name, "");
  EXPECT_EQ(record->zlp_mask, 511u);

  // Lost: writes hand a null endpoint to the library, which refuses it.
  EXPECT_EQ(transport->usb_write(data.data(), 10), -1);
  std::vector<vdev::CallRecord> writes = made(vdev::Call::kWriteEndpointSync);
  EXPECT_EQ(writes.back().handle, 0u);
  EXPECT_EQ(closed().size(), 3u);
  EXPECT_EQ(transport->usb_close(), 0);
  EXPECT_EQ(transport->device(), nullptr);
}

TEST_F(UsbTransportTest, OtherWriteErrorsLeaveTheHandlesOpen) {
  auto transport = open(511);
  vdev::failCall(vdev::Call::kWriteEndpointSync, 1, 121);
  std::vector<uint8_t> data(100);
  EXPECT_EQ(transport->usb_write(data.data(), data.size()), -1);
  EXPECT_TRUE(closed().empty());
  EXPECT_EQ(vdev::openHandleCount(), 3u);
}

TEST_F(UsbTransportTest, WriteAfterCloseFailsWithTheEarlierErrno) {
  auto transport = open();
  transport->usb_close();
  errno = 34;
  CaptureStderr();
  EXPECT_EQ(transport->usb_write("x", 1), -1);
  DWORD error = GetLastError();
  EXPECT_EQ(GetCapturedStderr(), "usb_write failed: 34\n");
  EXPECT_EQ(error, 6u);
  EXPECT_EQ(events_.texts(),
            (std::vector<std::string>{"transport handle is NULL",
                                      "usb_write failed, errno: 34"}));
}

// Reads ---------------------------------------------------------------------

TEST_F(UsbTransportTest, ReadAsksForAtMostOneMebibyteAndTracesEveryStep) {
  auto transport = open();
  const uint8_t answer[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  vdev::queueReadData(answer, sizeof answer);
  std::vector<uint8_t> buffer(2 * 1048576);
  CaptureStderr();
  SetLastError(0);
  EXPECT_EQ(transport->usb_read(buffer.data(), buffer.size()), 10);
  EXPECT_EQ(GetCapturedStderr(),
            "usb_read 2097152\n"
            "usb_read got: 10, expected: 1048576, errno: 0\n");
  std::vector<vdev::CallRecord> reads = made(vdev::Call::kReadEndpointSync);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].handle, handles_[1]);
  EXPECT_EQ(reads[0].length, 1048576u);
  EXPECT_EQ(reads[0].timeout, 0u);
  EXPECT_EQ(buffer[9], 10);
  std::vector<RecordedEvent> events = events_.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].text(), "usb_read 2097152\n");
  EXPECT_EQ(events[1].text(),
            "usb_read got: 10, expected: 1048576, errno: 0\n");
  for (const RecordedEvent& event : events) {
    EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
  }
}

TEST_F(UsbTransportTest, ReadOfALostDeviceClosesItsHandles) {
  auto transport = open();
  vdev::unplug();
  uint8_t buffer[64];
  CaptureStderr();
  EXPECT_EQ(transport->usb_read(buffer, sizeof buffer), -1);
  EXPECT_EQ(GetCapturedStderr(),
            "usb_read 64\n"
            "usb_read got: 0, expected: 64, errno: 6\n"
            "usb_read failed: 6\n");
  EXPECT_EQ(events_.texts().back(), "usb_read failed, errno: 6");
  EXPECT_EQ(errno, 6);
  EXPECT_EQ(closed().size(), 3u);
  EXPECT_EQ(transport->device()->read_endpoint, nullptr);
}

TEST_F(UsbTransportTest, ReadAfterCloseReportsTheNullHandle) {
  auto transport = open();
  transport->usb_close();
  errno = 5;
  uint8_t buffer[4];
  CaptureStderr();
  EXPECT_EQ(transport->usb_read(buffer, sizeof buffer), -1);
  DWORD error = GetLastError();
  EXPECT_EQ(GetCapturedStderr(),
            "usb_read 4\nusb_read NULL handle\nusb_read failed: 5\n");
  EXPECT_EQ(error, 6u);
  EXPECT_EQ(events_.texts(),
            (std::vector<std::string>{"usb_read 4\n", "usb_read NULL handle\n",
                                      "usb_read failed, errno: 5"}));
}

// Control transfers ---------------------------------------------------------

TEST_F(UsbTransportTest, ControlTransferRetriesAfterFiveMinuteWaits) {
  auto transport = open();
  vdev::failCall(vdev::Call::kDefaultEndpointReadWriteSync, 1, 31);
  vdev::failCall(vdev::Call::kDefaultEndpointReadWriteSync, 2, 31);
  uint8_t status[8] = {};
  CaptureStderr();
  EXPECT_EQ(transport->usb_control_transfer(1, kStatusSetup, status, 8), 8);
  EXPECT_EQ(GetCapturedStderr(),
            "usb_control_transfer failed. errno: 31\n"
            "usb_control_transfer failed. errno: 31\n");
  EXPECT_EQ(clock_.waits(), (std::vector<DWORD>{300000, 300000}));
  EXPECT_EQ(events_.texts(),
            (std::vector<std::string>{
                "AdbDefaultEndpointReadWriteSync, errno: 31",
                "error => timeout, do retry.",
                "AdbDefaultEndpointReadWriteSync, errno: 31",
                "error => timeout, do retry.", "Control IO success"}));
  std::vector<RecordedEvent> events = events_.events();
  EXPECT_EQ(events[3].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[4].type, EVENTLOG_INFORMATION_TYPE);
  std::vector<vdev::CallRecord> tries =
      made(vdev::Call::kDefaultEndpointReadWriteSync);
  ASSERT_EQ(tries.size(), 3u);
  for (const auto& t : tries) {
    EXPECT_EQ(t.handle, handles_[0]);
    EXPECT_EQ(t.direction, 1);
    EXPECT_EQ(vdev::setupBytes(t),
              std::vector<uint8_t>(kStatusSetup, kStatusSetup + 8));
    EXPECT_EQ(t.length, 8u);
    EXPECT_EQ(t.buffer, address(status));
  }
}

TEST_F(UsbTransportTest, ControlTransferGivesUpAfterTheThirdWait) {
  auto transport = open();
  vdev::failCall(vdev::Call::kDefaultEndpointReadWriteSync, 0, 31);
  uint8_t status[8];
  EXPECT_EQ(transport->usb_control_transfer(1, kStatusSetup, status, 8), -1);
  EXPECT_EQ(errno, 121);
  EXPECT_EQ(clock_.waits(), (std::vector<DWORD>{300000, 300000, 300000}));
  EXPECT_EQ(made(vdev::Call::kDefaultEndpointReadWriteSync).size(), 3u);
  EXPECT_EQ(events_.texts().size(), 6u);
  EXPECT_EQ(events_.texts().back(), "error => timeout, do retry.");
}

// Closing -------------------------------------------------------------------

TEST_F(UsbTransportTest, CloseTwiceThenControlTransferFailsAtOnce) {
  auto transport = open();
  CaptureStderr();
  EXPECT_EQ(transport->usb_close(), 0);
  EXPECT_EQ(transport->usb_close(), 0);
  EXPECT_EQ(GetCapturedStderr(), "usb_close\nusb_close\n");
  EXPECT_EQ(closed(),
            (std::vector<uint64_t>{handles_[2], handles_[1], handles_[0]}));
  EXPECT_EQ(vdev::openHandleCount(), 0u);
  EXPECT_TRUE(events_.events().empty());

  size_t before = vdev::callCount();
  uint8_t status[8];
  EXPECT_EQ(transport->usb_control_transfer(1, kStatusSetup, status, 8), -1);
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_EQ(vdev::callCount(), before);
  EXPECT_TRUE(clock_.waits().empty());
  ASSERT_EQ(events_.events().size(), 1u);
  EXPECT_EQ(events_.events()[0].text(), "transfer handle is NULL");
  EXPECT_EQ(events_.events()[0].type, EVENTLOG_ERROR_TYPE);
}

TEST_F(UsbTransportTest, DestroyingWithoutCloseLeavesTheHandlesOpen) {
  auto transport = open();
  transport.reset();
  EXPECT_EQ(vdev::openHandleCount(), 3u);
  EXPECT_TRUE(closed().empty());
}

TEST_F(UsbTransportTest, WaitsAndTheReservedOperationGoThroughVirtualTime) {
  auto transport = open();
  EXPECT_EQ(transport->reserved_op(), 0);
  transport->sleep_ms(200);
  EXPECT_EQ(clock_.waits(), std::vector<DWORD>{200});
}

}  // namespace
