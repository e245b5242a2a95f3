#include "upgrade/control_protocol.h"

#include <cstdio>
#include <cstring>

#include "common/event_report.h"

namespace {

constexpr char kStatusFailureText[] =
    "Failed to get status in %d times retries.\n";
constexpr char kSyncFailureText[] =
    "Failed to transfer all the data in %d times retries.State: %d, Status: "
    "%d, WrittenBytes: %u\n";

// A status read counts only when the device delivered the whole record: the
// bytes it left out would read as zero, and zero means success.
bool statusRead(int64_t result) {
  return result >= static_cast<int64_t>(sizeof(DeviceStatus));
}

bool readsFromDevice(uint16_t request) {
  return request == VLNR_USB_REQ_WUP_GET_STATUS ||
         request == VLNR_USB_REQ_WUP_GET_SYNC_STATUS;
}

int reportStatusFailure() {
  std::fprintf(stderr, kStatusFailureText, kStatusAttempts);
  reportEventFormat(EVENTLOG_ERROR_TYPE, kStatusFailureText, kStatusAttempts);
  return -1;
}

int reportSyncFailure(const DeviceStatus& status) {
  unsigned written = status.bytes_written;
  std::fprintf(stderr, kSyncFailureText, kSyncPolls, status.state,
               status.status, written);
  reportEventFormat(EVENTLOG_ERROR_TYPE, kSyncFailureText, kSyncPolls,
                    status.state, status.status, written);
  return -1;
}

// Minutes east of UTC from a bias (minutes west). Negated in unsigned
// arithmetic, so a bias no zone has (the lowest 32-bit value) wraps to
// itself as on the wire instead of being undefined.
int32_t negated(LONG bias) {
  return static_cast<int32_t>(0u - static_cast<uint32_t>(bias));
}

}  // namespace

int64_t velunorSendControlInfo(Transport* transport, uint16_t request,
                               void* data, uint32_t length) {
  ControlSetup setup;
  std::memset(&setup, 0, sizeof setup);
  bool from_device = readsFromDevice(request);
  setup.request_type =
      from_device ? kRequestTypeFromDevice : kRequestTypeToDevice;
  setup.request = request;
  setup.length = static_cast<uint16_t>(length);
  void* buffer = request == VLNR_USB_REQ_WUP_ABORT ? nullptr : data;
  return transport->usb_control_transfer(from_device ? 1 : 0, &setup, buffer,
                                         length);
}

int getDeviceStatus(Transport* transport, DeviceStatus* out) {
  for (int attempt = 0; attempt < kStatusAttempts; ++attempt) {
    std::memset(out, 0, sizeof *out);
    if (statusRead(velunorSendControlInfo(
            transport, VLNR_USB_REQ_WUP_GET_STATUS, out, sizeof *out))) {
      return 0;
    }
    // The caller sees no part of an answer that did not count.
    std::memset(out, 0, sizeof *out);
    transport->sleep_ms(kStatusPollWaitMs);
  }
  return reportStatusFailure();
}

int getSyncStatus(Transport* transport, DeviceStatus* out) {
  for (int poll = 0; poll < kSyncPolls; ++poll) {
    transport->sleep_ms(kStatusPollWaitMs);
    std::memset(out, 0, sizeof *out);
    int64_t result = velunorSendControlInfo(
        transport, VLNR_USB_REQ_WUP_GET_SYNC_STATUS, out, sizeof *out);
    if (result == kControlBusyResult) {
      out->status = kDeviceStatusBusy;
      continue;
    }
    if (!statusRead(result)) {
      std::memset(out, 0, sizeof *out);
      return reportSyncFailure(*out);
    }
    if (out->status == kDeviceStatusSuccess) return 0;
    if (out->status != kDeviceStatusBusy) return reportSyncFailure(*out);
  }
  return reportSyncFailure(*out);
}

int getLocalTimeStamp(LocalTimeStamp* out) {
  SYSTEMTIME now;
  TIME_ZONE_INFORMATION zone;
  GetLocalTime(&now);
  GetTimeZoneInformation(&zone);
  out->year = now.wYear;
  out->month = now.wMonth;
  out->day = now.wDay;
  out->hour = now.wHour;
  out->minute = now.wMinute;
  out->second = now.wSecond;
  out->gmt_offset = negated(zone.Bias);
  out->daylight_offset = negated(zone.DaylightBias);
  return 0;
}

void fillDownloadInfo(DownloadInfo* info, const char* version,
                      uint64_t image_size, uint8_t bSegmented, uint8_t bForce) {
  std::memset(info, 0, sizeof *info);
  // A longer version text is cut so the field keeps its terminating zero.
  std::snprintf(info->version, sizeof info->version, "%s", version);
  info->image_size = static_cast<uint32_t>(image_size);
  info->segment_size = static_cast<uint32_t>(bSegmented) << kSegmentShift;
  info->force = bForce;
  LocalTimeStamp time;
  getLocalTimeStamp(&time);
  info->time = time;
}

uint32_t digestTextLength(const char* text) {
  size_t length = 0;
  while (length < kDigestTextBound && text[length] != 0) ++length;
  // Without a terminator inside the bound, one byte more would be read past
  // a buffer of the bound's size.
  if (length == kDigestTextBound) --length;
  return static_cast<uint32_t>(length + 1);
}
