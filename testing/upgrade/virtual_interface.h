// For tests and benchmarks: the virtual device's default interface opened the
// way discovery opens a device, ready to hand to a WindowsUsbTransport.
#ifndef VELUNOR_TESTING_UPGRADE_VIRTUAL_INTERFACE_H_
#define VELUNOR_TESTING_UPGRADE_VIRTUAL_INTERFACE_H_

#include <cstdint>
#include <memory>

#include "upgrade/usb_transport.h"

// 511: the zero-length-packet mask of 512-byte packets.
std::unique_ptr<UsbDeviceHandle> openVirtualInterface(uint32_t zlp_mask = 511);

#endif  // VELUNOR_TESTING_UPGRADE_VIRTUAL_INTERFACE_H_
