// What a person sees while the upgrade library sends an image: the steps as
// lines, and during the data the bytes sent of the image's size, percent,
// MB/s (10^6 bytes) and time left. On a console the count is one line
// redrawn at most four times a second; redirected to a file it is a plain
// line at most once a second. The count is always shown when the device has
// the whole image.
#ifndef VELUNOR_TOOLS_RUNNER_PROGRESS_DISPLAY_H_
#define VELUNOR_TOOLS_RUNNER_PROGRESS_DISPLAY_H_

#include <cstddef>
#include <cstdint>
#include <functional>

#include "common/upgrade_contract.h"

class ProgressDisplay {
 public:
  using Clock = std::function<uint64_t()>;  // milliseconds
  using Output = std::function<void(const char* text)>;

  static constexpr uint64_t kConsoleIntervalMs = 250;
  static constexpr uint64_t kPlainIntervalMs = 1000;

  ProgressDisplay(bool console, Clock now, Output write);

  void show(const UpgradeProgress& progress);
  // Ends a count line still open on the console.
  void finish();
  // The device went away and the upgrade was ended: how far it had got.
  void deviceRemoved();

  // How many images the library reported done: one per matching entry,
  // sent or not.
  size_t imagesDone() const { return imagesDone_; }

  // The library's callback; `context` is the display.
  static void report(const UpgradeProgress* progress, void* context);

 private:
  void sending(const UpgradeProgress& progress);
  void bytesSent(const UpgradeProgress& progress);
  void imageDone(const UpgradeProgress& progress);
  void step(const char* text);
  void drawCount(const UpgradeProgress& progress, uint64_t now);
  void writeLine(const char* text);

  bool console_;
  Clock now_;
  Output write_;
  uint64_t start_ = 0;      // when the image's data began
  uint64_t lastDrawn_ = 0;  // when the count was last shown
  bool lineOpen_ = false;   // a console count line waits for its end
  size_t openLength_ = 0;
  bool started_ = false;  // the device was told to start the update
  // Where the image last reported stood.
  int32_t lastStep_ = 0;
  uint64_t size_ = 0;
  uint64_t sent_ = 0;
  size_t imagesDone_ = 0;
};

// The meaning of a failure code of an image's download.
const char* imageFailureMeaning(int32_t result);

#endif  // VELUNOR_TOOLS_RUNNER_PROGRESS_DISPLAY_H_
