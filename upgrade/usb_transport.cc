#include "upgrade/usb_transport.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <utility>

#include "common/event_report.h"
#include "upgrade/upgrade_cancel.h"
#include "upgrade/upgrade_device.h"

namespace {

// The reason of the last failed platform call, also kept in errno where the
// runtime library's callers look for it.
int takeLastError() {
  int error = static_cast<int>(GetLastError());
  errno = error;
  return error;
}

AdbULong chunkOf(uint64_t remainder) {
  return static_cast<AdbULong>(remainder < kUsbMaxTransfer ? remainder
                                                           : kUsbMaxTransfer);
}

// After a cancel the device is sent nothing more: the request fails as an
// aborted one, without a word on the device's behalf.
bool refusedAfterCancel() {
  if (!upgradeCancelled()) return false;
  SetLastError(ERROR_OPERATION_ABORTED);
  errno = static_cast<int>(ERROR_OPERATION_ABORTED);
  return true;
}

}  // namespace

bool waitMilliseconds(DWORD milliseconds) {
  return waitUnlessCancelled(milliseconds);
}

void close_device_handles(UsbDeviceHandle* handle) {
  if (handle->write_endpoint != nullptr) AdbCloseHandle(handle->write_endpoint);
  if (handle->read_endpoint != nullptr) AdbCloseHandle(handle->read_endpoint);
  if (handle->interface_handle != nullptr) {
    AdbCloseHandle(handle->interface_handle);
  }
  handle->interface_name.clear();
  handle->write_endpoint = nullptr;
  handle->read_endpoint = nullptr;
  handle->interface_handle = nullptr;
}

WindowsUsbTransport::WindowsUsbTransport(
    std::unique_ptr<UsbDeviceHandle> opened)
    : handle(std::move(opened)) {}

int64_t WindowsUsbTransport::usb_read(void* buffer, uint64_t length) {
  if (refusedAfterCancel()) return -1;
  std::fprintf(stderr, "usb_read %zd\n", static_cast<ptrdiff_t>(length));
  reportEventFormat(EVENTLOG_ERROR_TYPE, "usb_read %zd\n",
                    static_cast<ptrdiff_t>(length));
  int error = errno;
  if (handle == nullptr) {
    std::fprintf(stderr, "usb_read NULL handle\n");
    reportEvent(EVENTLOG_ERROR_TYPE, U16("usb_read NULL handle\n"));
    SetLastError(kUsbDeviceLostError);
  } else {
    AdbULong asked = chunkOf(length);
    AdbULong got = 0;
    bool read = AdbReadEndpointSync(handle->read_endpoint, buffer, asked, &got,
                                    kUsbReadTimeoutMs);
    error = takeLastError();
    std::fprintf(stderr, "usb_read got: %ld, expected: %zd, errno: %d\n",
                 static_cast<long>(got), static_cast<ptrdiff_t>(asked), error);
    reportEventFormat(
        EVENTLOG_ERROR_TYPE, "usb_read got: %ld, expected: %zd, errno: %d\n",
        static_cast<long>(got), static_cast<ptrdiff_t>(asked), error);
    if (read) {
      errno = error;
      return got;
    }
    if (error == static_cast<int>(kUsbDeviceLostError)) {
      close_device_handles(handle.get());
    }
  }
  std::fprintf(stderr, "usb_read failed: %d\n", error);
  reportEventFormat(EVENTLOG_ERROR_TYPE, "usb_read failed, errno: %d", error);
  errno = error;
  return -1;
}

