#include "testing/upgrade/virtual_interface.h"

#include "testing/virtual_device/virtual_device.h"

std::unique_ptr<UsbDeviceHandle> openVirtualInterface(uint32_t zlp_mask) {
  auto record = std::make_unique<UsbDeviceHandle>();
  record->interface_handle =
      AdbCreateInterfaceByName(vdev::defaultInterfaceName());
  record->read_endpoint = AdbOpenDefaultBulkReadEndpoint(
      record->interface_handle, AdbOpenAccessTypeReadWrite,
      AdbOpenSharingModeReadWrite);
  record->write_endpoint = AdbOpenDefaultBulkWriteEndpoint(
      record->interface_handle, AdbOpenAccessTypeReadWrite,
      AdbOpenSharingModeReadWrite);
  record->zlp_mask = zlp_mask;
  return record;
}
