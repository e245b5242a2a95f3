#include "upgrade/device_discovery.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/event_report.h"
#include "testing/event_recorder.h"
#include "testing/virtual_device/virtual_device.h"
#include "upgrade/upgrade_entry.h"

namespace {

using Strings = std::vector<std::string>;
using WideString = std::basic_string<AdbWideChar>;
using vdev::Call;
using vdev::CallRecord;

WideString wide(const std::string& ascii) {
  return WideString(ascii.begin(), ascii.end());
}

const std::string kName =
    "\\\\?\\usb#vid_3f3a&pid_9206#sn1#{6b11e5bb-f5ca-4902-9615-"
    "773b3d2f2fec}";
const std::string kCapitalPath =
    "\\\\?\\USB#VID_3F3A&PID_9206#SN1#{6B11E5BB-F5CA-4902-9615-"
    "773B3D2F2FEC}";

// What the acceptance callback was shown, and what it answers.
std::vector<DeviceMatchInfo> offered;
int32_t answer = 0;

int32_t recordOffer(const DeviceMatchInfo* info) {
  offered.push_back(*info);
  return answer;
}

class DeviceDiscoveryTest : public testing::Test {
 protected:
  void SetUp() override {
    vdev::reset();
    offered.clear();
    answer = 0;
  }

  void addInterface(const std::string& name,
                    const vdev::InterfaceConfig& config = {}) {
    WideString text = wide(name);
    vdev::addInterface(text.c_str(), config);
  }

  std::unique_ptr<UsbDeviceHandle> find(const std::string& path) {
    WideString text = wide(path);
    return find_usb_device(recordOffer, text.c_str(), kUpdateDeviceClass);
  }

  static uint64_t token(const void* handle) {
    return reinterpret_cast<uintptr_t>(handle);
  }

  // The handles given out by the calls of one kind.
  static std::vector<uint64_t> opened(Call kind) {
    std::vector<uint64_t> handles;
    for (const CallRecord& r : vdev::calls(kind)) {
      handles.push_back(r.result_handle);
    }
    return handles;
  }

  static std::vector<uint64_t> closed() {
    std::vector<uint64_t> handles;
    for (const CallRecord& r : vdev::calls(Call::kCloseHandle)) {
      handles.push_back(r.handle);
    }
    return handles;
  }

