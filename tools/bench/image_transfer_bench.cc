// What one image download costs on the host, and what it would take on a real
// device. For images of 4, 64 and 256 MiB it runs veluSendImageFile against
// the virtual device in virtual time (every wait is added up, none is slept)
// and times the md5sum command over the same file in the same run.
//
// The host-side floor: the procedure reads the image twice and hashes it once
// (the digest), and the device hashes it once more to check it; so two md5sum
// passes over the file are what the download cannot beat.
//
// Each download runs in a child process of its own, so its peak resident
// memory is its own: it must not grow with the image.
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host_testing.h"
#include "testing/upgrade/virtual_interface.h"
#include "testing/virtual_device/virtual_device.h"
#include "upgrade/image_transfer.h"

extern char** environ;

namespace {

constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kSizesMiB[] = {4, 64, 256};
constexpr int kRounds = 3;  // best of, for the timings

// The bus of the model: 40 MB/s bulk, 1 ms per control transfer.
constexpr double kBulkBytesPerSecond = 40e6;
constexpr double kControlTransferSeconds = 0.001;

constexpr double kRatioGoal = 1.2;
constexpr uint64_t kMemoryGrowthGoalKiB = 1024;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// What a child reports of its download.
struct Download {
  int result = 1;
  double seconds = 0;
  uint64_t peak_kib = 0;
  uint64_t control_transfers = 0;
  uint64_t bulk_bytes = 0;
  uint64_t waited_ms = 0;
  uint64_t bytes_received = 0;
  bool md5_verified = false;
  bool update_started = false;
  char md5[33] = {};
};

uint64_t waitedMs = 0;
void addWait(DWORD milliseconds) { waitedMs += milliseconds; }

// Counts what crosses the bus for the model, and forwards.
class CountingTransport : public Transport {
 public:
  explicit CountingTransport(std::unique_ptr<UsbDeviceHandle> opened)
      : inner_(std::move(opened)) {}
  int64_t usb_read(void* buffer, uint64_t length) override {
    return inner_.usb_read(buffer, length);
  }
  int64_t usb_write(const void* buffer, uint64_t length) override {
    int64_t written = inner_.usb_write(buffer, length);
    if (written > 0) bulk_bytes += static_cast<uint64_t>(written);
    return written;
  }
  int64_t usb_control_transfer(uint8_t direction, const void* setup,
                               void* buffer, uint32_t length) override {
    ++control_transfers;
    return inner_.usb_control_transfer(direction, setup, buffer, length);
  }
  int64_t usb_close() override { return inner_.usb_close(); }
  int64_t reserved_op() override { return inner_.reserved_op(); }
  void sleep_ms(uint32_t milliseconds) override {
    inner_.sleep_ms(milliseconds);
  }

  uint64_t control_transfers = 0;
  uint64_t bulk_bytes = 0;

 private:
  WindowsUsbTransport inner_;
};

uint64_t peakResidentKiB() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 0;
  char line[256];
  unsigned long long kib = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmHWM: %llu kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib;
}

void silenceStandardStreams() {
  int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  close(null);
}

// In the child: one download, with the trace lines of the procedure silenced
// and the device keeping no record of the bulk calls.
Download runDownload(const std::string& path) {
  silenceStandardStreams();
  vdev::reset();
  vdev::keepRecord(false);
  hostSetSleepHook(&addWait);
  CountingTransport transport(openVirtualInterface());
  Download download;
  Clock::time_point start = Clock::now();
  download.result =
      veluSendImageFile(&transport, path.c_str(), "bench", 1, 1, 0);
  download.seconds = secondsSince(start);
  transport.usb_close();
  vdev::Verdict verdict = vdev::verdict();
  download.control_transfers = transport.control_transfers;
  download.bulk_bytes = transport.bulk_bytes;
  download.waited_ms = waitedMs;
  download.bytes_received = verdict.bytes_received;
  download.md5_verified = verdict.md5_verified;
  download.update_started = verdict.update_started;
  std::memcpy(download.md5, verdict.md5_computed, sizeof download.md5);
  download.peak_kib = peakResidentKiB();
  return download;
}

