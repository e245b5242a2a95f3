// The device side of the vendor protocol. The wire bytes are decoded here on
// their own terms, so a layout mistake of the host side shows up as a refused
// request or a wrong verdict instead of passing by agreement.
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "testing/virtual_device/device_state.h"

namespace vdev {
namespace internal {

namespace {

constexpr uint8_t kTypeHostToDevice = 0x01;
constexpr uint8_t kTypeDeviceToHost = 0x81;
constexpr size_t kSetupSize = 8;
constexpr size_t kDownloadInfoSize = 64;
constexpr size_t kTimeStampSize = 20;
constexpr size_t kDigestTextSize = 33;
constexpr size_t kStatusSize = 8;

struct RequestForm {
  uint16_t request;
  uint8_t request_type;
  uint16_t length;
};

constexpr RequestForm kForms[] = {
    {kRequestSetDownloadInfo, kTypeHostToDevice, kDownloadInfoSize},
    {kRequestGetStatus, kTypeDeviceToHost, kStatusSize},
    {kRequestAbort, kTypeHostToDevice, 0},
    {kRequestGetSyncStatus, kTypeDeviceToHost, kStatusSize},
    {kRequestSetMd5Sum, kTypeHostToDevice, kDigestTextSize},
    {kRequestStartUpdate, kTypeHostToDevice, kTimeStampSize},
};

uint16_t le16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

uint32_t le32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) |
         static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 |
         static_cast<uint32_t>(bytes[3]) << 24;
}

void putLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A decoded 20-byte time stamp: six 16-bit fields, two signed 32-bit offsets.
void decodeTime(const uint8_t* bytes, uint16_t (&fields)[6], int32_t* gmt,
                int32_t* daylight) {
  for (int i = 0; i < 6; ++i) fields[i] = le16(bytes + 2 * i);
  *gmt = static_cast<int32_t>(le32(bytes + 12));
  *daylight = static_cast<int32_t>(le32(bytes + 16));
}

bool plausibleTime(const uint16_t (&fields)[6]) {
  return fields[1] >= 1 && fields[1] <= 12 && fields[2] >= 1 &&
         fields[2] <= 31 && fields[3] <= 23 && fields[4] <= 59 &&
         fields[5] <= 59;
}

const RequestForm* formOf(uint16_t request) {
  for (const RequestForm& form : kForms) {
    if (form.request == request) return &form;
  }
  return nullptr;
}

// What a strict device checks before it acts on a request: the form of the
// setup record against the request table, and the transfer around it.
bool wellFormed(const uint8_t* setup, uint8_t direction, const void* buffer,
                AdbULong length) {
  const RequestForm* form = formOf(le16(setup + 2));
  if (form == nullptr) return false;
  if (setup[0] != 0 || le16(setup + 4) != 0) return false;
  if (setup[1] != form->request_type) return false;
  if (le16(setup + 6) != form->length || length != form->length) return false;
  uint8_t expected_direction = (form->request_type & 0x80) != 0 ? 1 : 0;
  if (direction != expected_direction) return false;
  return form->length == 0 || buffer != nullptr;
}

// A gated request goes unanswered while its file exists, as from a device
// that stopped answering for a while.
bool gateClosed(const Device& d, uint16_t request) {
  if (d.gate_file.empty() || d.gate_request != request) return false;
  FILE* file = std::fopen(d.gate_file.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

bool downloadPending(const Device& d) {
  return d.pending_download || d.verdict.state == kStateReceiving ||
         d.verdict.state == kStateReceived;
}

bool announce(Device& d, const uint8_t* info) {
  // The version field must hold its terminating zero, and the three bytes
  // behind the time stamp are reserved.
  if (std::memchr(info, 0, 32) == nullptr) return false;
  if (info[61] != 0 || info[62] != 0 || info[63] != 0) return false;
  uint16_t time[6];
  int32_t gmt = 0, daylight = 0;
  decodeTime(info + 41, time, &gmt, &daylight);
  if (!plausibleTime(time)) return false;
  ++d.verdict.announcements;
  // A device already running this version takes it again only by force.
  if (d.verdict.restarts != 0 && info[40] == 0 &&
      std::strncmp(reinterpret_cast<const char*>(info), d.verdict.firmware,
                   32) == 0) {
    d.last_status = kStatusFailed;
    return true;
  }
  if (downloadPending(d)) {
    d.last_status = kStatusBusy;
    return true;
  }
  d.resetDownload();
  Verdict& v = d.verdict;
  std::memset(v.version, 0, sizeof v.version);
  std::memcpy(v.version, info, 32);
  v.announced = true;
  v.image_size = le32(info + 32);
  v.segment_size = le32(info + 36);
  v.force = info[40];
  std::copy(std::begin(time), std::end(time), v.announce_time);
  v.gmt_offset = gmt;
  v.daylight_offset = daylight;
  v.update_started = false;
  if (v.image_size == 0) {
    d.last_status = kStatusFailed;
    v.state = kStateIdle;
    return true;
  }
  if (!d.image_path.empty())
    d.image_file = std::fopen(d.image_path.c_str(), "wb");
  v.state = kStateReceiving;
  d.last_status = kStatusOk;
  return true;
}

void abortDownload(Device& d) {
  d.resetDownload();
  d.pending_download = false;
  d.verdict.state = kStateIdle;
  ++d.verdict.aborts;
  d.last_status = kStatusOk;
}

bool checkDigest(Device& d, const uint8_t* text) {
  if (text[32] != 0) return false;
  Verdict& v = d.verdict;
  std::memcpy(v.md5_claimed, text, 33);
  v.md5_checked = true;
  v.md5_verified = v.state == kStateReceived &&
                   std::memcmp(v.md5_claimed, v.md5_computed, 33) == 0;
  if (v.md5_verified) v.state = kStateVerified;
  d.last_status = v.md5_verified ? kStatusOk : kStatusFailed;
  return true;
}

// The accepted start of a device that restarts: it is gone from the end of
// this request on, and comes back running the started version.
void restartIfDue(Device& d) {
  ++d.verdict.starts;
  std::memcpy(d.verdict.firmware, d.verdict.version, sizeof d.verdict.firmware);
  if (!d.restart_on_start) return;
  d.pullNow();
  d.restarting = true;
  d.back_time = std::chrono::steady_clock::now() +
                std::chrono::milliseconds(d.restart_down_ms);
  // Restarting before its answer, the start request is the call that
  // fails slowly.
  d.slow_failure_due =
      !d.restart_unanswered && d.restart_first_fail_ms != 0;
}

bool startUpdate(Device& d, const uint8_t* stamp) {
  uint16_t time[6];
  int32_t gmt = 0, daylight = 0;
  decodeTime(stamp, time, &gmt, &daylight);
  if (!plausibleTime(time)) return false;
  Verdict& v = d.verdict;
  if (v.state != kStateVerified) {
    d.last_status = kStatusFailed;
    return true;
  }
  std::copy(std::begin(time), std::end(time), v.update_time);
  v.update_started = true;
  v.state = kStateUpdating;
  d.last_status = kStatusOk;
  return true;
}

// The 8-byte status record: status, state, received count, two reserved.
// Returns how many of them the answer delivers.
size_t answerStatus(Device& d, uint16_t request,
                    uint8_t (&answer)[kStatusSize]) {
  const Verdict& v = d.verdict;
  uint8_t status = d.last_status;
  if (request == kRequestGetSyncStatus) {
    bool receiving = v.state == kStateReceiving || v.state == kStateReceived ||
                     d.accept_unannounced;
    status = receiving ? kStatusOk : kStatusFailed;
  }
  uint8_t state = v.state;
  int64_t count = static_cast<int64_t>(v.bytes_received);
  size_t length = kStatusSize;
  uint32_t occurrence = d.request_counts[request];
  for (const Override& o : d.overrides) {
    if (o.request != request || occurrence < o.first ||
        occurrence - o.first >= o.count) {
      continue;
    }
    if (o.answer.status >= 0) status = static_cast<uint8_t>(o.answer.status);
    if (o.answer.state >= 0) state = static_cast<uint8_t>(o.answer.state);
    if (o.answer.bytes_written >= 0) count = o.answer.bytes_written;
    count += o.answer.bytes_delta;
    length = std::min<size_t>(o.answer.length, kStatusSize);
  }
  std::memset(answer, 0, kStatusSize);
  answer[0] = status;
  answer[1] = state;
  putLe32(answer + 2, static_cast<uint32_t>(count));
  return length;
}

// What an answer source makes of a control transfer the device accepted:
// the count reported, and for a status read the bytes delivered.
size_t reportControl(Device& d, uint16_t request, AdbULong length,
                     size_t moved, uint8_t (&answer)[kStatusSize],
                     bool status_read) {
  const AnswerSource* source = d.answer_source;
  if (source == nullptr || source->controlCount == nullptr) return moved;
  return source->controlCount(source->context, request, length,
                              status_read ? answer : nullptr);
}

void finishImage(Device& d) {
  Verdict& v = d.verdict;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(d.md5, digest, &size);
  for (unsigned i = 0; i < size && i < 16; ++i) {
    std::snprintf(v.md5_computed + 2 * i, 3, "%02x", digest[i]);
  }
  v.image_received = true;
  v.state = kStateReceived;
  if (d.image_file != nullptr) std::fclose(d.image_file);
  d.image_file = nullptr;
}

void consume(Device& d, const uint8_t* bytes, size_t size) {
  Verdict& v = d.verdict;
  EVP_DigestUpdate(d.md5, bytes, size);
  if (d.image_file != nullptr) std::fwrite(bytes, 1, size, d.image_file);
  v.bytes_received += size;
  if (v.state == kStateReceiving && v.bytes_received == v.image_size) {
    finishImage(d);
  }
}

bool inCallRange(uint32_t call_number, uint32_t first, uint32_t count) {
  return count != 0 && call_number >= first && call_number - first < count;
}

}  // namespace

bool pulledAtRequest(Session& s, uint16_t request) {
  Device& d = s.d;
  if (!d.pull_armed || request != d.pull_request ||
      d.request_counts[request] != d.pull_nth) {
    return false;
  }
  d.pull_armed = false;
  if (d.pull_wait_ms == 0) {
    d.pullNow();
    s.fail(d.gone_error);
    return true;
  }
  // Still there: it refuses, and is pulled while its host waits.
  d.pull_timed = true;
  d.pull_time = std::chrono::steady_clock::now() +
                std::chrono::milliseconds(d.pull_wait_ms);
  s.fail(kErrorStall);
  return true;
}

bool controlTransfer(Session& s, bool open, uint8_t direction,
                     const uint8_t* setup, void* buffer, AdbULong length,
                     AdbULong* transferred) {
  Device& d = s.d;
  CallRecord& rec = s.rec();
  rec.direction = direction;
  rec.length = length;
  rec.buffer = reinterpret_cast<uintptr_t>(buffer);
  if (setup != nullptr) std::memcpy(rec.setup, setup, kSetupSize);
  if (direction == 0 && length != 0) s.keep(buffer, length);
  if (s.faulted()) return false;
  if (!open) return s.fail(kErrorGone);
  if (setup == nullptr || transferred == nullptr) {
    return s.fail(kErrorInvalidParameter);
  }
  if (!wellFormed(setup, direction, buffer, length)) {
    ++d.verdict.refused_requests;
    return s.fail(kErrorStall);
  }
  uint16_t request = le16(setup + 2);
  if (gateClosed(d, request)) return s.fail(kErrorStall);
  const auto* data = static_cast<const uint8_t*>(buffer);
  bool accepted = true;
  size_t moved = length;
  bool status_read = false;
  uint8_t answer[kStatusSize] = {};
  ++d.request_counts[request];
  if (request == d.hold_request && d.request_counts[request] == d.hold_nth) {
    holdUntilReleased(d);
  }
  if (pulledAtRequest(s, request)) return false;
  if (request == d.unplug_request &&
      d.request_counts[request] == d.unplug_request_nth) {
    d.verdict.unplugged = true;
    return s.fail(kErrorGone);
  }
  switch (request) {
    case kRequestSetDownloadInfo:
      accepted = announce(d, data);
      break;
    case kRequestAbort:
      abortDownload(d);
      break;
    case kRequestSetMd5Sum:
      accepted = checkDigest(d, data);
      break;
    case kRequestStartUpdate:
      accepted = startUpdate(d, data);
      if (accepted && d.last_status == kStatusOk) restartIfDue(d);
      // It took the request and reset before the status stage: the host
      // sees the request fail, once the device has left the listing.
      if (d.restarting && d.restart_unanswered) {
        // Seen from outside at once: the update started, the device gone.
        if (!d.output_directory.empty()) writeVerdictFile(d);
        return s.failSlowly(d.restart_unanswered_ms, d.gone_error);
      }
      break;
    default:  // the two status reads
      moved = answerStatus(d, request, answer);
      status_read = true;
      break;
  }
  if (!accepted) {
    ++d.verdict.refused_requests;
    return s.fail(kErrorStall);
  }
  moved = reportControl(d, request, length, moved, answer, status_read);
  if (status_read) {
    size_t delivered = std::min<size_t>(moved, length);
    std::memcpy(buffer, answer, delivered);
    s.keep(buffer, delivered);
  }
  *transferred = static_cast<AdbULong>(moved);
  rec.moved = *transferred;
  return s.succeed();
}

bool bulkWrite(Session& s, const uint8_t* buffer, AdbULong bytes,
               AdbULong* written) {
  Device& d = s.d;
  Verdict& v = d.verdict;
  uint32_t call_number =
      d.call_counts[static_cast<size_t>(Call::kWriteEndpointSync)];
  if (written == nullptr || (buffer == nullptr && bytes != 0)) {
    return s.fail(kErrorInvalidParameter);
  }
  *written = 0;
  if (inCallRange(call_number, d.zero_first, d.zero_count)) return s.succeed();
  if (bytes == 0) {
    ++v.zero_length_packets;
    return s.succeed();
  }
  if (++d.data_writes == d.pull_nth && d.pull_armed && d.pull_request == 0) {
    d.pull_armed = false;
    d.pullNow();
    return s.fail(d.gone_error);
  }
  bool receiving = v.state == kStateReceiving;
  if (!receiving && !d.accept_unannounced) return s.fail(kErrorStall);
  uint64_t take = bytes;
  if (d.write_limit != 0) take = std::min<uint64_t>(take, d.write_limit);
  if (receiving)
    take = std::min<uint64_t>(take, v.image_size - v.bytes_received);
  if (take == 0) return s.fail(kErrorStall);  // more data than announced
  uint64_t reported = UINT64_MAX;
  if (d.answer_source != nullptr && d.answer_source->writeCount != nullptr) {
    reported = d.answer_source->writeCount(d.answer_source->context, bytes,
                                           static_cast<uint32_t>(take));
    if (reported < take) take = reported;
    if (reported <= bytes) reported = UINT64_MAX;
  }
  bool pulled = v.bytes_received + take >= d.unplug_at;
  if (pulled) {
    take = v.bytes_received < d.unplug_at ? d.unplug_at - v.bytes_received : 0;
  }
  consume(d, buffer, static_cast<size_t>(take));
  *written = static_cast<AdbULong>(reported != UINT64_MAX ? reported : take);
  if (inCallRange(call_number, d.over_first, d.over_count)) ++*written;
  s.rec().moved = *written;
  if (pulled) {
    v.unplugged = true;
    return s.fail(kErrorGone);
  }
  return s.succeed();
}

}  // namespace internal
}  // namespace vdev
