// The record that comes with a device interface event: a
// DEV_BROADCAST_DEVICEINTERFACE_W whose name is the interface path.
#ifndef VELUNOR_TESTING_E2E_DEVICE_BROADCAST_H_
#define VELUNOR_TESTING_E2E_DEVICE_BROADCAST_H_

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <string>
#include <vector>

// The record as the system sends it: dbcc_size covers the path and its NUL.
std::vector<BYTE> deviceInterfaceBroadcast(const GUID& classGuid,
                                           const std::wstring& path);

// The device interface record in `data` when it is a whole one with a
// terminated path, else null.
const DEV_BROADCAST_DEVICEINTERFACE_W* deviceInterfaceOf(
    const std::vector<BYTE>& data);

#endif  // VELUNOR_TESTING_E2E_DEVICE_BROADCAST_H_
