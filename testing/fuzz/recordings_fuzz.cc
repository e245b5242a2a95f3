// Fuzz target: a recording of a USB session (tools/recorder/), replayed
// through one whole letsStartUpgrade by the virtual device. The kept corpus
// is the sessions recorded under Wine, so the fuzzer starts from real traffic
// and changes answers, counts, texts, handles and the format itself.
//
// What must hold: no crash, leak or undefined behaviour in the reader, the
// replay or the library, whatever the recording says; a replay that did not
// go as recorded says why; and the same recording replayed twice ends the
// same way (result, events, verdict), so no state survives a replay.
#include <cstddef>
#include <cstdint>
#include <string>

#include "testing/fuzz/fuzz_check.h"
#include "testing/upgrade/recorded_session.h"
#include "testing/virtual_device/replay.h"

namespace {

// Small images keep each run short; the kept recordings send 40000 bytes.
constexpr uint64_t kLargestImage = 1u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string recording(reinterpret_cast<const char*>(data), size);
  SessionOutcome first = replaySession(recording, kLargestImage);
  FUZZ_CHECK(!vdev::replaying(), "the replay was left running");
  FUZZ_CHECK(first.whole || !first.problem.empty(),
             "a replay that went astray gave no reason (result %d)",
             static_cast<int>(first.result));
  SessionOutcome second = replaySession(recording, kLargestImage);
  FUZZ_CHECK(second.ran == first.ran && second.whole == first.whole &&
                 second.result == first.result &&
                 second.problem == first.problem &&
                 second.events == first.events,
             "the same recording replayed twice ended differently: %d/%d, "
             "\"%s\" / \"%s\"",
             static_cast<int>(first.result), static_cast<int>(second.result),
             first.problem.c_str(), second.problem.c_str());
  return 0;
}
