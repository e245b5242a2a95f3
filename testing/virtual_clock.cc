#include "testing/virtual_clock.h"

#include <atomic>

#ifdef _WIN32
#include "testing/import_patch.h"
#else
#include "platform/host/host_testing.h"
#endif

namespace {

std::atomic<VirtualClock*> active{nullptr};

void WINAPI virtualSleep(DWORD milliseconds) {
  if (VirtualClock* clock = active.load()) clock->add(milliseconds);
}

#ifdef _WIN32
using WaitFunction = decltype(&WaitForSingleObjectEx);
// Kernel32's own: the program's import may be the patched one.
std::atomic<WaitFunction> realWait{nullptr};

// The library's waits on its cancel signal: a wait of a finite time is
// recorded and ends at once, with the signal's state as it is now.
DWORD WINAPI virtualWaitForSingleObjectEx(HANDLE object, DWORD milliseconds,
                                          BOOL alertable) {
  if (milliseconds != 0 && milliseconds != INFINITE) {
    virtualSleep(milliseconds);
    milliseconds = 0;
  }
  return realWait.load()(object, milliseconds, alertable);
}

using WaitManyFunction = decltype(&WaitForMultipleObjectsEx);
std::atomic<WaitManyFunction> realWaitMany{nullptr};

// The service's settle wait, which a stop or a suspend ends: likewise.
DWORD WINAPI virtualWaitForMultipleObjectsEx(DWORD count, const HANDLE* objects,
                                             BOOL all, DWORD milliseconds,
                                             BOOL alertable) {
  if (milliseconds != 0 && milliseconds != INFINITE) {
    virtualSleep(milliseconds);
    milliseconds = 0;
  }
  return realWaitMany.load()(count, objects, all, milliseconds, alertable);
}
#endif

}  // namespace

#ifdef _WIN32
struct VirtualClock::Patches {
  std::vector<std::unique_ptr<ImportPatch>> patches;
  void watch(HMODULE module) {
    if (realWait.load() == nullptr) {
      realWait = reinterpret_cast<WaitFunction>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                         "WaitForSingleObjectEx")));
      realWaitMany = reinterpret_cast<WaitManyFunction>(
          reinterpret_cast<void*>(GetProcAddress(
              GetModuleHandleW(L"kernel32.dll"), "WaitForMultipleObjectsEx")));
    }
    patches.push_back(std::make_unique<ImportPatch>(
        module, "Sleep", reinterpret_cast<const void*>(&virtualSleep)));
    patches.push_back(std::make_unique<ImportPatch>(
        module, "WaitForSingleObjectEx",
        reinterpret_cast<const void*>(&virtualWaitForSingleObjectEx)));
    patches.push_back(std::make_unique<ImportPatch>(
        module, "WaitForMultipleObjectsEx",
        reinterpret_cast<const void*>(&virtualWaitForMultipleObjectsEx)));
  }
};

void VirtualClock::watchModule(HMODULE module) { patches_->watch(module); }
#else
struct VirtualClock::Patches {
  Patches() { hostSetSleepHook(&virtualSleep); }
  ~Patches() { hostSetSleepHook(nullptr); }
};
#endif

VirtualClock::VirtualClock() : patches_(std::make_unique<Patches>()) {
#ifdef _WIN32
  patches_->watch(nullptr);
#endif
  active = this;
}

VirtualClock::~VirtualClock() {
  active = nullptr;
  patches_.reset();
}

void VirtualClock::add(DWORD milliseconds) {
  std::lock_guard<std::mutex> hold(lock_);
  waits_.push_back(milliseconds);
}

void VirtualClock::clear() {
  std::lock_guard<std::mutex> hold(lock_);
  waits_.clear();
}

std::vector<DWORD> VirtualClock::waits() const {
  std::lock_guard<std::mutex> hold(lock_);
  return waits_;
}

uint64_t VirtualClock::elapsedMs() const {
  uint64_t total = 0;
  for (DWORD wait : waits()) total += wait;
  return total;
}
