// A driver call that holds a lock of the process: the nth bulk write takes
// the loader's lock, keeps it a while and then fails as on a device pulled
// meanwhile. A thread killed while it holds that lock leaves it held for
// ever, and the next thread the process starts cannot begin to run.
#include "testing/virtual_device/device_state.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <thread>

namespace vdev {
namespace internal {
namespace {

#ifdef _WIN32
using LockLoaderLock = LONG(NTAPI*)(ULONG flags, ULONG* state,
                                    ULONG_PTR* cookie);
using UnlockLoaderLock = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);

template <typename Function>
Function fromNtdll(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}
#endif

}  // namespace

bool holdsLoaderLock(const Device& d) {
  return d.loader_lock_write != 0 &&
         d.call_counts[static_cast<size_t>(Call::kWriteEndpointSync)] ==
             d.loader_lock_write;
}

void holdLoaderLock(Device& d) {
  // Bound before the lock is taken: binding takes it too.
#ifdef _WIN32
  auto lock = fromNtdll<LockLoaderLock>("LdrLockLoaderLock");
  auto unlock = fromNtdll<UnlockLoaderLock>("LdrUnlockLoaderLock");
#endif
  d.verdict.held = true;
  writeVerdictFile(d);
#ifdef _WIN32
  ULONG_PTR cookie = 0;
  bool locked = lock != nullptr && unlock != nullptr &&
                lock(0, nullptr, &cookie) >= 0;
#endif
  std::this_thread::sleep_for(std::chrono::milliseconds(d.loader_lock_ms));
#ifdef _WIN32
  if (locked) unlock(0, cookie);
#endif
  d.verdict.held = false;
  writeVerdictFile(d);
}

}  // namespace internal
}  // namespace vdev
