#include "upgrade/image_transfer.h"

#include <openssl/md5.h>

#include <cstddef>
#include <cstdlib>
#include <utility>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "upgrade/control_protocol.h"
#include "upgrade/upgrade_cancel.h"
#include "upgrade/upgrade_device.h"
#include "upgrade/upgrade_progress.h"

namespace {

constexpr char kTransferTimeFormat[] =
    "Transfer Time: %04d-%02d-%02d %02d:%02d:%02d GMT %d Daylight %d\n";
constexpr char kUpdateTimeFormat[] =
    "Update Time: %04d-%02d-%02d %02d:%02d:%02d GMT %d Daylight %d\n";
constexpr char kChunkBufferFailure[] = "Failed to allocate buffer. Size: %zd\n";
constexpr char kSegmentCountFailure[] =
    "Something wrong in the transferring, error is (%d) BytesWritten: %u\n";
constexpr char kFinalCountFailure[] =
    "Something wrong in the transferring, error is (%d) writtenBytes: %d\n";
constexpr char kIntegrityFailure[] =
    "Integration Checking Failed. status(%d) state(%d)\n";
constexpr char kRefusedAnnouncement[] =
    "fail to set the download information, wrong status: %d, wrong state: %d";
constexpr char kImageTooLargeText[] = "update file is too large: %llu bytes";
constexpr char kImageNotSentWholeText[] =
    "update file could not be sent whole: %llu of %llu bytes";

// The announcement carries the image's size in 32 bits.
constexpr uint64_t kLargestImageSize = 0xFFFFFFFF;

// Room for an 8-bit value as decimal text.
constexpr size_t kNumberTextSize = 8;

ImageBufferAllocator bufferAllocator = nullptr;

struct BufferFree {
  void operator()(void* bytes) const { std::free(bytes); }
};
using Buffer = std::unique_ptr<uint8_t, BufferFree>;

// Null when the memory cannot be had: the caller reports it, nothing throws.
Buffer allocateBuffer(size_t size) {
  void* bytes =
      bufferAllocator != nullptr ? bufferAllocator(size) : std::malloc(size);
  return Buffer(static_cast<uint8_t*>(bytes));
}

void printTimeStamp(const char* format, const LocalTimeStamp& stamp) {
  std::printf(format, stamp.year, stamp.month, stamp.day, stamp.hour,
              stamp.minute, stamp.second, stamp.gmt_offset,
              stamp.daylight_offset);
}

// The device holds exactly the bytes sent so far. Its count is 32 bits wide,
// so from 4 GiB on it can no longer agree.
bool countConfirmed(const DeviceStatus& status, uint64_t total) {
  return status.status == kDeviceStatusSuccess &&
         static_cast<uint64_t>(status.bytes_written) == total;
}

// The 64-bit size of the open file, or -1 when it cannot be taken.
int64_t imageSize(FILE* image) {
  if (_fseeki64(image, 0, SEEK_END) != 0) return -1;
  return _ftelli64(image);
}

// Refused before any request: announced with its low 32 bits, it would be
// streamed whole before any count could disagree.
int reportTooLarge(uint64_t size) {
  reportEventFormat(EVENTLOG_ERROR_TYPE, kImageTooLargeText,
                    static_cast<unsigned long long>(size));
  return kImageTooLarge;
}

int reportUnopenable(const char* path) {
  const char* strings[] = {"can not open update file : ",
                           path != nullptr ? path : ""};
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, strings, 2);
  return kImageNotOpened;
}

