#include "testing/e2e/device_broadcast.h"

#include <cstddef>
#include <cstring>
#include <cwchar>

namespace {

constexpr size_t kNameOffset =
    offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);

}  // namespace

std::vector<BYTE> deviceInterfaceBroadcast(const GUID& classGuid,
                                           const std::wstring& path) {
  const size_t size = kNameOffset + (path.size() + 1) * sizeof(wchar_t);
  std::vector<BYTE> data(size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)
                             ? sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)
                             : size);
  auto* broadcast =
      reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(data.data());
  broadcast->dbcc_size = static_cast<DWORD>(size);
  broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  broadcast->dbcc_classguid = classGuid;
  std::memcpy(broadcast->dbcc_name, path.c_str(),
              (path.size() + 1) * sizeof(wchar_t));
  return data;
}

const DEV_BROADCAST_DEVICEINTERFACE_W* deviceInterfaceOf(
    const std::vector<BYTE>& data) {
  if (data.size() < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) return nullptr;
  auto* broadcast =
      reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data.data());
  if (broadcast->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      broadcast->dbcc_size < kNameOffset ||
      broadcast->dbcc_size > data.size()) {
    return nullptr;
  }
  const size_t units = (broadcast->dbcc_size - kNameOffset) / sizeof(wchar_t);
  if (wcsnlen(broadcast->dbcc_name, units) == units) return nullptr;
  return broadcast;
}
