// What the outcome record adds to one upgrade: the image's SHA-256 (read
// whole once the library has succeeded) and the two updates of the record. A
// program, run by hand under Wine or on Windows:
//
//   outcome_record_cost.exe [IMAGE_MIB]   (default 64)
//
// It writes a scratch image in the temporary folder and its records under
// HKLM\Software\VelunorUpdateCost, and removes both.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/upgrade_contract.h"
#include "service/outcome_record.h"

namespace {

constexpr wchar_t kCostKey[] = L"Software\\VelunorUpdateCost";
constexpr wchar_t kCostFamilyKey[] = L"Software\\VelunorUpdateCost\\ZR700";
constexpr int kRecordRounds = 100;

double secondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

bool writeImage(const char* path, unsigned mebibytes) {
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  std::vector<unsigned char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
  }
  bool written = true;
  for (unsigned i = 0; i < mebibytes && written; ++i) {
    block[0] = static_cast<unsigned char>(i);
    written = std::fwrite(block.data(), 1, block.size(), file) == block.size();
  }
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned mebibytes = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 64;
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  char path[MAX_PATH * 2];
  std::snprintf(path, sizeof path, "%svlnr_outcome_cost.bin", folder);
  if (mebibytes == 0 || !writeImage(path, mebibytes)) {
    std::fprintf(stderr, "cannot write a %u MiB image at %s\n", mebibytes,
                 path);
    return 1;
  }
  for (int run = 1; run <= 3; ++run) {
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    ImageDigest digest = digestOfFile(path);
    double seconds = secondsSince(start);
    std::printf("digest of %u MiB, run %d: %.3f s (%.0f MB/s) %s\n",
                mebibytes, run, seconds,
                mebibytes * 1048576.0 / 1e6 / seconds, digest.hex);
  }
  OutcomeTry attempt = {kCostFamilyKey, L"\\\\?\\USB#VID_3F3A&PID_9206#SN#{x}",
                        "vlnr_outcome_cost.bin", "V1.0.7", digestOfFile(path)};
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  for (int round = 0; round < kRecordRounds; ++round) {
    recordUpgradeStart(attempt);
    recordStartRequest(attempt);
    recordUpgradeEnd(attempt, kUpgradeSucceeded, true);
  }
  std::printf("record start and end: %.2f ms per upgrade (%d rounds)\n",
              secondsSince(start) * 1000.0 / kRecordRounds, kRecordRounds);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kCostKey);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kCostKey);
  DeleteFileA(path);
  return 0;
}
