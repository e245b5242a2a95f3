// Memory that cannot be had while the device is being opened: the device is
// let go and the caller sees no device. The program's non-throwing operator
// new is replaced so that a test can refuse one size of object.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "testing/event_recorder.h"
#include "testing/virtual_device/virtual_device.h"
#include "upgrade/device_discovery.h"
#include "upgrade/upgrade_entry.h"

namespace {

std::atomic<size_t> refusedSize{0};

}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (size != 0 && size == refusedSize) return nullptr;
  return ::operator new(size);
}

namespace {

using Strings = std::vector<std::string>;

class TransportAllocationTest : public testing::Test {
 protected:
  void SetUp() override { vdev::reset(); }
  void TearDown() override { refusedSize = 0; }
  EventRecorder events_;
};

TEST_F(TransportAllocationTest, NoMemoryForTheTransportClosesTheDevice) {
  refusedSize = sizeof(WindowsUsbTransport);
  EXPECT_EQ(open_usb_transport(log_device_match, vdev::defaultInterfaceName(),
                               kUpdateDeviceClass),
            nullptr);
  EXPECT_FALSE(vdev::calls(vdev::Call::kGetSerialNumber).empty());
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

TEST_F(TransportAllocationTest, EntryPointTakesTheNoDevicePath) {
  refusedSize = sizeof(WindowsUsbTransport);
  EXPECT_EQ(letsStartUpgrade(0, 1, vdev::defaultInterfaceName(),
                             "vlnr5_allocation_fw.bin", "V1", kUpdateDeviceClass),
            -1);
  Strings texts = events_.texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "Can not open velunor update usb device");
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

TEST_F(TransportAllocationTest, NoMemoryForTheRecordIsAnUnopenedDevice) {
  refusedSize = sizeof(UsbDeviceHandle);
  EXPECT_EQ(open_usb_transport(log_device_match, vdev::defaultInterfaceName(),
                               kUpdateDeviceClass),
            nullptr);
  EXPECT_EQ(events_.texts(), Strings{"Can not open velunor update device"});
  EXPECT_TRUE(vdev::calls(vdev::Call::kCreateInterfaceByName).empty());
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

}  // namespace
