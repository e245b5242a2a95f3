// The upgrade worker: one call into the upgrade library, then the service
// stops and removes itself.
#ifndef VELUNOR_SERVICE_UPGRADE_WORKER_H_
#define VELUNOR_SERVICE_UPGRADE_WORKER_H_

#include <windows.h>

#include <cstdint>

struct ServiceContext;

// The worker's parameter block: the settings of one arrival, and what the
// worker needs of the running service, its context and its stop step. The
// texts belong to the context.
struct UpgradeThreadParams {
  const char* updateFile;
  const wchar_t* devicePath;
  uint8_t bForce;
  uint8_t bUpdate;
  const char* version;
  GUID interfaceGuid;
  ServiceContext* context;
  void (*stopService)(ServiceContext* context);
};

// Thread results of updateThread.
enum WorkerResult : DWORD {
  kWorkerDone = 0,
  kWorkerTransferFailed = 1,
  kWorkerLibraryNotLoaded = 2,
  // The exit code of a worker that the service ended on a device removal.
  kWorkerEnded = 0xFFFFFFFF,
};

// Thread start routine; `parameter` is the UpgradeThreadParams.
DWORD WINAPI updateThread(LPVOID parameter);

// Blocks until a worker that has begun removing the service has finished;
// returns at once when none has. The process must outlive the removal.
void waitForServiceRemoval();

#endif  // VELUNOR_SERVICE_UPGRADE_WORKER_H_
