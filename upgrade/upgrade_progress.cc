#include "upgrade/upgrade_progress.h"

UpgradeProgressCallback progressCallback = nullptr;

namespace {

void* progressContext = nullptr;
// The image going out: its path, its size and the bytes the device holds.
UpgradeProgress image = {};

void tell(UpgradeProgressStep step, int32_t result) {
  image.step = step;
  image.result = result;
  progressCallback(&image, progressContext);
}

}  // namespace

ProgressListening::ProgressListening(UpgradeProgressCallback callback,
                                     void* context) {
  progressCallback = callback;
  progressContext = context;
  image = UpgradeProgress{};
}

ProgressListening::~ProgressListening() {
  progressCallback = nullptr;
  progressContext = nullptr;
  image = UpgradeProgress{};
}

void tellImageSending(const char* path, uint64_t size) {
  image.image_path = path;
  image.image_size = size;
  image.bytes_sent = 0;
  tell(kUpgradeProgressSending, 0);
}

void tellBytesSent(uint64_t total) {
  image.bytes_sent = total;
  tell(kUpgradeProgressBytesSent, 0);
}

void tellStep(UpgradeProgressStep step) { tell(step, 0); }

void tellImageDone(const char* path, int32_t result) {
  // An image that failed before the device took its announcement keeps size
  // and count 0.
  image.image_path = path;
  tell(kUpgradeProgressImageDone, result);
  image = UpgradeProgress{};
}
