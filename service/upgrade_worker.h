// The upgrade worker: one call into the upgrade library, then the service
// stops and removes itself.
#ifndef VELUNOR_SERVICE_UPGRADE_WORKER_H_
#define VELUNOR_SERVICE_UPGRADE_WORKER_H_

#include <windows.h>

#include <cstdint>

// Thread results of updateThread.
enum WorkerResult : DWORD {
  kWorkerDone = 0,
  kWorkerTransferFailed = 1,
  kWorkerLibraryNotLoaded = 2,
};

// Thread start routine; `parameter` is the UpgradeThreadParams.
DWORD WINAPI updateThread(LPVOID parameter);

// Blocks until a worker that has begun removing the service has finished;
// returns at once when none has. The process must outlive the removal.
void waitForServiceRemoval();

#endif  // VELUNOR_SERVICE_UPGRADE_WORKER_H_