  EventRecorder events_;
};

// Matching --------------------------------------------------------------------

TEST_F(DeviceDiscoveryTest, CapitalPathOpensTheLowerCaseInterface) {
  addInterface(kName);
  std::unique_ptr<UsbDeviceHandle> device = find(kCapitalPath);
  ASSERT_NE(device, nullptr);

  std::vector<CallRecord> all = vdev::calls();
  std::vector<Call> order;
  for (const CallRecord& r : all) order.push_back(r.call);
  EXPECT_EQ(
      order,
      (std::vector<Call>{
          Call::kEnumInterfaces, Call::kNextInterface,
          Call::kCreateInterfaceByName, Call::kOpenDefaultBulkReadEndpoint,
          Call::kOpenDefaultBulkWriteEndpoint, Call::kGetInterfaceName,
          Call::kGetInterfaceName, Call::kGetUsbDeviceDescriptor,
          Call::kGetUsbInterfaceDescriptor, Call::kGetEndpointInformation,
          Call::kGetSerialNumber, Call::kCloseHandle}));
  // The class by value and the three filters.
  std::vector<uint8_t> guid = vdev::payload(all[0]);
  ASSERT_EQ(guid.size(), sizeof kUpdateDeviceClass);
  EXPECT_EQ(std::memcmp(guid.data(), &kUpdateDeviceClass, sizeof kUpdateDeviceClass), 0);
  EXPECT_TRUE(all[0].flags[0] && all[0].flags[1] && all[0].flags[2]);
  EXPECT_EQ(all[1].handle, all[0].result_handle);
  EXPECT_EQ(all[1].length, 2048u);
  // The enumerated name, unchanged, with its terminator.
  std::vector<uint8_t> name = vdev::payload(all[2]);
  WideString expected = wide(kName);
  ASSERT_EQ(name.size(), (expected.size() + 1) * sizeof(AdbWideChar));
  EXPECT_EQ(std::memcmp(name.data(), expected.c_str(), name.size()), 0);
  uint64_t iface = all[2].result_handle;
  for (size_t i : {3, 4}) {
    EXPECT_EQ(all[i].handle, iface);
    EXPECT_EQ(all[i].access, 0);
    EXPECT_EQ(all[i].sharing, 0);
  }
  // The name: a size query without a buffer, then the fill, both ANSI.
  EXPECT_EQ(all[5].buffer, 0u);
  EXPECT_EQ(all[5].length, 0u);
  EXPECT_TRUE(all[5].ansi);
  EXPECT_EQ(all[6].length, kName.size() + 1);
  EXPECT_TRUE(all[6].ansi);
  EXPECT_TRUE(all[6].result);
  for (size_t i = 7; i <= 10; ++i) EXPECT_EQ(all[i].handle, iface);
  EXPECT_EQ(all[9].endpoint_index, 0);
  EXPECT_EQ(all[10].length, 256u);
  EXPECT_TRUE(all[10].ansi);
  // Only the enumeration is closed: the device stays open for the caller.
  EXPECT_EQ(closed(), std::vector<uint64_t>{all[0].result_handle});

  EXPECT_EQ(token(device->interface_handle), iface);
  EXPECT_EQ(token(device->read_endpoint), all[3].result_handle);
  EXPECT_EQ(token(device->write_endpoint), all[4].result_handle);
  EXPECT_EQ(device->interface_name, kName);
  EXPECT_EQ(device->zlp_mask, 511u);
  EXPECT_EQ(events_.texts(), Strings{"do_usb_open() success"});
  EXPECT_EQ(events_.events()[0].type, EVENTLOG_INFORMATION_TYPE);
  close_device_handles(device.get());
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

TEST_F(DeviceDiscoveryTest, CallbackSeesTheDescriptors) {
  vdev::InterfaceConfig config;
  config.vendor_id = 0x1234;
  config.product_id = 0x5678;
  config.device_class = 0xEF;
  config.device_subclass = 0x02;
  config.device_protocol = 0x01;
  config.interface_class = 0xFF;
  config.interface_subclass = 0x42;
  config.interface_protocol = 0x03;
  std::strcpy(config.serial, "SN-42");
  addInterface(kName, config);
  std::unique_ptr<UsbDeviceHandle> device = find(kName);
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(offered.size(), 1u);
  const DeviceMatchInfo& info = offered[0];
  EXPECT_EQ(info.vendor_id, 0x1234);
  EXPECT_EQ(info.product_id, 0x5678);
  EXPECT_EQ(info.device_class, 0xEF);
  EXPECT_EQ(info.device_subclass, 0x02);
  EXPECT_EQ(info.device_protocol, 0x01);
  EXPECT_EQ(info.interface_class, 0xFF);
  EXPECT_EQ(info.interface_subclass, 0x42);
  EXPECT_EQ(info.interface_protocol, 0x03);
  EXPECT_EQ(info.fixed_flags[0], 0);
  EXPECT_EQ(info.fixed_flags[1], 1);
  EXPECT_EQ(info.fixed_flags[2], 1);
  EXPECT_STREQ(info.serial_number, "SN-42");
  EXPECT_STREQ(info.vendor_text, "");
  close_device_handles(device.get());
}

TEST_F(DeviceDiscoveryTest, EnumeratedNameWithACapitalNeverMatches) {
  addInterface("\\\\?\\USB#vid_3f3a&pid_9206#sn1");
  EXPECT_EQ(find("\\\\?\\USB#vid_3f3a&pid_9206#sn1"), nullptr);
  // Only ASCII letters are made small: a non-ASCII capital stays.
  WideString path = wide("\\\\?\\usb#vid_3f3a&pid_9206#sn");
  path += static_cast<AdbWideChar>(0x00C9);
  WideString name = path;
  name.back() = static_cast<AdbWideChar>(0x00E9);
  vdev::reset();
  vdev::addInterface(name.c_str(), {});
  EXPECT_EQ(find_usb_device(recordOffer, path.c_str(), kUpdateDeviceClass), nullptr);
  EXPECT_TRUE(vdev::calls(Call::kCreateInterfaceByName).empty());
  EXPECT_TRUE(events_.events().empty());
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

TEST_F(DeviceDiscoveryTest, NoMatchingEntryReportsNothing) {
  addInterface("\\\\?\\usb#vid_3f3a&pid_9206#other");
  EXPECT_EQ(find(kName), nullptr);
  EXPECT_EQ(vdev::calls(Call::kNextInterface).size(), 2u);
  EXPECT_EQ(closed(), opened(Call::kEnumInterfaces));
  EXPECT_TRUE(events_.events().empty());
}

TEST_F(DeviceDiscoveryTest, EveryEntryIsReadWithTheWholeBuffer) {
  std::string longName = kName + std::string(900, 'x');
  addInterface("\\\\?\\short");
  addInterface(longName);
  std::unique_ptr<UsbDeviceHandle> device = find(longName);
  ASSERT_NE(device, nullptr);
  for (const CallRecord& r : vdev::calls(Call::kNextInterface)) {
    EXPECT_EQ(r.length, 2048u);
  }
  EXPECT_EQ(device->interface_name, longName);
  close_device_handles(device.get());
}

TEST_F(DeviceDiscoveryTest, PathLongerThanTheMatchingBufferNeverMatches) {
  std::string path(1024, 'a');
  addInterface(path.substr(0, 1000));
  EXPECT_EQ(find(path), nullptr);
  EXPECT_TRUE(vdev::calls(Call::kCreateInterfaceByName).empty());
  EXPECT_EQ(vdev::openHandleCount(), 0u);
  // 1023 units still fit.
  std::string fits(1013, 'b');
  vdev::reset();
  addInterface(fits);
  std::unique_ptr<UsbDeviceHandle> device = find(fits);
  ASSERT_NE(device, nullptr);
  close_device_handles(device.get());
}

// Examination -----------------------------------------------------------------

TEST_F(DeviceDiscoveryTest, TwoEndpointsDropTheCandidateSilently) {
  vdev::InterfaceConfig config;
  config.num_endpoints = 2;
  addInterface(kName, config);
  EXPECT_EQ(find(kName), nullptr);
  EXPECT_EQ(events_.texts(), Strings{"do_usb_open() success"});
  EXPECT_TRUE(vdev::calls(Call::kGetEndpointInformation).empty());
  EXPECT_TRUE(offered.empty());
  // Write endpoint, read endpoint, interface, then the enumeration.
  EXPECT_EQ(closed(), (std::vector<uint64_t>{
                          opened(Call::kOpenDefaultBulkWriteEndpoint)[0],
                          opened(Call::kOpenDefaultBulkReadEndpoint)[0],
                          opened(Call::kCreateInterfaceByName)[0],
                          opened(Call::kEnumInterfaces)[0]}));
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

TEST_F(DeviceDiscoveryTest, FailedDescriptorReadDropsTheCandidate) {
  for (Call failing :
       {Call::kGetUsbDeviceDescriptor, Call::kGetUsbInterfaceDescriptor,
        Call::kGetEndpointInformation}) {
    vdev::reset();
    addInterface(kName);
    vdev::failCall(failing, 1, 31);
    events_.clear();
    EXPECT_EQ(find(kName), nullptr) << vdev::callName(failing);
    EXPECT_EQ(events_.texts(), Strings{"do_usb_open() success"});
    EXPECT_TRUE(offered.empty());
    EXPECT_EQ(vdev::openHandleCount(), 0u);
  }
}

TEST_F(DeviceDiscoveryTest, PacketSizeSetsTheZeroLengthPacketMask) {
  for (uint32_t size : {512u, 64u, 0u}) {
    vdev::reset();
    vdev::InterfaceConfig config;
    config.max_packet_size = size;
    addInterface(kName, config);
    std::unique_ptr<UsbDeviceHandle> device = find(kName);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->zlp_mask, size - 1u);
    close_device_handles(device.get());
  }
}

TEST_F(DeviceDiscoveryTest, MissingSerialNumberIsEmptyAndStillAccepted) {
  vdev::InterfaceConfig config;
  config.has_serial = false;
  addInterface(kName, config);
  std::unique_ptr<UsbDeviceHandle> device = find(kName);
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_STREQ(offered[0].serial_number, "");
  close_device_handles(device.get());
}

TEST_F(DeviceDiscoveryTest, RejectedCandidateIsClosedAndTheSearchGoesOn) {
  addInterface(kName);
  addInterface("\\\\?\\usb#other");
  answer = 1;
  EXPECT_EQ(find(kName), nullptr);
  EXPECT_EQ(offered.size(), 1u);
  EXPECT_EQ(vdev::calls(Call::kNextInterface).size(), 3u);
  EXPECT_EQ(vdev::openHandleCount(), 0u);
  EXPECT_EQ(events_.texts(), Strings{"do_usb_open() success"});
}

// Failures --------------------------------------------------------------------

TEST_F(DeviceDiscoveryTest, FailedEnumerationIsReported) {
  vdev::failCall(Call::kEnumInterfaces, 1, 13);
  EXPECT_EQ(find(kName), nullptr);
  EXPECT_EQ(events_.texts(), Strings{"Can not find velunor update device"});
  EXPECT_EQ(events_.events()[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_TRUE(vdev::calls(Call::kCloseHandle).empty());
}

TEST_F(DeviceDiscoveryTest, InterfaceThatCannotBeCreatedIsReported) {
  addInterface(kName);
  vdev::failCall(Call::kCreateInterfaceByName, 1, 2);
  EXPECT_EQ(find(kName), nullptr);
  EXPECT_EQ(events_.texts(), Strings({"AdbCreateInterfaceByName, errno: 2",
                                      "Can not open velunor update device"}));
  for (const RecordedEvent& event : events_.events()) {
    EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
    EXPECT_TRUE(event.wide);
  }
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

TEST_F(DeviceDiscoveryTest, FailedWriteEndpointKeepsItsErrorAndClosesAll) {
  addInterface(kName);
  vdev::failCall(Call::kOpenDefaultBulkWriteEndpoint, 1, 170);
  WideString name = wide(kName);
  errno = 0;
  EXPECT_EQ(do_usb_open(name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), 170u);
  EXPECT_EQ(errno, 170);
  EXPECT_EQ(events_.texts(),
            Strings{"AdbOpenDefaultBulkReadEndpoint, errno: 170"});
  EXPECT_EQ(closed(), (std::vector<uint64_t>{
                          opened(Call::kOpenDefaultBulkReadEndpoint)[0],
                          opened(Call::kCreateInterfaceByName)[0]}));
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

TEST_F(DeviceDiscoveryTest, EveryLaterOpenFailureSharesOneText) {
  struct Case {
    Call call;
    uint32_t nth;
  };
  for (Case c :
       {Case{Call::kOpenDefaultBulkReadEndpoint, 1},
        Case{Call::kGetInterfaceName, 1}, Case{Call::kGetInterfaceName, 2}}) {
    vdev::reset();
    addInterface(kName);
    vdev::failCall(c.call, c.nth, 5);
    events_.clear();
    EXPECT_EQ(find(kName), nullptr) << vdev::callName(c.call) << c.nth;
    EXPECT_EQ(events_.texts(),
              Strings({"AdbOpenDefaultBulkReadEndpoint, errno: 5",
                       "Can not open velunor update device"}));
    EXPECT_EQ(vdev::openHandleCount(), 0u);
  }
}

// A size answer beyond any real interface name is not trusted: no buffer of
// that size is made, and the open fails like any other late failure.
TEST_F(DeviceDiscoveryTest, AnInterfaceNameSizeOver32768IsRefused) {
  struct Case {
    size_t characters;  // without the terminator
    bool opened;
  };
  for (Case c : {Case{32767, true}, Case{32768, false}, Case{70000, false}}) {
    SCOPED_TRACE(c.characters);
    vdev::reset();
    events_.clear();
    std::string name(c.characters, 'n');
    addInterface(name);
    WideString text = wide(name);

    std::unique_ptr<UsbDeviceHandle> record = do_usb_open(text.c_str());

    std::vector<CallRecord> queries = vdev::calls(Call::kGetInterfaceName);
    ASSERT_FALSE(queries.empty());
    EXPECT_EQ(queries[0].moved, c.characters + 1);  // the size it answered
    if (c.opened) {
      ASSERT_NE(record, nullptr);
      EXPECT_EQ(record->interface_name, name);
      EXPECT_TRUE(events_.texts().empty());
      close_device_handles(record.get());
    } else {
      EXPECT_EQ(record, nullptr);
      EXPECT_EQ(queries.size(), 1u);  // no second call to fill a buffer
      EXPECT_EQ(events_.texts(),
                Strings{"AdbOpenDefaultBulkReadEndpoint, errno: 122"});
    }
    EXPECT_EQ(vdev::openHandleCount(), 0u);
  }
}

// The transport and the entry point's callback --------------------------------

TEST_F(DeviceDiscoveryTest, TransportTakesTheAcceptedDevice) {
  addInterface(kName);
  WideString path = wide(kCapitalPath);
  std::unique_ptr<WindowsUsbTransport> transport =
      open_usb_transport(recordOffer, path.c_str(), kUpdateDeviceClass);
  ASSERT_NE(transport, nullptr);
  ASSERT_NE(transport->device(), nullptr);
  EXPECT_EQ(token(transport->device()->interface_handle),
            opened(Call::kCreateInterfaceByName)[0]);
  EXPECT_EQ(transport->device()->zlp_mask, 511u);
  transport->usb_close();
  EXPECT_EQ(vdev::openHandleCount(), 0u);
}

TEST_F(DeviceDiscoveryTest, NoDeviceGivesNoTransportAndNoEvent) {
  vdev::failCall(Call::kNextInterface, 0, 259);
  WideString path = wide(kName);
  EXPECT_EQ(open_usb_transport(recordOffer, path.c_str(), kUpdateDeviceClass), nullptr);
  EXPECT_TRUE(events_.events().empty());
}

TEST_F(DeviceDiscoveryTest, LogDeviceMatchLogsTheSerialNumberAndAccepts) {
  DeviceMatchInfo info{};
  std::strcpy(info.serial_number, "VLNR-SN-000123");
  DWORD id = eventCounter;
  EXPECT_EQ(log_device_match(&info), 0);
  std::vector<RecordedEvent> events = events_.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].wide);
  EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(events[0].category, 0);
  EXPECT_EQ(events[0].id, eventIdentifier(id, 4));
  EXPECT_EQ(events[0].sid, nullptr);
  EXPECT_EQ(events[0].dataSize, 0u);
  EXPECT_EQ(events[0].rawData, nullptr);
  EXPECT_EQ(events[0].source, eventSource);
  EXPECT_EQ(events[0].strings, Strings({"serial_number : ", "VLNR-SN-000123",
                                        "dev_vendor : ", ""}));
}

}  // namespace