bool downloadInChild(const std::string& path, Download* out) {
  int channel[2];
  if (pipe(channel) != 0) return false;
  std::fflush(nullptr);
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    close(channel[0]);
    Download download = runDownload(path);
    ssize_t written = write(channel[1], &download, sizeof download);
    _exit(written == static_cast<ssize_t>(sizeof download) ? 0 : 1);
  }
  close(channel[1]);
  ssize_t got = read(channel[0], out, sizeof *out);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return got == static_cast<ssize_t>(sizeof *out) && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// One md5sum pass over the file; its digest goes to `digest`.
bool timeMd5sum(const std::string& path, double* seconds, std::string* digest) {
  int channel[2];
  if (pipe(channel) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, channel[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, channel[0]);
  posix_spawn_file_actions_addclose(&actions, channel[1]);
  std::string file = path;
  char program[] = "md5sum";
  char* argv[] = {program, file.data(), nullptr};
  Clock::time_point start = Clock::now();
  pid_t child = 0;
  int spawned =
      posix_spawnp(&child, "md5sum", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(channel[1]);
  if (spawned != 0) {
    close(channel[0]);
    return false;
  }
  char output[256] = {};
  size_t length = 0;
  ssize_t got;
  while ((got = read(channel[0], output + length, sizeof output - 1 - length)) >
         0) {
    length += static_cast<size_t>(got);
  }
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  *seconds = secondsSince(start);
  *digest = std::string(output, std::min<size_t>(length, 32));
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Bytes that are not all alike, so neither side can take a short cut.
bool writeImage(const std::string& path, uint64_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  static uint64_t block[kMiB / sizeof(uint64_t)];
  uint64_t state = 0x9E3779B97F4A7C15ull ^ size;
  bool written = true;
  for (uint64_t left = size; left != 0 && written;) {
    for (uint64_t& word : block) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    size_t part = static_cast<size_t>(std::min<uint64_t>(left, sizeof block));
    written = std::fwrite(block, 1, part, file) == part;
    left -= part;
  }
  return std::fclose(file) == 0 && written;
}

std::string cpuModel() {
  FILE* info = std::fopen("/proc/cpuinfo", "r");
  if (info == nullptr) return "unknown";
  char line[512];
  std::string model = "unknown";
  while (std::fgets(line, sizeof line, info) != nullptr) {
    if (std::strncmp(line, "model name", 10) == 0) {
      const char* value = std::strchr(line, ':');
      if (value != nullptr) model = value + 2;
      model.erase(model.find_last_not_of("\n ") + 1);
      break;
    }
  }
  std::fclose(info);
  return model;
}

int usableProcessors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
  return CPU_COUNT(&set);
}

struct Row {
  uint64_t size = 0;
  Download download;      // the fastest of the rounds
  uint64_t peak_kib = 0;  // the highest of the rounds
  double md5sum_seconds = 0;
  bool checked = true;
};

double megabytesPerSecond(uint64_t bytes, double seconds) {
  return seconds > 0 ? bytes / seconds / 1e6 : 0;
}

// One image: the download and md5sum, alternating, best of kRounds each.
bool measure(const std::string& path, uint64_t size, Row* row) {
  row->size = size;
  double seconds;
  std::string reference;
  // The first pass also brings the file into the page cache for both.
  if (!timeMd5sum(path, &seconds, &reference)) return false;
  row->md5sum_seconds = 1e9;
  row->download.seconds = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    Download download;
    if (!downloadInChild(path, &download)) return false;
    row->peak_kib = std::max(row->peak_kib, download.peak_kib);
    row->checked = row->checked && download.result == 0 &&
                   download.md5_verified && download.update_started &&
                   download.bytes_received == size && reference == download.md5;
    if (download.seconds < row->download.seconds) row->download = download;
    std::string digest;
    if (!timeMd5sum(path, &seconds, &digest)) return false;
    row->md5sum_seconds = std::min(row->md5sum_seconds, seconds);
  }
  return true;
}

void printRow(const Row& row) {
  const Download& d = row.download;
  double ratio = d.seconds / (2 * row.md5sum_seconds);
  double data = d.bulk_bytes / kBulkBytesPerSecond;
  double control = d.control_transfers * kControlTransferSeconds;
  double waits = d.waited_ms / 1000.0;
  std::printf(
      "%5llu MiB | %7.3f s %7.1f MB/s | %7.3f s %7.1f MB/s | %5.2f | %8llu "
      "KiB | %6.2f s, %5.3f s (%3llu), %5.2f s, %6.2f s | %s\n",
      static_cast<unsigned long long>(row.size / kMiB), d.seconds,
      megabytesPerSecond(row.size, d.seconds), row.md5sum_seconds,
      megabytesPerSecond(row.size, row.md5sum_seconds), ratio,
      static_cast<unsigned long long>(row.peak_kib), data, control,
      static_cast<unsigned long long>(d.control_transfers), waits,
      data + control + waits, row.checked ? "verified" : "NOT VERIFIED");
}

void printGoals(const std::vector<Row>& rows) {
  uint64_t smallest = rows.front().peak_kib;
  uint64_t largest = rows.back().peak_kib;
  uint64_t growth = largest > smallest ? largest - smallest : 0;
  std::printf(
      "\nGoal: peak RSS of %llu MiB within %llu KiB of %llu MiB: "
      "%+lld KiB, %s\n",
      static_cast<unsigned long long>(rows.back().size / kMiB),
      static_cast<unsigned long long>(kMemoryGrowthGoalKiB),
      static_cast<unsigned long long>(rows.front().size / kMiB),
      static_cast<long long>(largest) - static_cast<long long>(smallest),
      growth <= kMemoryGrowthGoalKiB ? "met" : "NOT MET");
  for (const Row& row : rows) {
    if (row.size < 64 * kMiB) continue;
    double ratio = row.download.seconds / (2 * row.md5sum_seconds);
    std::printf("Goal: %llu MiB at most %.1f x two md5sum passes: %.2f, %s\n",
                static_cast<unsigned long long>(row.size / kMiB), kRatioGoal,
                ratio, ratio <= kRatioGoal ? "met" : "NOT MET");
  }
}

std::string temporaryDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != 0 ? base : "/tmp") +
      "/velunor_bench_XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  return mkdtemp(name.data()) != nullptr ? std::string(name.data()) : "";
}

}  // namespace

