#include "testing/upgrade/recorded_session.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/upgrade_contract.h"
#include "platform/host/host_testing.h"
#include "testing/upgrade/recorded_scenarios.h"
#include "testing/virtual_device/replay.h"
#include "testing/virtual_device/virtual_device.h"
#include "tools/recorder/recording_format.h"
#include "upgrade/upgrade_entry.h"

namespace {

constexpr size_t kLongestFileName = 200;
constexpr char kFallbackFileName[] = "image.bin";

std::vector<std::string>* collected = nullptr;

template <typename Char>
void collect(WORD type, DWORD id, WORD count, const Char* const* strings) {
  if (collected == nullptr) return;
  // The ID is the library's running count, not part of what happened.
  (void)id;
  std::string text = std::to_string(type) + ":";
  for (WORD i = 0; i < count; ++i) {
    text += ' ';
    for (const Char* c = strings[i]; *c != 0; ++c) {
      auto unit = static_cast<uint32_t>(*c) & 0xFFFF;
      text += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
  }
  collected->push_back(text);
}

BOOL wideEvent(HANDLE, WORD type, WORD, DWORD id, PSID, WORD count, DWORD,
               LPCWSTR* strings, LPVOID) {
  collect(type, id, count, strings);
  return TRUE;
}

BOOL narrowEvent(HANDLE, WORD type, WORD, DWORD id, PSID, WORD count, DWORD,
                 LPCSTR* strings, LPVOID) {
  collect(type, id, count, strings);
  return TRUE;
}

// The procedure's waits are counted by the replay's calls, never slept.
void noWait(DWORD) {}

// One fixed moment in UTC, so that the time stamps the library reports are
// the same in every run.
void fixedTime(SYSTEMTIME* time) {
  *time = SYSTEMTIME{};
  time->wYear = 2026;
  time->wMonth = 12;
  time->wDay = 9;
  time->wHour = 8;
}

DWORD utc(TIME_ZONE_INFORMATION* zone) {
  *zone = TIME_ZONE_INFORMATION{};
  return TIME_ZONE_ID_UNKNOWN;
}

// A drivers folder holding the image, mapped for the run and removed after.
class ImageFolder {
 public:
  ImageFolder(const std::string& updateFile, uint64_t size) {
    char pattern[] = "/tmp/velunor_replay_XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    folder_ = pattern;
    bool plainName = !updateFile.empty() &&
                     updateFile.size() <= kLongestFileName &&
                     updateFile.find_first_of("/\\") == std::string::npos &&
                     updateFile != "." && updateFile != "..";
    file_ = folder_ + "/" + (plainName ? updateFile : kFallbackFileName);
    std::string image = scenarioImage(size);
    FILE* out = std::fopen(file_.c_str(), "wb");
    if (out == nullptr) return;
    ready_ = std::fwrite(image.data(), 1, image.size(), out) == image.size();
    ready_ = std::fclose(out) == 0 && ready_;
    hostSetDriversDirectory(folder_.c_str());
  }
  ~ImageFolder() {
    hostSetDriversDirectory(nullptr);
    if (!file_.empty()) unlink(file_.c_str());
    if (!folder_.empty()) rmdir(folder_.c_str());
  }
  bool ready() const { return ready_; }

 private:
  std::string folder_;
  std::string file_;
  bool ready_ = false;
};

void runUpgrade(const SessionRun& run, SessionOutcome* outcome) {
  ImageFolder folder(run.updateFile, run.imageSize);
  if (!folder.ready()) {
    outcome->problem = "the image could not be placed";
    return;
  }
  collected = &outcome->events;
  hostSetReportEventHooks(wideEvent, narrowEvent);
  hostSetSleepHook(noWait);
  hostSetClockHooks(fixedTime, utc);
  outcome->result =
      letsStartUpgrade(run.bForce, run.bUpdate, run.devicePath.c_str(),
                       run.updateFile.c_str(), run.version.c_str(),
                       kUpdateDeviceClass);
  hostSetClockHooks(nullptr, nullptr);
  hostSetSleepHook(nullptr);
  hostSetReportEventHooks(nullptr, nullptr);
  collected = nullptr;
  outcome->ran = true;
}

bool narrowText(const std::string& field, std::string* text) {
  std::vector<uint16_t> units;
  if (!recording::unescapeText(field, &units)) return false;
  text->clear();
  for (uint16_t unit : units) {
    if (unit == 0 || unit > 0xFF) return false;
    *text += static_cast<char>(unit);
  }
  return true;
}

bool flag(const recording::Fields& fields, const char* key, uint8_t* value) {
  const std::string* field = fields.find(key);
  uint64_t number = 0;
  if (field == nullptr || !recording::parseNumber(*field, &number) ||
      number > 255) {
    return false;
  }
  *value = static_cast<uint8_t>(number);
  return true;
}

// The image size the first announcement names; 1 when there is none.
uint64_t announcedSize(const recording::Recording& parsed) {
  for (const recording::CallEntry& call : parsed.calls) {
    const std::string* setup = call.arguments.find("setup");
    const std::string* data = call.arguments.find("data");
    std::vector<uint8_t> s, d;
    if (setup == nullptr || data == nullptr || !recording::unhex(*setup, &s) ||
        s.size() != 8 || s[2] != 1 || s[3] != 0 ||
        !recording::unhex(*data, &d) || d.size() < 36) {
      continue;
    }
    return static_cast<uint64_t>(d[32]) | static_cast<uint64_t>(d[33]) << 8 |
           static_cast<uint64_t>(d[34]) << 16 |
           static_cast<uint64_t>(d[35]) << 24;
  }
  return 1;
}

}  // namespace

bool recordedRun(const std::string& text, SessionRun* run,
                 std::string* problem, uint64_t largestImage) {
  recording::Recording parsed;
  if (!recording::parseRecording(text, &parsed, problem)) return false;
  const recording::Fields& fields = parsed.run;
  const std::string* path = fields.find("device_path");
  const std::string* file = fields.find("update_file");
  const std::string* version = fields.find("version");
  std::vector<uint16_t> units;
  if (path == nullptr || file == nullptr || version == nullptr ||
      !recording::unescapeText(*path, &units) ||
      !narrowText(*file, &run->updateFile) ||
      !narrowText(*version, &run->version) ||
      !flag(fields, "bforce", &run->bForce) ||
      !flag(fields, "bupdate", &run->bUpdate)) {
    *problem = "the recording's run line is missing or incomplete";
    return false;
  }
  run->devicePath.assign(units.begin(), units.end());
  run->imageSize = announcedSize(parsed);
  if (run->imageSize > largestImage) {
    *problem = "the recorded image is larger than a replay makes (" +
               std::to_string(largestImage) + " bytes)";
    return false;
  }
  return true;
}

SessionOutcome replaySession(const std::string& recording,
                             uint64_t largestImage) {
  SessionOutcome outcome;
  SessionRun run;
  if (!recordedRun(recording, &run, &outcome.problem, largestImage)) {
    return outcome;
  }
  char message[512] = {};
  vdev::reset();
  if (!vdev::startReplay(recording.data(), recording.size(), message,
                         sizeof message)) {
    outcome.problem = message;
    return outcome;
  }
  runUpgrade(run, &outcome);
  outcome.whole = vdev::endReplay(message, sizeof message);
  if (outcome.problem.empty()) outcome.problem = message;
  return outcome;
}

SessionOutcome playSession(const std::string& script, const SessionRun& run) {
  SessionOutcome outcome;
  char path[] = "/tmp/velunor_script_XXXXXX";
  int descriptor = mkstemp(path);
  if (descriptor < 0) {
    outcome.problem = "no script file";
    return outcome;
  }
  bool written = write(descriptor, script.data(), script.size()) ==
                 static_cast<ssize_t>(script.size());
  close(descriptor);
  char error[256] = {};
  if (written && vdev::loadScript(path, error, sizeof error)) {
    runUpgrade(run, &outcome);
  } else {
    outcome.problem = std::string("the script was refused: ") + error;
  }
  unlink(path);
  vdev::reset();
  return outcome;
}
