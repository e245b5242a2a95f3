// The scripting side of the virtual device: a stand-in for a device of our
// interface class behind the AdbWinApi calls of adbwinapi/adb_api.h. Tests
// script interfaces, answers and faults through these functions and read back
// every call the code under test made, with its arguments and the bytes that
// crossed the wire. On Windows they are exported from our AdbWinApi.dll; on the
// host they live in the same static library as the Adb* calls.
//
// Only plain types cross the module boundary; the std:: helpers at the end are
// inline and run in the caller's module.
#ifndef VELUNOR_TESTING_VIRTUAL_DEVICE_VIRTUAL_DEVICE_H_
#define VELUNOR_TESTING_VIRTUAL_DEVICE_VIRTUAL_DEVICE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "adbwinapi/adb_api.h"

#if defined(_WIN32)
#if defined(ADBWINAPI_EXPORTS)
#define VDEV_API __declspec(dllexport)
#else
#define VDEV_API __declspec(dllimport)
#endif
#else
#define VDEV_API
#endif

namespace vdev {

// The AdbWinApi calls, as they show in the record.
enum class Call : uint32_t {
  kEnumInterfaces,
  kNextInterface,
  kCreateInterfaceByName,
  kOpenDefaultBulkReadEndpoint,
  kOpenDefaultBulkWriteEndpoint,
  kGetInterfaceName,
  kGetSerialNumber,
  kGetUsbDeviceDescriptor,
  kGetUsbInterfaceDescriptor,
  kGetEndpointInformation,
  kReadEndpointSync,
  kWriteEndpointSync,
  kDefaultEndpointReadWriteSync,
  kCloseHandle,
  kCount
};

VDEV_API const char* callName(Call call);

// The device's vendor requests and its answers.
constexpr uint16_t kRequestSetDownloadInfo = 1;
constexpr uint16_t kRequestGetStatus = 2;
constexpr uint16_t kRequestAbort = 6;
constexpr uint16_t kRequestGetSyncStatus = 7;
constexpr uint16_t kRequestSetMd5Sum = 8;
constexpr uint16_t kRequestStartUpdate = 9;

constexpr uint8_t kStatusOk = 0;
constexpr uint8_t kStatusBusy = 1;
constexpr uint8_t kStatusFailed = 2;

constexpr uint8_t kStateIdle = 1;
constexpr uint8_t kStateReceiving = 2;
constexpr uint8_t kStateReceived = 3;
constexpr uint8_t kStateVerified = 4;
constexpr uint8_t kStateUpdating = 5;

// The error a stalled (refused) control transfer leaves.
constexpr uint32_t kErrorStall = 31;  // ERROR_GEN_FAILURE
constexpr uint32_t kErrorGone = 6;    // ERROR_INVALID_HANDLE
// The error every call of a device pulled by pullAt() (or restarting) fails
// with: ERROR_DEVICE_NOT_CONNECTED, the system's own word for a device that
// is not there. Neither a stall (31), which a device that is there gives,
// nor an aborted call (995), which the upgrade library gives itself after a
// cancel.
constexpr uint32_t kErrorPulled = 1167;

// One interface of the device class. Defaults: a present, active interface
// with one bulk endpoint pair of 512-byte packets and a serial number.
struct InterfaceConfig {
  bool present = true;
  bool removed = false;
  bool active = true;
  uint16_t vendor_id = 0x3F3A;
  uint16_t product_id = 0x9206;
  uint8_t device_class = 0xEF;
  uint8_t device_subclass = 0x02;
  uint8_t device_protocol = 0x01;
  uint8_t interface_class = 0xFF;
  uint8_t interface_subclass = 0x42;
  uint8_t interface_protocol = 0x03;
  uint8_t num_endpoints = 1;
  uint32_t max_packet_size = 512;
  bool has_serial = true;
  // Room for serial numbers longer than the 256 bytes a caller may offer.
  char serial[300] = "VLNR-SN-000123";
};

// The interface every fresh device has, as a device path in small letters.
VDEV_API const AdbWideChar* defaultInterfaceName();

// What a status read answers in place of the device's own view. Negative
// fields keep the device's value.
struct AnswerOverride {
  int status = -1;
  int state = -1;
  int64_t bytes_written = -1;
  int32_t bytes_delta = 0;  // added to the device's count
  uint32_t length = 8;      // bytes delivered, at most 8
};

// One recorded AdbWinApi call.
struct CallRecord {
  Call call = Call::kCount;
  uint32_t sequence = 0;  // 1 for the first call after reset()
  uint64_t handle = 0;    // the handle argument (interface, endpoint, ...)
  uint64_t buffer = 0;    // address of the buffer argument
  uint64_t result_handle = 0;
  uint32_t length = 0;  // bytes or characters asked for
  uint32_t moved = 0;   // the count the call reported back
  uint32_t timeout = 0;
  uint32_t error = 0;   // last error left by a failed call
  int32_t access = -1;  // open calls
  int32_t sharing = -1;
  uint8_t direction = 0;  // control transfers
  uint8_t setup[8] = {};
  uint8_t endpoint_index = 0;
  bool ansi = false;
  bool flags[3] = {};  // enumeration filters
  bool result = false;
  uint32_t payload_size = 0;   // bytes kept, see callPayload()
  uint32_t payload_total = 0;  // bytes that crossed in all
};

// Everything the device concluded, for tests and for the verdict file.
struct Verdict {
  bool announced = false;
  char version[33] = {};
  uint32_t image_size = 0;
  uint32_t segment_size = 0;
  uint8_t force = 0;
  uint16_t announce_time[6] = {};  // year, month, day, hour, minute, second
  int32_t gmt_offset = 0;
  int32_t daylight_offset = 0;
  uint64_t bytes_received = 0;
  bool image_received = false;  // bytes_received reached image_size
  char md5_computed[33] = {};   // over the received bytes
  char md5_claimed[33] = {};    // the digest text the host sent
  bool md5_checked = false;
  bool md5_verified = false;
  bool update_started = false;
  uint16_t update_time[6] = {};
  uint32_t announcements = 0;
  uint32_t aborts = 0;
  uint32_t zero_length_packets = 0;
  uint32_t refused_requests = 0;  // malformed control transfers
  bool unplugged = false;
  uint8_t state = kStateIdle;
  bool held = false;  // a request is held until released (script files only)
  uint32_t starts = 0;    // start requests accepted, restarts included
  uint32_t restarts = 0;  // times it came back from a restart
  char firmware[33] = {};  // the version it runs since its last restart
};

// How a call ends when an answer source decides it.
enum class Fate : uint32_t {
  kAnswer,      // the device answers as it would
  kFailBefore,  // the call fails before the device sees it
  kFailAfter,   // the device acts, but the caller is told the call failed
  kPullOut,     // the device is pulled out now; the call fails with error 6
};

// A source of answers beside the device's own, for fuzzing: it decides how
// every call ends and what every transfer reports, while the device keeps its
// own honest view of what it received, verified and started (verdict()).
// Plain function pointers, so that it can cross the module boundary.
struct AnswerSource {
  void* context = nullptr;
  // Consulted as each call begins. A failure leaves `*error` as the last
  // error. Calls that hand out a handle fail before the device acts even when
  // told kFailAfter; AdbCloseHandle fails only after it has let go.
  Fate (*fate)(void* context, Call call, uint32_t* error) = nullptr;
  // A bulk write of `asked` bytes of which the device would take `taking`:
  // the count it reports. Up to `taking`, the device takes that many bytes;
  // above `asked`, it takes `taking` and claims the count.
  uint32_t (*writeCount)(void* context, uint32_t asked,
                         uint32_t taking) = nullptr;
  // A control transfer the device has accepted: the count it reports.
  // For the two status reads `answer` holds the device's 8 bytes, which the
  // source may rewrite; the smaller of the count and `length` is delivered.
  // For other requests `answer` is null.
  uint32_t (*controlCount)(void* context, uint16_t request, uint32_t length,
                           uint8_t* answer) = nullptr;
};

// Null: the device answers alone (also after reset()).
VDEV_API void setAnswerSource(const AnswerSource* source);

// Back to a fresh device: one default interface, no faults, an empty record,
// no files. Handles given out before are no longer valid.
VDEV_API void reset();

// Interfaces. The first call of addInterface() after reset() replaces the
// default interface.
VDEV_API void addInterface(const AdbWideChar* name,
                           const InterfaceConfig& config);
VDEV_API void configureInterface(size_t index, const InterfaceConfig& config);
VDEV_API size_t interfaceCount();

// Faults. The nth call (1-based, counted from reset()) of a kind fails with
// `error`; nth 0 fails every one. Applies to every call kind.
VDEV_API void failCall(Call call, uint32_t nth, uint32_t error);
// The next `times` reads with `request` (GET_STATUS or GET_SYNC_STATUS) answer
// busy.
VDEV_API void answerBusy(uint16_t request, uint32_t times);
// Occurrences first .. first+count-1 (1-based, of `request`) answer with the
// override.
VDEV_API void overrideAnswer(uint16_t request, uint32_t first, uint32_t count,
                             const AnswerOverride& answer);
// Pretends a download from an earlier session is still pending: the next
// announcement is refused (busy) until an abort.
VDEV_API void setPendingDownload();
// Each bulk write takes at most this many bytes (0: no limit).
VDEV_API void limitWrites(uint32_t bytes_per_call);
// Write calls first .. first+count-1 (1-based, zero-length ones included)
// report success with 0 bytes written.
VDEV_API void zeroByteWrites(uint32_t first, uint32_t count);
// Write calls first .. first+count-1 (1-based, as above) take what they are
// given but report one byte more than they were asked to write.
VDEV_API void overReportWrites(uint32_t first, uint32_t count);
// The device is pulled out once it has received `byte` image bytes: the write
// that crosses it fails, and every later call fails with error 6.
VDEV_API void unplugAtByte(uint64_t byte);
// The device is pulled out when the nth `request` (1-based, GET_STATUS or
// GET_SYNC_STATUS) reaches it: that request and every later call fail with
// error 6, as when the cable goes while the host waits for an answer.
VDEV_API void unplugAtRequest(uint16_t request, uint32_t nth);
// While the file at `path` exists, every `request` (any request code) goes
// unanswered: the control transfer fails with error 31. Null: no gate.
VDEV_API void gateRequest(uint16_t request, const char* path);
VDEV_API void unplug();
// Pulled like real hardware: the nth `request` (any request code; 0: the nth
// bulk write with data) and every later call fail at once with kErrorPulled,
// and the interface is no longer listed. With `wait_ms`, that request is
// refused as by a stall instead (the device is still there) and the device
// is pulled `wait_ms` later, while its host waits to try again. The removal's
// broadcast is the test's to send, when it chooses.
VDEV_API void pullAt(uint16_t request, uint32_t nth, uint32_t wait_ms);
// The device restarts into its new firmware on an accepted start request:
// it answers the request, is gone (not listed, every call failing with
// kErrorPulled) for `down_ms`, and comes back idle, running the started
// version: an announcement of that version without force is then refused.
// The first call after the start takes `first_fail_ms` to fail.
VDEV_API void restartOnStart(uint32_t down_ms, uint32_t first_fail_ms);
// The same restart, before the device answers the start request: it takes
// the request (the update starts), leaves the listing at once, and the
// request fails with kErrorPulled after `request_fail_ms`, as a control
// transfer whose status stage never came. It is back `down_ms` after the
// request reached it, running the started version.
VDEV_API void restartBeforeAnswering(uint32_t down_ms,
                                     uint32_t request_fail_ms);
// Bytes that bulk reads deliver, in order.
VDEV_API void queueReadData(const uint8_t* data, size_t size);
// Accept bulk data before an announcement (plain transport tests); a strict
// device refuses it.
VDEV_API void acceptUnannouncedData(bool accept);
// Stream the received image into this file (null: keep no copy).
VDEV_API void storeImage(const char* path);
// Whether calls go into the record (on after reset()). Off for long
// transfers, where an entry per bulk write would grow with the image.
VDEV_API void keepRecord(bool keep);

// Scripting from a file, for runs in another process; see README.md.
// Returns false (and why in `error`) when the script has a bad line.
VDEV_API bool loadScript(const char* path, char* error, size_t error_size);
// Back to a fresh device that, like one in a new process, looks for its
// script file at the next AdbWinApi call (see README.md for where).
VDEV_API void lookForScript();
// Where the record, verdict and image files go (null: stop writing them).
VDEV_API void setOutputDirectory(const char* directory);

// The record.
VDEV_API size_t callCount();
VDEV_API bool callRecord(size_t index, CallRecord* record);
// Copies up to `capacity` payload bytes of call `index`; returns how many the
// record keeps (control data in full, bulk data up to kBulkPayloadKept bytes,
// the name of AdbCreateInterfaceByName, the GUID of AdbEnumInterfaces).
VDEV_API size_t callPayload(size_t index, uint8_t* out, size_t capacity);
constexpr size_t kBulkPayloadKept = 64;

VDEV_API Verdict verdict();
// Handles given out and not yet closed.
VDEV_API size_t openHandleCount();

// Conveniences in the caller's module.
inline std::vector<CallRecord> calls() {
  std::vector<CallRecord> all(callCount());
  for (size_t i = 0; i < all.size(); ++i) callRecord(i, &all[i]);
  return all;
}

inline std::vector<CallRecord> calls(Call kind) {
  std::vector<CallRecord> some;
  for (const CallRecord& record : calls()) {
    if (record.call == kind) some.push_back(record);
  }
  return some;
}

inline std::vector<uint8_t> payload(const CallRecord& record) {
  std::vector<uint8_t> bytes(record.payload_size);
  if (!bytes.empty()) {
    bytes.resize(callPayload(record.sequence - 1, bytes.data(), bytes.size()));
  }
  return bytes;
}

inline std::vector<uint8_t> setupBytes(const CallRecord& record) {
  return std::vector<uint8_t>(record.setup, record.setup + 8);
}

}  // namespace vdev

#endif  // VELUNOR_TESTING_VIRTUAL_DEVICE_VIRTUAL_DEVICE_H_
