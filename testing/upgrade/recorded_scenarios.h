// The sessions tests record under Wine (the recorder in front of the virtual
// device) and replay in the host build: each a virtual device script and the
// upgrade run against it. Their recordings are kept in
// testing/fuzz/corpus/recordings/.
#ifndef VELUNOR_TESTING_UPGRADE_RECORDED_SCENARIOS_H_
#define VELUNOR_TESTING_UPGRADE_RECORDED_SCENARIOS_H_

#include <cstdint>
#include <string>

struct RecordedScenario {
  const char* name;    // also the recording's file name
  const char* script;  // virtual_device_script.txt
  uint32_t imageSize;
  uint8_t bUpdate;
};

constexpr char kScenarioVersion[] = "V1.0.7";
constexpr char kScenarioDevice[] =
    "\\\\?\\USB#VID_3F3A&PID_9206#VLNR-SN-000123#"
    "{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}";

// Three 16 KiB writes and a short one: small recordings.
constexpr RecordedScenario kRecordedScenarios[] = {
    {"clean-upgrade", "# an ordinary device\n", 40000, 1},
    {"busy-three-announcements", "busy get_status 3\n", 40000, 1},
    {"short-status-answer",
     "answer get_status 1 1 status=0 state=2 length=4\n", 40000, 1},
    {"pulled-mid-write", "unplug_at 20000\n", 40000, 1},
};

// The image these sessions send: `size` bytes of a fixed pattern, so that a
// replay can send the same bytes again.
inline std::string scenarioImage(uint64_t size) {
  std::string image(size, '\0');
  for (uint64_t i = 0; i < size; ++i) {
    image[i] = static_cast<char>(i * 131 + (i >> 11));
  }
  return image;
}

inline std::string scenarioUpdateFile(const RecordedScenario& scenario) {
  return std::string("vlnr_rec_") + scenario.name + ".bin";
}

#endif  // VELUNOR_TESTING_UPGRADE_RECORDED_SCENARIOS_H_