// Tells the device about the image until it is ready for it, clearing a
// download it still holds.
int announceImage(Transport* transport, const char* version, uint64_t size,
                  uint8_t bSegmented, uint8_t bForce) {
  DeviceStatus status{};
  for (int attempt = 1; attempt <= kAnnounceAttempts; ++attempt) {
    DownloadInfo info;
    fillDownloadInfo(&info, version, size, bSegmented, bForce);
    printTimeStamp(kTransferTimeFormat, info.time);
    if (velunorSendControlInfo(transport, VLNR_USB_REQ_WUP_SET_DNLOAD_INFO,
                               &info, sizeof info) < 0) {
      reportEvent(EVENTLOG_ERROR_TYPE,
                  U16("fail to send usb control "
                      "Information(VLNR_USB_REQ_WUP_SET_DNLOAD_INFO)"));
      return kImageAnnouncementNotSent;
    }
    reportEvent(EVENTLOG_SUCCESS, U16("velunorSendControlInfo success "
                                      "(VLNR_USB_REQ_WUP_SET_DNLOAD_INFO)"));
    if (getDeviceStatus(transport, &status) != 0) {
      reportEvent(EVENTLOG_ERROR_TYPE, U16("fail to read usb status"));
      return kImageAnnouncementStatusNotRead;
    }
    if (status.status == kDeviceStatusSuccess &&
        status.state == kDeviceStateReady) {
      return 0;
    }
    if (status.status != kDeviceStatusBusy) break;
    if (velunorSendControlInfo(transport, VLNR_USB_REQ_WUP_ABORT, nullptr, 0) <
        0) {
      reportEvent(
          EVENTLOG_ERROR_TYPE,
          U16("fail to send usb control Information(VLNR_USB_REQ_WUP_ABORT)"));
      return kImageAbortNotSent;
    }
    reportEvent(EVENTLOG_SUCCESS,
                U16("velunorSendControlInfo success (VLNR_USB_REQ_WUP_ABORT)"));
    transport->sleep_ms(kAbortWaitMs);
  }
  reportEventFormat(EVENTLOG_ERROR_TYPE, kRefusedAnnouncement, status.status,
                    status.state);
  return kImageAnnouncementRefused;
}

// After a full segment: the device must hold every byte sent so far.
int confirmSegment(Transport* transport, uint64_t total) {
  reportEvent(EVENTLOG_SUCCESS, U16("veluSyncData transporting........."));
  DeviceStatus status;
  if (getSyncStatus(transport, &status) != 0) {
    reportEvent(EVENTLOG_ERROR_TYPE, U16("fail to sync data in transfer"));
    return kImageSegmentSyncFailed;
  }
  if (countConfirmed(status, total)) return 0;
  char status_text[kNumberTextSize];
  std::snprintf(status_text, sizeof status_text, "%d", status.status);
  const char* strings[] = {
      "Something wrong in the transferring : ", "Wrong status : ", status_text};
  reportEventStrings(EVENTLOG_ERROR_TYPE, strings, 3);
  std::fprintf(stderr, kSegmentCountFailure, status.status,
               static_cast<unsigned>(status.bytes_written));
  return kImageSegmentCountDisagreed;
}

// Whatever the device confirmed, it cannot hold an image the data phase did
// not send whole.
int checkSentWhole(bool read_failed, uint64_t total, uint64_t size) {
  if (read_failed) {
    std::fputs("update file could not be read whole\n", stderr);
    reportEvent(EVENTLOG_ERROR_TYPE,
                U16("update file could not be read whole"));
    return kImageNotSentWhole;
  }
  if (total == size) return 0;
  auto sent = static_cast<unsigned long long>(total);
  auto whole = static_cast<unsigned long long>(size);
  std::fprintf(stderr, kImageNotSentWholeText, sent, whole);
  std::fputc('\n', stderr);
  reportEventFormat(EVENTLOG_ERROR_TYPE, kImageNotSentWholeText, sent, whole);
  return kImageNotSentWhole;
}

// A last segment that did not fill (or no segments at all) still has to be
// confirmed.
bool finalSyncDue(uint8_t bSegmented, uint64_t total) {
  return bSegmented == 0 || (total & (kImageSegmentLength - 1)) != 0;
}

int finalSync(Transport* transport, uint64_t total) {
  transport->usb_write(nullptr, 0);
  DeviceStatus status;
  if (getSyncStatus(transport, &status) != 0) {
    reportEvent(EVENTLOG_ERROR_TYPE, U16("fail to sync data in transfer"));
    std::fprintf(stderr, "Failed to do sync\n");
    return kImageFinalSyncFailed;
  }
  if (countConfirmed(status, total)) return 0;
  int written = static_cast<int>(status.bytes_written);
  std::fprintf(stderr, kFinalCountFailure, status.status, written);
  reportEventFormat(EVENTLOG_ERROR_TYPE, kFinalCountFailure, status.status,
                    written);
  return kImageFinalCountDisagreed;
}

