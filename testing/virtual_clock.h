// Virtual time for tests: while a clock lives, Sleep (and a timed wait on
// objects through WaitForSingleObjectEx or WaitForMultipleObjectsEx, the
// upgrade library's wait on its cancel signal, the service's settle wait and
// its waits for a device told to start) returns at once and the clock records the wait. On Windows
// it patches those imports of the test program (and of any module it is told
// about); on the host it takes the platform layer's sleep hook. One clock at
// a time.
#ifndef VELUNOR_TESTING_VIRTUAL_CLOCK_H_
#define VELUNOR_TESTING_VIRTUAL_CLOCK_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/win32.h"

class VirtualClock {
 public:
  VirtualClock();
  ~VirtualClock();
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;

#ifdef _WIN32
  void watchModule(HMODULE module);
#endif

  // Every wait asked for, in order, in milliseconds.
  std::vector<DWORD> waits() const;
  // Their sum.
  uint64_t elapsedMs() const;

  void add(DWORD milliseconds);
  // Forgets the waits so far.
  void clear();

 private:
  struct Patches;
  mutable std::mutex lock_;
  std::vector<DWORD> waits_;
  std::unique_ptr<Patches> patches_;
};

#endif  // VELUNOR_TESTING_VIRTUAL_CLOCK_H_
