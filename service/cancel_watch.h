// The end of a worker that a removal or a stop has claimed: the library is
// asked to cancel, and a watch off the control handler waits a bounded time
// for the worker, saying the cancel again, and kills it only as the last
// resort (or at once when the library cannot cancel).
#ifndef VELUNOR_SERVICE_CANCEL_WATCH_H_
#define VELUNOR_SERVICE_CANCEL_WATCH_H_

#include <windows.h>

#include "service/service_context.h"

// The exit code of a service process that ended itself after killing its
// worker (the service manager logs it and applies its recovery actions).
constexpr UINT kServiceEndedAfterKill = ERROR_PROCESS_ABORTED;

// Ends the worker a removal or a stop has claimed (its phase moved from
// kWorkerUpgrading to kWorkerEnding): a library that can cancel is asked to,
// and the worker ends by itself; one that cannot has it killed, as ever.
// With `thenStop` the service is reported stopped once the worker has ended.
// After a kill the process ends once the outcome record and the event are
// written, and the service manager's recovery starts the service again.
void endClaimedWorker(ServiceContext* context, bool thenStop);

// Waits for the cancelled worker, at most the context's cancelWaitMs, and
// kills it if it is still in the library by then; with `thenStop` the service
// is reported stopped after it. The wait runs on a thread of its own, so the
// control handler is free at once.
void watchCancelledWorker(ServiceContext* context, bool thenStop);

#endif  // VELUNOR_SERVICE_CANCEL_WATCH_H_