int64_t WindowsUsbTransport::usb_write(const void* buffer, uint64_t length) {
  if (length == 0) return 0;
  if (handle == nullptr) {
    int error = errno;
    SetLastError(kUsbDeviceLostError);
    reportEvent(EVENTLOG_ERROR_TYPE, U16("transport handle is NULL"));
    std::fprintf(stderr, "usb_write failed: %d\n", error);
    reportEventFormat(EVENTLOG_ERROR_TYPE, "usb_write failed, errno: %d",
                      error);
    errno = error;
    return -1;
  }
  // AdbWinApi takes a non-const buffer but only reads it on a write.
  auto* position = static_cast<uint8_t*>(const_cast<void*>(buffer));
  uint64_t remainder = length;
  uint32_t total = 0;
  while (remainder != 0) {
    if (refusedAfterCancel()) return -1;
    AdbULong size = chunkOf(remainder);
    AdbULong written = 0;
    if (!AdbWriteEndpointSync(handle->write_endpoint, position, size, &written,
                              kUsbWriteTimeoutMs)) {
      return writeFailed(false);
    }
    // A device that claims success but took nothing (or more than it was
    // given) would have us resend the same chunk for ever.
    if (written == 0 || written > size) {
      SetLastError(ERROR_GEN_FAILURE);
      return writeFailed(false);
    }
    // A transfer of whole packets needs a zero-length packet to end it.
    if (handle->zlp_mask != 0 && (size & handle->zlp_mask) == 0) {
      if (refusedAfterCancel()) return -1;
      AdbULong count = 0;
      if (!AdbWriteEndpointSync(handle->write_endpoint, position, 0, &count,
                                kUsbWriteTimeoutMs)) {
        return writeFailed(true);
      }
    }
    total += written;
    position += written;
    remainder -= written;
  }
  return total;
}

int64_t WindowsUsbTransport::writeFailed(bool zero_length_packet) {
  int error = takeLastError();
  if (zero_length_packet) {
    std::fprintf(stderr, "AdbWriteEndpointSync ZLP returned %d, errno: %d\n", 0,
                 error);
  } else {
    std::fprintf(stderr, "AdbWriteEndpointSync returned %d, errno: %d\n", 0,
                 error);
  }
  reportEventFormat(EVENTLOG_ERROR_TYPE, "AdbWriteEndpointSync, errno: %d",
                    error);
  if (error == static_cast<int>(kUsbDeviceLostError)) {
    close_device_handles(handle.get());
  }
  // A pulled cable fails the write at once; whether the device went is told
  // by its listing and by the caller's cancel, which follow.
  deviceGoneAfterFailure(kDeviceGoneWaitMs);
  errno = error;
  SetLastError(static_cast<DWORD>(error));
  return -1;
}

int64_t WindowsUsbTransport::usb_control_transfer(uint8_t direction,
                                                  const void* setup,
                                                  void* buffer,
                                                  uint32_t length) {
  if (handle == nullptr) {
    SetLastError(kUsbDeviceLostError);
    reportEvent(EVENTLOG_ERROR_TYPE, U16("transfer handle is NULL"));
    return -1;
  }
  for (int attempt = 0; attempt < kUsbControlTries; ++attempt) {
    if (refusedAfterCancel()) return -1;
    AdbULong transferred = 0;
    if (AdbDefaultEndpointReadWriteSync(handle->interface_handle, direction,
                                        setup, buffer, length, &transferred)) {
      reportEvent(EVENTLOG_INFORMATION_TYPE, U16("Control IO success"));
      return transferred;
    }
    int error = takeLastError();
    std::fprintf(stderr, "usb_control_transfer failed. errno: %d\n", error);
    reportEventFormat(EVENTLOG_ERROR_TYPE,
                      "AdbDefaultEndpointReadWriteSync, errno: %d", error);
    // A device that is gone, pulled or restarting into new firmware, is
    // not waited for; nor told to start twice.
    if (deviceGoneAfterFailure(0)) {
      refusedAfterCancel();
      return -1;
    }
    if (startRequestInFlight()) return -1;
    errno = kUsbControlRetryErrno;
    reportEvent(EVENTLOG_ERROR_TYPE, U16("error => timeout, do retry."));
    if (waitMilliseconds(kUsbControlRetryWaitMs)) {
      refusedAfterCancel();
      return -1;
    }
  }
  errno = kUsbControlRetryErrno;
  return -1;
}

int64_t WindowsUsbTransport::usb_close() {
  std::fprintf(stderr, "usb_close\n");
  if (handle == nullptr) return 0;
  close_device_handles(handle.get());
  handle.reset();
  return 0;
}

int64_t WindowsUsbTransport::reserved_op() { return 0; }

void WindowsUsbTransport::sleep_ms(uint32_t milliseconds) {
  waitMilliseconds(milliseconds);
}
