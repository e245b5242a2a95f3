// USB access for the upgrade: the Transport interface and its one
// implementation over an opened AdbWinApi interface.
#ifndef VELUNOR_UPGRADE_USB_TRANSPORT_H_
#define VELUNOR_UPGRADE_USB_TRANSPORT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "adbwinapi/adb_api.h"
#include "platform/win32.h"

// Largest transfer handed to one AdbWinApi read or write call.
constexpr uint64_t kUsbMaxTransfer = 1048576;
constexpr AdbULong kUsbWriteTimeoutMs = 20000;
constexpr AdbULong kUsbReadTimeoutMs = 0;
constexpr int kUsbControlTries = 3;
// Five minutes: a device that refuses a control request is given time to
// finish whatever it is busy with.
constexpr DWORD kUsbControlRetryWaitMs = 300000;
constexpr int kUsbControlRetryErrno = 121;  // ERROR_SEM_TIMEOUT
constexpr DWORD kUsbDeviceLostError = 6;    // ERROR_INVALID_HANDLE

// One opened interface. Destroying the record closes nothing: handles are
// closed only by close_device_handles.
struct UsbDeviceHandle {
  ADBAPIHANDLE interface_handle = nullptr;
  ADBAPIHANDLE read_endpoint = nullptr;
  ADBAPIHANDLE write_endpoint = nullptr;
  std::string interface_name;
  // Maximum packet size of endpoint 0 minus 1, modulo 2^32.
  uint32_t zlp_mask = 0;
};

// Closes the write endpoint, the read endpoint and the interface (those that
// are open), empties the name and nulls the handles. zlp_mask stays.
void close_device_handles(UsbDeviceHandle* handle);

class Transport {
 public:
  virtual ~Transport() = default;
  virtual int64_t usb_read(void* buffer, uint64_t length) = 0;
  virtual int64_t usb_write(const void* buffer, uint64_t length) = 0;
  virtual int64_t usb_control_transfer(uint8_t direction, const void* setup,
                                       void* buffer, uint32_t length) = 0;
  virtual int64_t usb_close() = 0;
  virtual int64_t reserved_op() = 0;
  virtual void sleep_ms(uint32_t milliseconds) = 0;
};

// States: Open (three open handles), Lost (a record with null handles, after a
// read or write failed with error 6), Closed (no record, after usb_close).
class WindowsUsbTransport : public Transport {
 public:
  explicit WindowsUsbTransport(std::unique_ptr<UsbDeviceHandle> opened);
  // Frees a record still held without closing its handles: usb_close is the
  // owner's step before destruction.
  ~WindowsUsbTransport() override = default;
  WindowsUsbTransport(const WindowsUsbTransport&) = delete;
  WindowsUsbTransport& operator=(const WindowsUsbTransport&) = delete;

  int64_t usb_read(void* buffer, uint64_t length) override;
  int64_t usb_write(const void* buffer, uint64_t length) override;
  int64_t usb_control_transfer(uint8_t direction, const void* setup,
                               void* buffer, uint32_t length) override;
  int64_t usb_close() override;
  int64_t reserved_op() override;
  void sleep_ms(uint32_t milliseconds) override;

  const UsbDeviceHandle* device() const { return handle.get(); }

 private:
  // Reports a failed data or zero-length write call; -1.
  int64_t writeFailed(bool zero_length_packet);

  std::unique_ptr<UsbDeviceHandle> handle;
};

// The one point through which the library waits, so that tests can run it in
// virtual time: it waits on the cancel signal, and says true when the signal
// ended the wait (or it was set before).
bool waitMilliseconds(DWORD milliseconds);

#endif  // VELUNOR_UPGRADE_USB_TRANSPORT_H_
