// The device's vendor control protocol: the setup record and payloads on the
// wire, the requests, and the status polls. All records are packed and
// little-endian.
#ifndef VELUNOR_UPGRADE_CONTROL_PROTOCOL_H_
#define VELUNOR_UPGRADE_CONTROL_PROTOCOL_H_

#include <cstddef>
#include <cstdint>

#include "upgrade/usb_transport.h"

#if defined(__BYTE_ORDER__)
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the records are laid out for a little-endian machine");
#endif

constexpr uint16_t VLNR_USB_REQ_WUP_SET_DNLOAD_INFO = 1;
constexpr uint16_t VLNR_USB_REQ_WUP_GET_STATUS = 2;
constexpr uint16_t VLNR_USB_REQ_WUP_ABORT = 6;
constexpr uint16_t VLNR_USB_REQ_WUP_GET_SYNC_STATUS = 7;
constexpr uint16_t VLNR_USB_REQ_WUP_SET_MD5SUM = 8;
constexpr uint16_t VLNR_USB_REQ_WUP_START_UPDATE = 9;

constexpr uint8_t kRequestTypeToDevice = 0x01;
constexpr uint8_t kRequestTypeFromDevice = 0x81;

// Device answers.
constexpr uint8_t kDeviceStatusSuccess = 0;
constexpr uint8_t kDeviceStatusBusy = 1;
constexpr uint8_t kDeviceStateReady = 2;

constexpr int kStatusAttempts = 5;
constexpr int kSyncPolls = 10;
constexpr uint32_t kStatusPollWaitMs = 200;
// A control result that a transport may give for a device still busy.
constexpr int64_t kControlBusyResult = -2;

constexpr size_t kVersionFieldSize = 32;
constexpr uint32_t kSegmentShift = 22;  // 1 << 22: 4 MiB segments
// The digest text's length is counted up to this bound.
constexpr size_t kDigestTextBound = 40;

#pragma pack(push, 1)
struct ControlSetup {
  uint8_t reserved0;
  uint8_t request_type;
  uint16_t request;
  uint16_t reserved1;
  uint16_t length;
};

struct LocalTimeStamp {
  uint16_t year;
  uint16_t month;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  int32_t gmt_offset;       // minutes east of UTC
  int32_t daylight_offset;  // minutes daylight time is ahead
};

struct DownloadInfo {
  char version[kVersionFieldSize];
  uint32_t image_size;
  uint32_t segment_size;
  uint8_t force;
  LocalTimeStamp time;
  uint8_t reserved[3];
};

struct DeviceStatus {
  uint8_t status;
  uint8_t state;
  uint32_t bytes_written;
  uint8_t reserved[2];
};
#pragma pack(pop)

static_assert(sizeof(ControlSetup) == 8, "ControlSetup is 8 bytes");
static_assert(offsetof(ControlSetup, request_type) == 1, "request_type");
static_assert(offsetof(ControlSetup, request) == 2, "request");
static_assert(offsetof(ControlSetup, reserved1) == 4, "reserved");
static_assert(offsetof(ControlSetup, length) == 6, "length");

static_assert(sizeof(LocalTimeStamp) == 20, "LocalTimeStamp is 20 bytes");
static_assert(offsetof(LocalTimeStamp, month) == 2, "month");
static_assert(offsetof(LocalTimeStamp, day) == 4, "day");
static_assert(offsetof(LocalTimeStamp, hour) == 6, "hour");
static_assert(offsetof(LocalTimeStamp, minute) == 8, "minute");
static_assert(offsetof(LocalTimeStamp, second) == 10, "second");
static_assert(offsetof(LocalTimeStamp, gmt_offset) == 12, "gmt_offset");
static_assert(offsetof(LocalTimeStamp, daylight_offset) == 16,
              "daylight_offset");

static_assert(sizeof(DownloadInfo) == 64, "DownloadInfo is 64 bytes");
static_assert(offsetof(DownloadInfo, image_size) == 32, "image_size");
static_assert(offsetof(DownloadInfo, segment_size) == 36, "segment_size");
static_assert(offsetof(DownloadInfo, force) == 40, "force");
static_assert(offsetof(DownloadInfo, time) == 41, "time");
static_assert(offsetof(DownloadInfo, reserved) == 61, "reserved");

static_assert(sizeof(DeviceStatus) == 8, "DeviceStatus is 8 bytes");
static_assert(offsetof(DeviceStatus, state) == 1, "state");
static_assert(offsetof(DeviceStatus, bytes_written) == 2, "bytes_written");
static_assert(offsetof(DeviceStatus, reserved) == 6, "reserved");

// Sends one request with its setup record; returns the transport's result
// unchanged (zero or more: bytes moved; negative: failure).
int64_t velunorSendControlInfo(Transport* transport, uint16_t request,
                               void* data, uint32_t length);

// Reads the device's status (5 attempts, 200 ms after each failed one). An
// answer of fewer than 8 bytes is a failed attempt. 0 when a read went
// through, whatever it says; -1 when none did (`out` is then all zero).
int getDeviceStatus(Transport* transport, DeviceStatus* out);

// Polls the sync status until the device is no longer busy (10 polls, 200 ms
// before each). A failed request or an answer of fewer than 8 bytes ends the
// poll. 0 on status 0, else -1; `out` keeps the last answer (all zero when
// it did not count).
int getSyncStatus(Transport* transport, DeviceStatus* out);

// Local time with the zone's standard and daylight offsets. Always 0.
int getLocalTimeStamp(LocalTimeStamp* out);

// Fills the announcement of an image: version (cut to 31 characters and a
// zero byte), the low 32 bits of the size, the segment size from bSegmented,
// the force byte and a fresh time stamp.
void fillDownloadInfo(DownloadInfo* info, const char* version,
                      uint64_t image_size, uint8_t bSegmented, uint8_t bForce);

// The transfer length of a digest text: its length, counted up to 40, plus
// its terminating zero.
uint32_t digestTextLength(const char* text);

#endif  // VELUNOR_UPGRADE_CONTROL_PROTOCOL_H_
