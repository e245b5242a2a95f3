#include "tools/runner/progress_display.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

namespace {

// Room for a line with an image path of the library's longest (511 bytes).
constexpr size_t kLineBytes = 1024;

unsigned percentOf(uint64_t sent, uint64_t size) {
  if (sent >= size) return 100;
  // Rounded down: 100 % only once the device has every byte.
  return static_cast<unsigned>(sent * 100 / size);
}

// m:ss, or h:mm:ss from an hour on.
void formatDuration(char* text, size_t size, uint64_t seconds) {
  uint64_t hours = seconds / 3600;
  unsigned minutes = static_cast<unsigned>(seconds / 60 % 60);
  unsigned rest = static_cast<unsigned>(seconds % 60);
  if (hours > 0) {
    std::snprintf(text, size, "%" PRIu64 ":%02u:%02u", hours, minutes, rest);
  } else {
    std::snprintf(text, size, "%u:%02u", minutes, rest);
  }
}

// The speed so far and what it leaves to wait for; unknown until some data
// has gone out over some time.
void formatRateAndTimeLeft(char* rate, size_t rateSize, char* left,
                           size_t leftSize, uint64_t sent, uint64_t size,
                           uint64_t elapsedMs) {
  uint64_t remaining = size > sent ? size - sent : 0;
  if (sent == 0 || elapsedMs == 0) {
    std::snprintf(rate, rateSize, "--.-");
    if (remaining == 0) {
      formatDuration(left, leftSize, 0);
    } else {
      std::snprintf(left, leftSize, "-:--");
    }
    return;
  }
  double bytesPerMs =
      static_cast<double>(sent) / static_cast<double>(elapsedMs);
  std::snprintf(rate, rateSize, "%.1f", bytesPerMs / 1000.0);
  double leftMs = static_cast<double>(remaining) / bytesPerMs;
  formatDuration(left, leftSize,
                 static_cast<uint64_t>((leftMs + 999.0) / 1000.0));
}

}  // namespace

ProgressDisplay::ProgressDisplay(bool console, Clock now, Output write)
    : console_(console), now_(std::move(now)), write_(std::move(write)) {}

void ProgressDisplay::report(const UpgradeProgress* progress, void* context) {
  static_cast<ProgressDisplay*>(context)->show(*progress);
}

void ProgressDisplay::show(const UpgradeProgress& progress) {
  // A download cancelled because the device went: deviceRemoved() tells
  // where it stood, as for one that was ended.
  if (progress.step == kUpgradeProgressImageDone &&
      progress.result == kImageCancelled) {
    return;
  }
  lastStep_ = progress.step;
  size_ = progress.image_size;
  sent_ = progress.bytes_sent;
  switch (progress.step) {
    case kUpgradeProgressSending:
      sending(progress);
      break;
    case kUpgradeProgressBytesSent:
      bytesSent(progress);
      break;
    case kUpgradeProgressCheckingDigest:
      step("checking the image's MD5 digest on the device");
      break;
    case kUpgradeProgressStarting:
      started_ = true;
      step("starting the update on the device");
      break;
    case kUpgradeProgressImageDone:
      imageDone(progress);
      break;
    default:
      break;
  }
}

void ProgressDisplay::finish() {
  if (!lineOpen_) return;
  write_("\n");
  lineOpen_ = false;
  openLength_ = 0;
}

void ProgressDisplay::sending(const UpgradeProgress& progress) {
  char line[kLineBytes];
  std::snprintf(line, sizeof line, "sending %s: %" PRIu64 " bytes",
                progress.image_path, progress.image_size);
  writeLine(line);
  start_ = now_();
  lastDrawn_ = start_;
  // A console shows the count from the start; a file needs no line for 0 %.
  if (console_) drawCount(progress, start_);
}

void ProgressDisplay::bytesSent(const UpgradeProgress& progress) {
  uint64_t now = now_();
  uint64_t interval = console_ ? kConsoleIntervalMs : kPlainIntervalMs;
  if (progress.bytes_sent == progress.image_size ||
      now - lastDrawn_ >= interval) {
    drawCount(progress, now);
  }
}

