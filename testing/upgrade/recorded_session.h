// One upgrade in the host build, answered from a recording (the virtual
// device's replay) or played live by the virtual device from a script, with
// what a user would see of it: the result and the library's events, at a
// fixed moment of the clock and without real waits. Used by
// the replay tests and the recordings fuzz target.
#ifndef VELUNOR_TESTING_UPGRADE_RECORDED_SESSION_H_
#define VELUNOR_TESTING_UPGRADE_RECORDED_SESSION_H_

#include <cstdint>
#include <string>
#include <vector>

struct SessionRun {
  std::u16string devicePath;
  std::string updateFile;
  std::string version;
  uint8_t bForce = 0;
  uint8_t bUpdate = 1;
  uint64_t imageSize = 0;  // of scenarioImage(): the image in the drivers folder
};

struct SessionOutcome {
  bool ran = false;    // false: the recording was refused (see `problem`)
  bool whole = false;  // replay: exactly the recorded calls were made
  std::string problem;  // why not run, or the divergence
  int32_t result = 0;
  std::vector<std::string> events;  // "type: text", in order
};

// A replay makes the image the recording announces, up to this size.
constexpr uint64_t kLargestReplayImage = 64u << 20;

// What the recording says was run: its run line and, for the image's size,
// its first announcement. False with why when the recording has no run line
// or announces an image above `largestImage`.
bool recordedRun(const std::string& recording, SessionRun* run,
                 std::string* problem,
                 uint64_t largestImage = kLargestReplayImage);

// The run the recording names, answered from it.
SessionOutcome replaySession(const std::string& recording,
                             uint64_t largestImage = kLargestReplayImage);
// The same kind of run against the virtual device playing `script`.
SessionOutcome playSession(const std::string& script, const SessionRun& run);

#endif  // VELUNOR_TESTING_UPGRADE_RECORDED_SESSION_H_