// The device compares the image it holds with the file's digest.
int checkIntegrity(Transport* transport, const char* path) {
  progressStep(kUpgradeProgressCheckingDigest);
  char text[kDigestTextBufferSize] = {};
  if (generateMd5Sum(path, text) != 0) {
    reportEvent(EVENTLOG_ERROR_TYPE, U16("Failed to generate the MD5 Sum"));
    return kImageDigestNotComputed;
  }
  if (velunorSendControlInfo(transport, VLNR_USB_REQ_WUP_SET_MD5SUM, text,
                             digestTextLength(text)) < 0) {
    const char* strings[] = {"Failed to issue the md5sum control msg : ", text};
    reportEventStrings(EVENTLOG_ERROR_TYPE, strings, 2);
    return kImageDigestNotSent;
  }
  DeviceStatus status;
  if (getDeviceStatus(transport, &status) != 0) {
    reportEvent(EVENTLOG_ERROR_TYPE, U16("Failed to read the status"));
    return kImageDigestStatusNotRead;
  }
  if (status.status == kDeviceStatusSuccess) return 0;
  std::fprintf(stderr, kIntegrityFailure, status.status, status.state);
  reportEventFormat(EVENTLOG_ERROR_TYPE, kIntegrityFailure, status.status,
                    status.state);
  return kImageIntegrityCheckFailed;
}

int startUpdate(Transport* transport) {
  // A device gone before the line is an upgrade not done (told by the
  // caller); from the next step on it no longer can be.
  if (upgradeCancelled()) return kImageCancelled;
  // The line: a listener learns of it before the request can reach the
  // device, and from here on the call sends the device nothing more.
  noteStartRequestSent();
  progressStep(kUpgradeProgressStarting);
  LocalTimeStamp stamp;
  getLocalTimeStamp(&stamp);
  printTimeStamp(kUpdateTimeFormat, stamp);
  reportEventFormat(EVENTLOG_INFORMATION_TYPE, kUpdateTimeFormat, stamp.year,
                    stamp.month, stamp.day, stamp.hour, stamp.minute,
                    stamp.second, stamp.gmt_offset, stamp.daylight_offset);
  int64_t sent = 0;
  {
    StartRequestInFlight once;
    sent = velunorSendControlInfo(transport, VLNR_USB_REQ_WUP_START_UPDATE,
                                  &stamp, sizeof stamp);
  }
  if (sent < 0) {
    reportEvent(EVENTLOG_ERROR_TYPE,
                U16("fail to send usb control "
                    "Information(VLNR_USB_REQ_WUP_START_UPDATE)"));
    return kImageStartNotSent;
  }
  reportEvent(EVENTLOG_INFORMATION_TYPE,
              U16("success to send usb control "
                  "Information(VLNR_USB_REQ_WUP_START_UPDATE)"));
  DeviceStatus status;
  if (getDeviceStatus(transport, &status) != 0) {
    std::fprintf(stderr, "Failed to read the status\n");
    reportEvent(EVENTLOG_ERROR_TYPE, U16("Failed to read the status\n"));
    return kImageStartStatusNotRead;
  }
  noteStartAnswered(status.status == kDeviceStatusSuccess);
  if (status.status == kDeviceStatusSuccess) return 0;
  char status_text[kNumberTextSize];
  char state_text[kNumberTextSize];
  std::snprintf(status_text, sizeof status_text, "%d", status.status);
  std::snprintf(state_text, sizeof state_text, "%d", status.state);
  const char* strings[] = {"fail to set the Check Status : ", "Wrong status : ",
                           status_text, "Wrong state : ", state_text};
  reportEventStrings(EVENTLOG_ERROR_TYPE, strings, 5);
  return kImageStartRefused;
}