int main() {
  std::printf("veluSendImageFile against the virtual device, virtual time\n");
  std::printf("Machine: %d processors, %s\n", usableProcessors(),
              cpuModel().c_str());
  std::printf(
      "Best of %d runs; MB = 10^6 bytes. Ratio: procedure time / two md5sum "
      "passes.\nModel of a real device: %.0f MB/s bulk, %.0f ms per control "
      "transfer, plus every wait the procedure asked for.\n\n",
      kRounds, kBulkBytesPerSecond / 1e6, kControlTransferSeconds * 1000);
  std::printf("%9s | %-22s | %-22s | %5s | %12s | %s\n", "image", "procedure",
              "md5sum (one pass)", "ratio", "peak RSS",
              "modelled device: data, control (transfers), waits, total");

  std::string directory = temporaryDirectory();
  if (directory.empty()) {
    std::fprintf(stderr, "cannot make a temporary directory\n");
    return 1;
  }
  std::vector<Row> rows;
  bool ok = true;
  bool verified = true;
  for (uint64_t mib : kSizesMiB) {
    std::string path = directory + "/image_" + std::to_string(mib) + "MiB.bin";
    Row row;
    ok = writeImage(path, mib * kMiB) && measure(path, mib * kMiB, &row);
    std::remove(path.c_str());
    if (!ok) {
      std::fprintf(stderr, "the %llu MiB run failed\n",
                   static_cast<unsigned long long>(mib));
      break;
    }
    printRow(row);
    std::fflush(stdout);
    verified = verified && row.checked;
    rows.push_back(row);
  }
  rmdir(directory.c_str());
  if (rows.size() == sizeof kSizesMiB / sizeof kSizesMiB[0]) printGoals(rows);
  return ok && verified ? 0 : 1;
}
