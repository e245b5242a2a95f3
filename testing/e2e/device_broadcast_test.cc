#include "testing/e2e/device_broadcast.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "common/upgrade_contract.h"

namespace {

const wchar_t kPath[] =
    L"\\\\?\\USB#VID_3F3A&PID_9206#SN1#{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";
constexpr size_t kNameOffset =
    offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);

TEST(DeviceBroadcastTest, RecordCarriesClassAndTerminatedPath) {
  std::vector<BYTE> data = deviceInterfaceBroadcast(kUpdateDeviceClass, kPath);
  auto* broadcast =
      reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data.data());
  EXPECT_EQ(broadcast->dbcc_size, kNameOffset + sizeof kPath);
  EXPECT_EQ(broadcast->dbcc_devicetype,
            static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
  EXPECT_TRUE(IsEqualGUID(broadcast->dbcc_classguid, kUpdateDeviceClass));
  EXPECT_EQ(std::memcmp(broadcast->dbcc_name, kPath, sizeof kPath), 0);
  EXPECT_EQ(deviceInterfaceOf(data), broadcast);
}

TEST(DeviceBroadcastTest, ShortPathStillFillsTheWholeRecord) {
  std::vector<BYTE> data = deviceInterfaceBroadcast(kUpdateDeviceClass, L"");
  EXPECT_EQ(data.size(), sizeof(DEV_BROADCAST_DEVICEINTERFACE_W));
  EXPECT_EQ(
      reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data.data())
          ->dbcc_size,
      kNameOffset + sizeof(wchar_t));
}

TEST(DeviceBroadcastTest, RefusesOtherTypesAndCutRecords) {
  std::vector<BYTE> data = deviceInterfaceBroadcast(kUpdateDeviceClass, kPath);

  std::vector<BYTE> otherType = data;
  reinterpret_cast<DEV_BROADCAST_HDR*>(otherType.data())->dbch_devicetype =
      DBT_DEVTYP_VOLUME;
  EXPECT_EQ(deviceInterfaceOf(otherType), nullptr);

  // The size claims more than was received.
  std::vector<BYTE> cut(data.begin(), data.end() - sizeof(wchar_t));
  EXPECT_EQ(deviceInterfaceOf(cut), nullptr);

  // The path has no terminator within the record.
  std::vector<BYTE> unterminated = data;
  std::memset(unterminated.data() + unterminated.size() - sizeof(wchar_t), 'x',
              sizeof(wchar_t));
  EXPECT_EQ(deviceInterfaceOf(unterminated), nullptr);
}

}  // namespace