// OpenSSL 3 deprecates the MD5_* calls in favour of EVP; they are still the
// digest this library is built on.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
// False when a read failed: a digest of part of the file must not be sent.
bool digestFile(FILE* file, uint8_t* buffer,
                unsigned char (&digest)[MD5_DIGEST_LENGTH]) {
  MD5_CTX context;
  MD5_Init(&context);
  for (;;) {
    size_t read = std::fread(buffer, 1, kDigestReadSize, file);
    if (read == 0) break;
    MD5_Update(&context, buffer, read);
  }
  MD5_Final(digest, &context);
  return std::ferror(file) == 0;
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace

void setImageBufferAllocator(ImageBufferAllocator allocate) {
  bufferAllocator = allocate;
}

int generateMd5Sum(const char* path, char* text) {
  ImageFile file(openBinaryFile(path));
  if (!file) return -1;
  Buffer buffer = allocateBuffer(kDigestReadSize);
  if (!buffer) {
    std::fprintf(stderr, "Failed to allocate the buffer\n");
    return -2;
  }
  unsigned char digest[MD5_DIGEST_LENGTH];
  bool whole = digestFile(file.get(), buffer.get(), digest);
  buffer.reset();
  file.reset();
  if (!whole) return -3;
  static constexpr char kHexDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < MD5_DIGEST_LENGTH; ++i) {
    text[2 * i] = kHexDigits[digest[i] >> 4];
    text[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
  }
  text[2 * MD5_DIGEST_LENGTH] = 0;
  return 0;
}

int veluSyncData(Transport* transport, ImageFile image, uint64_t segment_length,
                 uint64_t* total, bool* read_failed) {
  _fseeki64(image.get(), 0, SEEK_SET);
  Buffer buffer = allocateBuffer(kImageChunkSize);
  if (!buffer) {
    auto size = static_cast<ptrdiff_t>(kImageChunkSize);
    std::fprintf(stderr, kChunkBufferFailure, size);
    reportEventFormat(EVENTLOG_ERROR_TYPE, kChunkBufferFailure, size);
    return kImageChunkBufferNotObtained;
  }
  *total = 0;
  *read_failed = false;
  uint64_t missing = segment_length;
  // Chunks never cross a segment's end, so every full segment is confirmed
  // exactly at its last byte.
  for (;;) {
    size_t wanted = missing < kImageChunkSize ? static_cast<size_t>(missing)
                                              : kImageChunkSize;
    size_t read = std::fread(buffer.get(), 1, wanted, image.get());
    if (read == 0) {
      *read_failed = std::ferror(image.get()) != 0;
      break;
    }
    int64_t written = transport->usb_write(buffer.get(), read);
    if (written < static_cast<int64_t>(read)) {
      reportEvent(EVENTLOG_ERROR_TYPE,
                  U16("Send the update file through USB fail"));
      break;
    }
    *total += static_cast<uint64_t>(written);
    progressBytesSent(*total);
    missing -= read;
    if (missing != 0) continue;
    int result = confirmSegment(transport, *total);
    if (result != 0) return result;
    missing = segment_length;
  }
  buffer.reset();
  image.reset();
  reportEvent(EVENTLOG_SUCCESS, U16("veluSyncData transport finished"));
  return 0;
}

namespace {

// The whole procedure for one image; its result is told once, by the caller.
int sendImageFile(Transport* transport, const char* path, const char* version,
                  uint8_t bUpdate, uint8_t bSegmented, uint8_t bForce) {
  if (transport == nullptr) return kImageNoTransport;
  ImageFile image(path != nullptr ? openBinaryFile(path) : nullptr);
  if (!image) return reportUnopenable(path);
  int64_t size = imageSize(image.get());
  if (size == 0) return kImageEmpty;
  // A file whose size cannot be taken cannot be sent either.
  if (size < 0) return reportUnopenable(path);
  if (static_cast<uint64_t>(size) > kLargestImageSize) {
    return reportTooLarge(size);
  }
  int result = announceImage(transport, version != nullptr ? version : "",
                             static_cast<uint64_t>(size), bSegmented, bForce);
  if (result != 0) return result;
  progressImageSending(path, static_cast<uint64_t>(size));
  // Without segments the one segment is longer than the image, so it never
  // fills and only the final sync confirms the count.
  uint64_t segment_length =
      bSegmented != 0 ? kImageSegmentLength : static_cast<uint64_t>(size) + 1;
  uint64_t total = 0;
  bool read_failed = false;
  result = veluSyncData(transport, std::move(image), segment_length, &total,
                        &read_failed);
  if (result != 0) return result;
  result = checkSentWhole(read_failed, total, static_cast<uint64_t>(size));
  if (result != 0) return result;
  if (finalSyncDue(bSegmented, total)) {
    result = finalSync(transport, total);
    if (result != 0) return result;
  }
  result = checkIntegrity(transport, path);
  if (result != 0) return result;
  if (bUpdate == 0) return kImageSent;
  return startUpdate(transport);
}

}  // namespace

int veluSendImageFile(Transport* transport, const char* path,
                      const char* version, uint8_t bUpdate, uint8_t bSegmented,
                      uint8_t bForce) {
  int result =
      upgradeCancelled()
          ? kImageCancelled
          : sendImageFile(transport, path, version, bUpdate, bSegmented, bForce);
  // Whichever step the device's going cut short, the download ended for
  // that reason; once the start request was handed to the transport, the
  // step's own failure stands.
  if (result != kImageSent && upgradeDeviceWentAway()) {
    reportEvent(EVENTLOG_ERROR_TYPE, U16("download cancelled"));
    result = kImageCancelled;
  }
  progressImageDone(path, result);
  return result;
}
