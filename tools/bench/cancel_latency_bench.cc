// How soon an upgrade ends once letsCancelUpgrade is called, in real time,
// against the virtual device: the time from the cancel (the service calls it
// as the removal arrives) to the return of letsStartUpgrade, for a removal
// that comes during a bulk write, during the 200 ms wait before a sync poll,
// and during the five-minute wait after a refused control request.
//
//   cancel_latency_bench [RUNS]    (default 5 runs per moment)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/host_testing.h"
#include "testing/virtual_device/virtual_device.h"
#include "upgrade/upgrade_entry.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kUpdateFile[] = "bench_fw.bin";
// Two full segments and a bit.
constexpr size_t kImageBytes = 9 * 1024 * 1024 + 100;
// 16 KiB chunks, each followed by a zero-length write on 512-byte packets:
// the first segment ends with this write call.
constexpr uint32_t kSegmentEndWrite = 2 * 256;
constexpr uint32_t kWriteInFlight = 40;

enum class Moment { kWrite, kStatusWait, kRetryWait };

const char* nameOf(Moment moment) {
  switch (moment) {
    case Moment::kWrite:
      return "in a bulk write (the 40th write call)";
    case Moment::kStatusWait:
      return "in the 200 ms wait before a sync poll";
    default:
      return "in the 300000 ms wait after a refused control request";
  }
}

// The device side of one run: which call the worker is in, and whether the
// device has been pulled.
struct Scene {
  Moment moment;
  std::atomic<uint32_t> writes{0};
  std::atomic<uint32_t> controls{0};
  std::atomic<bool> inWrite{false};
  std::atomic<bool> pulled{false};
};

vdev::Fate fateOf(void* context, vdev::Call call, uint32_t* error) {
  auto* scene = static_cast<Scene*>(context);
  if (scene->pulled) {
    *error = 6;
    return vdev::Fate::kPullOut;
  }
  if (call == vdev::Call::kDefaultEndpointReadWriteSync) {
    ++scene->controls;
    if (scene->moment != Moment::kRetryWait) return vdev::Fate::kAnswer;
    // Refused, as a stalled request: the library waits five minutes.
    *error = 31;
    return vdev::Fate::kFailBefore;
  }
  if (call != vdev::Call::kWriteEndpointSync) return vdev::Fate::kAnswer;
  uint32_t write = ++scene->writes;
  if (scene->moment == Moment::kWrite && write == kWriteInFlight) {
    // The write is in flight until the device goes; then it fails at once.
    scene->inWrite = true;
    while (!scene->pulled) std::this_thread::sleep_for(std::chrono::microseconds(100));
    *error = 6;
    return vdev::Fate::kPullOut;
  }
  return vdev::Fate::kAnswer;
}

void waitUntil(const std::atomic<bool>& flag) {
  while (!flag) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

void waitUntilAtLeast(const std::atomic<uint32_t>& count, uint32_t value) {
  while (count < value) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

// One upgrade cancelled at the moment; milliseconds from the cancel to the
// return, or -1 when the upgrade did not say it was cancelled.
double cancelledRun(Moment moment) {
  vdev::reset();
  vdev::keepRecord(false);
  Scene scene;
  scene.moment = moment;
  vdev::AnswerSource source;
  source.context = &scene;
  source.fate = fateOf;
  vdev::setAnswerSource(&source);
  std::atomic<int32_t> result{0};
  std::atomic<bool> returned{false};
  Clock::time_point end;
  std::thread worker([&] {
    result = letsStartUpgrade(0, 1, vdev::defaultInterfaceName(), kUpdateFile,
                              "V9.9", kUpdateDeviceClass);
    end = Clock::now();
    returned = true;
  });
  switch (moment) {
    case Moment::kWrite:
      waitUntil(scene.inWrite);
      break;
    case Moment::kStatusWait:
      waitUntilAtLeast(scene.writes, kSegmentEndWrite);
      // Well inside the 200 ms wait that follows the segment's last write.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      break;
    case Moment::kRetryWait:
      waitUntilAtLeast(scene.controls, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      break;
  }
  bool early = returned;
  Clock::time_point cancelled = Clock::now();
  letsCancelUpgrade();
  scene.pulled = true;
  worker.join();
  vdev::setAnswerSource(nullptr);
  if (early || result != kUpgradeDeviceWentAway) return -1;
  return std::chrono::duration<double, std::milli>(end - cancelled).count();
}

bool placeImage(const std::string& folder) {
  std::string path = folder + "/" + kUpdateFile;
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  std::vector<char> bytes(kImageBytes, 'b');
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

std::string cpuName() {
  FILE* info = std::fopen("/proc/cpuinfo", "r");
  if (info == nullptr) return "?";
  char line[256];
  std::string name = "?";
  while (std::fgets(line, sizeof line, info) != nullptr) {
    if (std::strncmp(line, "model name", 10) == 0) {
      const char* colon = std::strchr(line, ':');
      if (colon != nullptr) name = colon + 2;
      name.erase(name.find_last_not_of("\n ") + 1);
      break;
    }
  }
  std::fclose(info);
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  if (runs < 1) runs = 1;
  char pattern[] = "/tmp/velunor_cancel_bench_XXXXXX";
  if (mkdtemp(pattern) == nullptr || !placeImage(pattern)) {
    std::fprintf(stderr, "cannot write the image under /tmp\n");
    return 2;
  }
  hostSetDriversDirectory(pattern);
  // The library's own trace lines would drown the table.
  std::fflush(stdout);
  int shown = dup(STDOUT_FILENO);
  int shownErrors = dup(STDERR_FILENO);
  FILE* sink = std::getenv("VELUNOR_BENCH_TRACE") != nullptr
                   ? nullptr
                   : std::fopen("/dev/null", "w");
  if (sink != nullptr) {
    dup2(fileno(sink), STDOUT_FILENO);
    dup2(fileno(sink), STDERR_FILENO);
  }
  int status = 0;
  std::vector<std::string> lines;
  for (Moment moment : {Moment::kWrite, Moment::kStatusWait, Moment::kRetryWait}) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) times.push_back(cancelledRun(moment));
    std::sort(times.begin(), times.end());
    char line[256];
    if (times.front() < 0) {
      std::snprintf(line, sizeof line, "%-58s  NOT CANCELLED in some run",
                    nameOf(moment));
      status = 1;
    } else {
      std::snprintf(line, sizeof line, "%-58s  %8.3f %8.3f %8.3f", nameOf(moment),
                    times.front(), times[times.size() / 2], times.back());
    }
    lines.push_back(line);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(shown, STDOUT_FILENO);
  dup2(shownErrors, STDERR_FILENO);
  if (sink != nullptr) std::fclose(sink);
  hostSetDriversDirectory(nullptr);
  std::remove((std::string(pattern) + "/" + kUpdateFile).c_str());
  rmdir(pattern);
  std::printf("\nletsCancelUpgrade to the return of letsStartUpgrade, real time,"
              " virtual device\n");
  std::printf("Machine: %u processors, %s; %d runs per moment\n",
              std::thread::hardware_concurrency(), cpuName().c_str(), runs);
  std::printf("%-58s  %8s %8s %8s\n", "cancelled", "min ms", "median", "max");
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  return status;
}
