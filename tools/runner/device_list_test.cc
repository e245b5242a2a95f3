// The runner's device list against the virtual device in this process: every
// interface the upgrade library could find, named as the system announces
// it, with the family the service would pick and the serial number, and no
// handle left open.
#include "tools/runner/device_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "testing/virtual_device/virtual_device.h"

namespace {

HMODULE virtualAdbWinApi() { return GetModuleHandleW(L"AdbWinApi.dll"); }

struct Plugged {
  const wchar_t* name;
  const char* serial;  // null: the device gives none
  bool present;
};

void plug(const std::vector<Plugged>& interfaces) {
  vdev::reset();
  for (const Plugged& plugged : interfaces) {
    vdev::InterfaceConfig config;
    config.present = plugged.present;
    config.has_serial = plugged.serial != nullptr;
    if (plugged.serial != nullptr) {
      std::snprintf(config.serial, sizeof config.serial, "%s", plugged.serial);
    }
    vdev::addInterface(plugged.name, config);
  }
}

struct Listed {
  std::wstring path;
  std::wstring family;
  std::string serial;  // "-": none
  bool operator==(const Listed& other) const {
    return path == other.path && family == other.family &&
           serial == other.serial;
  }
};

void PrintTo(const Listed& listed, std::ostream* out) {
  *out << narrow(listed.path) << " " << narrow(listed.family) << " "
       << listed.serial;
}

std::vector<Listed> listed(const DeviceList& list) {
  std::vector<Listed> all;
  for (const ListedDevice& device : list.devices) {
    all.push_back(Listed{device.path, device.family->name,
                         device.hasSerial ? device.serial : "-"});
  }
  return all;
}

TEST(DeviceListTest, ListsWhatTheLibraryCouldOpenAsTheServiceIsTold) {
  struct Case {
    const char* name;
    std::vector<Plugged> plugged;
    std::vector<Listed> expected;
  };
  const Case cases[] = {
      {"one",
       {{L"\\\\?\\usb#vid_3f3a&pid_9206#vlnr-sn-000123#"
         L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}",
         "VLNR-SN-000123", true}},
       {{L"\\\\?\\USB#VID_3F3A&PID_9206#VLNR-SN-000123#"
         L"{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}",
         L"ZR700", "VLNR-SN-000123"}}},
      {"three, one of them without a serial number, and one not present",
       {{L"\\\\?\\usb#vid_2207&pid_910a#rk-1#{6b11e5bb-f5ca-4902-9615-"
         L"773b3d2f2fec}",
         "RK-1", true},
        {L"\\\\?\\usb#vid_3f3a&pid_9206#gone#{6b11e5bb-f5ca-4902-9615-"
         L"773b3d2f2fec}",
         "GONE", false},
        {L"\\\\?\\usb#vid_abcd&pid_9206#zr-2#{6b11e5bb-f5ca-4902-9615-"
         L"773b3d2f2fec}",
         nullptr, true},
        {L"\\\\?\\usb#vid_3f3a&pid_0042#ot-3#{6b11e5bb-f5ca-4902-9615-"
         L"773b3d2f2fec}",
         "OT-3", true}},
       {{L"\\\\?\\USB#VID_2207&PID_910A#RK-1#{6b11e5bb-f5ca-4902-9615-"
         L"773b3d2f2fec}",
         L"RK7x10", "RK-1"},
        {L"\\\\?\\USB#VID_ABCD&PID_9206#ZR-2#{6b11e5bb-f5ca-4902-9615-"
         L"773b3d2f2fec}",
         L"ZR700", "-"},
        {L"\\\\?\\USB#VID_3F3A&PID_0042#OT-3#{6b11e5bb-f5ca-4902-9615-"
         L"773b3d2f2fec}",
         L"other", "OT-3"}}},
      {"none present",
       {{L"\\\\?\\usb#vid_3f3a&pid_9206#gone#{6b11e5bb-f5ca-4902-9615-"
         L"773b3d2f2fec}",
         "GONE", false}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plug(c.plugged);
    DeviceList list = listDevices(virtualAdbWinApi(), kUpdateDeviceClass);
    EXPECT_TRUE(list.bound);
    EXPECT_TRUE(list.enumerated);
    EXPECT_EQ(listed(list), c.expected);
    // The filters the library enumerates with, once.
    std::vector<vdev::CallRecord> enumerations =
        vdev::calls(vdev::Call::kEnumInterfaces);
    ASSERT_EQ(enumerations.size(), 1u);
    EXPECT_TRUE(enumerations[0].flags[0]);
    EXPECT_TRUE(enumerations[0].flags[1]);
    EXPECT_TRUE(enumerations[0].flags[2]);
    EXPECT_EQ(vdev::openHandleCount(), 0u);
  }
}

TEST(DeviceListTest, WhatCannotBeAskedIsToldApart) {
  // AdbWinApi refuses the enumeration.
  vdev::reset();
  vdev::failCall(vdev::Call::kEnumInterfaces, 1, 1167);
  DeviceList refused = listDevices(virtualAdbWinApi(), kUpdateDeviceClass);
  EXPECT_TRUE(refused.bound);
  EXPECT_FALSE(refused.enumerated);
  EXPECT_EQ(refused.error, 1167u);
  EXPECT_TRUE(refused.devices.empty());

  // An interface that does not open is listed without its serial number.
  vdev::reset();
  vdev::failCall(vdev::Call::kCreateInterfaceByName, 0, 5);
  DeviceList unopened = listDevices(virtualAdbWinApi(), kUpdateDeviceClass);
  ASSERT_EQ(unopened.devices.size(), 1u);
  EXPECT_EQ(unopened.devices[0].path,
            announcedPath(vdev::defaultInterfaceName()));
  EXPECT_FALSE(unopened.devices[0].hasSerial);
  EXPECT_EQ(vdev::openHandleCount(), 0u);

  // A module that is not AdbWinApi.
  DeviceList unbound =
      listDevices(GetModuleHandleW(nullptr), kUpdateDeviceClass);
  EXPECT_FALSE(unbound.bound);
  EXPECT_TRUE(unbound.devices.empty());
}

// Only a listing that reached its end says a device is gone: one whose next
// step failed part way says nothing of what it did not reach.
TEST(DeviceListTest, AListingCutShortIsNoRemoval) {
  static const wchar_t kFirst[] =
      L"\\\\?\\usb#vid_3f3a&pid_9206#one#{6b11e5bb-f5ca-4902-9615-"
      L"773b3d2f2fec}";
  static const wchar_t kSecond[] =
      L"\\\\?\\usb#vid_3f3a&pid_9206#two#{6b11e5bb-f5ca-4902-9615-"
      L"773b3d2f2fec}";
  struct Case {
    const char* name;
    uint32_t failingStep;  // the nth AdbNextInterface fails; 0: none
    DevicePresence first;
    DevicePresence second;
    DevicePresence absent;
  };
  const Case cases[] = {
      {"complete", 0, DevicePresence::kListed, DevicePresence::kListed,
       DevicePresence::kMissing},
      {"cut after the first", 2, DevicePresence::kListed,
       DevicePresence::kUnknown, DevicePresence::kUnknown},
      {"cut at once", 1, DevicePresence::kUnknown, DevicePresence::kUnknown,
       DevicePresence::kUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto presence = [&c](const wchar_t* path) {
      plug({{kFirst, "ONE", true}, {kSecond, "TWO", true}});
      if (c.failingStep != 0) {
        vdev::failCall(vdev::Call::kNextInterface, c.failingStep, 1167);
      }
      return devicePresence(virtualAdbWinApi(), kUpdateDeviceClass, path);
    };
    EXPECT_EQ(presence(kFirst), c.first);
    EXPECT_EQ(presence(kSecond), c.second);
    EXPECT_EQ(presence(L"\\\\?\\usb#vid_3f3a&pid_9206#three#{6b11e5bb-"
                       L"f5ca-4902-9615-773b3d2f2fec}"),
              c.absent);
    plug({{kFirst, "ONE", true}, {kSecond, "TWO", true}});
    if (c.failingStep != 0) {
      vdev::failCall(vdev::Call::kNextInterface, c.failingStep, 1167);
    }
    DeviceList list = listDevices(virtualAdbWinApi(), kUpdateDeviceClass);
    EXPECT_EQ(list.enumerated, c.failingStep == 0);
    EXPECT_EQ(list.error, c.failingStep == 0 ? 0u : 1167u);
    EXPECT_EQ(vdev::openHandleCount(), 0u);
  }
}

TEST(DeviceListTest, AnnouncedPathHasTheDeviceInstanceInCapitals) {
  struct Case {
    const wchar_t* enumerated;
    const wchar_t* announced;
  };
  const Case cases[] = {
      {L"\\\\?\\usb#vid_3f3a&pid_9206#sn1#{6b11e5bb-f5ca-4902-9615-"
       L"773b3d2f2fec}",
       L"\\\\?\\USB#VID_3F3A&PID_9206#SN1#{6b11e5bb-f5ca-4902-9615-"
       L"773b3d2f2fec}"},
      // An interface of a composite device.
      {L"\\\\?\\usb#vid_3f3a&pid_9105&mi_01#7&1a2b&0&0001#{6b11e5bb-f5ca-"
       L"4902-9615-773b3d2f2fec}",
       L"\\\\?\\USB#VID_3F3A&PID_9105&MI_01#7&1A2B&0&0001#{6b11e5bb-f5ca-"
       L"4902-9615-773b3d2f2fec}"},
      // Without a class part, all of it; letters beyond ASCII as they are.
      {L"\\\\?\\usb#someone_else", L"\\\\?\\USB#SOMEONE_ELSE"},
      {L"\\\\?\\usb#sn\u00e9", L"\\\\?\\USB#SN\u00e9"},
      {L"", L""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(announcedPath(c.enumerated), c.announced) << narrow(c.enumerated);
  }
}

}  // namespace
