// Where the download procedure tells how far it is. Only a call of
// letsStartUpgradeWithProgress with a callback listens; for everyone else
// (the service's letsStartUpgrade, the procedure's own tests, the benchmark)
// each report is one test of a null pointer and nothing more.
#ifndef VELUNOR_UPGRADE_UPGRADE_PROGRESS_H_
#define VELUNOR_UPGRADE_UPGRADE_PROGRESS_H_

#include <cstdint>

#include "common/upgrade_contract.h"

// The listener of the running call, if any. Like the event source, it is
// plain library state: the library serves one call at a time.
extern UpgradeProgressCallback progressCallback;

// Listens for as long as the object lives (one call of the export).
class ProgressListening {
 public:
  ProgressListening(UpgradeProgressCallback callback, void* context);
  ~ProgressListening();
  ProgressListening(const ProgressListening&) = delete;
  ProgressListening& operator=(const ProgressListening&) = delete;
};

// The reports, in the order an image goes through them.
void tellImageSending(const char* path, uint64_t size);
void tellBytesSent(uint64_t total);
void tellStep(UpgradeProgressStep step);
void tellImageDone(const char* path, int32_t result);

inline void progressImageSending(const char* path, uint64_t size) {
  if (progressCallback != nullptr) tellImageSending(path, size);
}
inline void progressBytesSent(uint64_t total) {
  if (progressCallback != nullptr) tellBytesSent(total);
}
inline void progressStep(UpgradeProgressStep step) {
  if (progressCallback != nullptr) tellStep(step);
}
inline void progressImageDone(const char* path, int32_t result) {
  if (progressCallback != nullptr) tellImageDone(path, result);
}

#endif  // VELUNOR_UPGRADE_UPGRADE_PROGRESS_H_
