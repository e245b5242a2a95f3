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

}  // namespace

#ifdef _WIN32
struct VirtualClock::Patches {
  std::vector<std::unique_ptr<ImportPatch>> patches;
  void watch(HMODULE module) {
    patches.push_back(std::make_unique<ImportPatch>(
        module, "Sleep", reinterpret_cast<const void*>(&virtualSleep)));
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
