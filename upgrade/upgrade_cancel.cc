#include "upgrade/upgrade_cancel.h"

#include <atomic>

namespace {

// Made when the library is loaded, so that setting it never has to create
// anything: the thread that sets it may be waiting for the upgrading one.
const HANDLE cancelSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
std::atomic<bool> cancelled{false};

}  // namespace

void setUpgradeCancel() {
  cancelled = true;
  if (cancelSignal != nullptr) SetEvent(cancelSignal);
}

void clearUpgradeCancel() {
  cancelled = false;
  if (cancelSignal != nullptr) ResetEvent(cancelSignal);
}

bool upgradeCancelled() { return cancelled; }

bool waitUnlessCancelled(DWORD milliseconds) {
  if (cancelled) return true;
  // Without the event (it could not be made) the wait is still a wait.
  if (cancelSignal == nullptr) {
    Sleep(milliseconds);
    return cancelled;
  }
  return WaitForSingleObjectEx(cancelSignal, milliseconds, FALSE) ==
             WAIT_OBJECT_0 ||
         cancelled;
}