void ProgressDisplay::deviceRemoved() {
  char line[kLineBytes];
  switch (lastStep_) {
    case kUpgradeProgressSending:
    case kUpgradeProgressBytesSent:
      std::snprintf(line, sizeof line,
                    "the device was removed at %" PRIu64 " of %" PRIu64
                    " bytes (%u %%)",
                    sent_, size_, percentOf(sent_, size_));
      break;
    case kUpgradeProgressCheckingDigest:
      std::snprintf(line, sizeof line,
                    "the device was removed during the MD5 digest check");
      break;
    case kUpgradeProgressStarting:
      std::snprintf(line, sizeof line,
                    "the device was removed after it was told to start the "
                    "update; whether it started is not known");
      break;
    default:
      std::snprintf(line, sizeof line,
                    "the device was removed while no image was going out");
      break;
  }
  writeLine(line);
}

void ProgressDisplay::imageDone(const UpgradeProgress& progress) {
  ++imagesDone_;
  char line[kLineBytes];
  if (progress.result == 0) {
    std::snprintf(line, sizeof line, "done: the device verified the image%s",
                  started_ ? " and started the update" : "");
  } else if (progress.image_size == 0) {
    std::snprintf(line, sizeof line, "could not send %s: code %d (%s)",
                  progress.image_path != nullptr ? progress.image_path : "",
                  static_cast<int>(progress.result),
                  imageFailureMeaning(progress.result));
  } else {
    std::snprintf(
        line, sizeof line,
        "failed with code %d (%s) at %" PRIu64 " of %" PRIu64 " bytes (%u %%)",
        static_cast<int>(progress.result), imageFailureMeaning(progress.result),
        progress.bytes_sent, progress.image_size,
        percentOf(progress.bytes_sent, progress.image_size));
  }
  writeLine(line);
  started_ = false;
}

void ProgressDisplay::step(const char* text) { writeLine(text); }

void ProgressDisplay::drawCount(const UpgradeProgress& progress, uint64_t now) {
  char size[24];
  int width = std::snprintf(size, sizeof size, "%" PRIu64, progress.image_size);
  char rate[16];
  char left[24];
  formatRateAndTimeLeft(rate, sizeof rate, left, sizeof left,
                        progress.bytes_sent, progress.image_size, now - start_);
  char line[kLineBytes];
  int length = std::snprintf(
      line, sizeof line, "%*" PRIu64 " of %s bytes  %3u %%  %s MB/s  %s left",
      width, progress.bytes_sent, size,
      percentOf(progress.bytes_sent, progress.image_size), rate, left);
  lastDrawn_ = now;
  if (!console_) {
    writeLine(line);
    return;
  }
  // Over the line before, blanking what a longer one left.
  char redraw[kLineBytes + 2];
  size_t used = length < 0 ? 0 : static_cast<size_t>(length);
  int blanks = openLength_ > used ? static_cast<int>(openLength_ - used) : 0;
  std::snprintf(redraw, sizeof redraw, "\r%s%*s", line, blanks, "");
  write_(redraw);
  lineOpen_ = true;
  openLength_ = used;
}

void ProgressDisplay::writeLine(const char* text) {
  finish();
  write_(text);
  write_("\n");
}

const char* imageFailureMeaning(int32_t result) {
  switch (result) {
    case kImageEmpty:
      return "the image file is empty";
    case kImageAnnouncementNotSent:
      return "the announcement was not sent";
    case kImageAnnouncementStatusNotRead:
      return "the device's status after the announcement was not read";
    case kImageAbortNotSent:
      return "the abort of a pending download was not sent";
    case kImageAnnouncementRefused:
      return "the device refused the announcement or stayed busy";
    case kImageChunkBufferNotObtained:
      return "no memory for the transfer buffer";
    case kImageSegmentSyncFailed:
      return "the device's count after a segment was not read";
    case kImageSegmentCountDisagreed:
      return "the device's count after a segment disagreed";
    case kImageFinalSyncFailed:
      return "the device's final count was not read";
    // Also kImageNotSentWhole.
    case kImageFinalCountDisagreed:
      return "the image was not read and sent whole, or the device's final "
             "count disagreed";
    case kImageDigestNotComputed:
      return "the image's MD5 digest was not computed";
    case kImageDigestNotSent:
      return "the digest was not sent";
    case kImageDigestStatusNotRead:
      return "the device's status after the digest was not read";
    // Also kImageStartNotSent.
    case kImageIntegrityCheckFailed:
      return "the device's integrity check failed, or the start request was "
             "not sent";
    case kImageStartStatusNotRead:
      return "the device's status after the start request was not read";
    case kImageStartRefused:
      return "the device refused to start the update";
    // Also kImageNoTransport, which the library never meets, and
    // kImageTooLarge.
    case kImageNotOpened:
      return "the image file cannot be opened, or it is 4 GiB or larger";
    default:
      return "unknown code";
  }
}
