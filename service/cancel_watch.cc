#include "service/cancel_watch.h"

#include <windows.h>

#include <cstdint>
#include <new>

#include "common/event_report.h"
#include "common/upgrade_contract.h"
#include "service/device_family.h"
#include "service/outcome_record.h"
#include "service/service_status.h"
#include "service/upgrade_worker.h"

namespace {

// A cancelled worker being waited for, off the control handler.
struct CancelWatch {
  ServiceContext* context;
  HANDLE worker;  // a handle of its own: the arrival closes the context's
  DWORD limitMs;
  bool thenStop;  // a stop waits for the worker: report stopped after it
};

// Says the cancel again, unless the worker has ended: then the next one may
// already run, and the cancel is not for it.
void repeatCancel(const CancelWatch& watch) {
  AcquireSRWLockExclusive(&watch.context->cancelLock);
  LetsCancelUpgradeFunction cancel =
      watch.context->workerBinding.cancelUpgrade.load();
  if (cancel != nullptr && WaitForSingleObject(watch.worker, 0) == WAIT_TIMEOUT) {
    cancel();
  }
  ReleaseSRWLockExclusive(&watch.context->cancelLock);
}

// Takes the cancelled worker `worker` for the kill; false when it has ended
// or the library has returned meanwhile: then it is finishing what the
// result says, and must not be ended half way.
bool claimForKill(ServiceContext* context, HANDLE worker) {
  if (WaitForSingleObject(worker, 0) != WAIT_TIMEOUT) return false;
  uint32_t phase = kWorkerEnding;
  return context->workerPhase.compare_exchange_strong(phase, kWorkerKilled);
}

// A killed worker cannot finish its outcome record: the killer does.
void killWorker(HANDLE worker, const wchar_t* familyKey) {
  TerminateThread(worker, kWorkerEnded);
  recordKilledUpgrade(familyKey);
}

// After a kill, once the record and the event are written. The killed thread
// may have held a lock of the heap, the C runtime or the loader, held for
// ever now: nothing more is called in this process. It ends without
// reporting the service stopped, so the service manager's recovery starts
// the service again, and the new process's scan of the present devices
// carries the upgrade on. Returns only where a test holds the end.
void endProcessAfterKill() {
  TerminateProcess(GetCurrentProcess(), kServiceEndedAfterKill);
}

// Waits the bounded time for the cancelled worker; kills it only if it is
// still in the library by then, and then ends the process. True when it
// killed it.
bool awaitCancelledWorker(const CancelWatch& watch) {
  // Taken while the worker runs: once it has ended, an arrival may change
  // the device path.
  const wchar_t* familyKey = familyOf(watch.context->devicePath).registryKey;
  DWORD limit = watch.limitMs;
  DWORD checkPoint = 1;
  for (DWORD waited = 0; waited < limit;) {
    DWORD slice = limit - waited < kCancelRepeatMs ? limit - waited
                                                   : kCancelRepeatMs;
    if (WaitForSingleObject(watch.worker, slice) != WAIT_TIMEOUT) return false;
    waited += slice;
    if (watch.thenStop) reportStopPending(watch.context, ++checkPoint);
    // Loaded meanwhile, a library that cannot cancel: its worker saw the
    // claim and waits, holding nothing, to be killed as ever.
    const WorkerBinding& binding = watch.context->workerBinding;
    if (binding.bound.load() && binding.cancelUpgrade.load() == nullptr) {
      if (!claimForKill(watch.context, watch.worker)) return false;
      reportEvent(EVENTLOG_ERROR_TYPE, L"update thread is exist, kill thread");
      killWorker(watch.worker, familyKey);
      endProcessAfterKill();
      return true;
    }
    repeatCancel(watch);
  }
  if (!claimForKill(watch.context, watch.worker)) return false;
  // Killed first, reported after: the report may need a lock the stuck
  // worker holds, which only its end sets free.
  killWorker(watch.worker, familyKey);
  reportEventFormat(EVENTLOG_ERROR_TYPE,
                    "update thread did not end %u ms after cancel, kill thread",
                    static_cast<unsigned>(limit));
  endProcessAfterKill();
  return true;
}

DWORD WINAPI cancelWatchThread(LPVOID parameter) {
  auto* watch = static_cast<CancelWatch*>(parameter);
  bool killed = awaitCancelledWorker(*watch);
  if (watch->thenStop && !killed) reportStopped(watch->context);
  CloseHandle(watch->worker);
  delete watch;
  return 0;
}

}  // namespace

// With no thread to be had it waits here, no longer than an arrival's settle
// time.
void watchCancelledWorker(ServiceContext* context, bool thenStop) {
  auto* watch = new (std::nothrow)
      CancelWatch{context, nullptr, context->cancelWaitMs, thenStop};
  if (watch != nullptr &&
      DuplicateHandle(GetCurrentProcess(), context->workerThread,
                      GetCurrentProcess(), &watch->worker, 0, FALSE,
                      DUPLICATE_SAME_ACCESS)) {
    HANDLE thread =
        CreateThread(nullptr, 0, cancelWatchThread, watch, 0, nullptr);
    if (thread != nullptr) {
      CloseHandle(thread);
      return;
    }
    CloseHandle(watch->worker);
  }
  delete watch;
  DWORD limit = context->cancelWaitMs < kArrivalSettleMs ? context->cancelWaitMs
                                                         : kArrivalSettleMs;
  bool killed = awaitCancelledWorker(
      CancelWatch{context, context->workerThread, limit, thenStop});
  if (thenStop && !killed) reportStopped(context);
}

void endClaimedWorker(ServiceContext* context, bool thenStop) {
  WorkerBinding& binding = context->workerBinding;
  if (binding.bound.load() && binding.cancelUpgrade.load() == nullptr) {
    if (claimForKill(context, context->workerThread)) {
      reportEvent(EVENTLOG_ERROR_TYPE, L"update thread is exist, kill thread");
      killWorker(context->workerThread,
                 familyOf(context->devicePath).registryKey);
      endProcessAfterKill();
      return;
    }
    if (thenStop) reportStopped(context);
    return;
  }
  reportEvent(EVENTLOG_ERROR_TYPE, L"update thread is exist, cancel upgrade");
  // Not bound yet, the worker sees the claim once the library is loaded and
  // never calls it.
  if (LetsCancelUpgradeFunction cancel = binding.cancelUpgrade.load()) cancel();
  watchCancelledWorker(context, thenStop);
}
