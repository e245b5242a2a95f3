// The upgrade worker: one call into the upgrade library, then the service
// stops and removes itself.
#ifndef VELUNOR_SERVICE_UPGRADE_WORKER_H_
#define VELUNOR_SERVICE_UPGRADE_WORKER_H_

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "common/upgrade_contract.h"

struct ServiceContext;

// Where the worker stands, for the removal procedure: only a worker still in
// the upgrade (loading or calling the library) may be cancelled or killed.
// The library's result, not the phase, says what the upgrade did.
enum WorkerPhase : uint32_t {
  kWorkerIdle = 0,       // none started yet, or it ended keeping the service
  kWorkerUpgrading = 1,  // from its start until the library returns
  kWorkerFinishing = 2,  // reporting, deleting the file, removing the service
  kWorkerEnding = 3,     // a removal has cancelled it
  kWorkerKilled = 4,     // being killed: it must do nothing more
};

// What the worker bound in the library, for the removal procedure: published
// once the library is loaded, before it is called, so that a removal never
// has to bind anything (binding takes the loader's lock, which the worker may
// hold).
struct WorkerBinding {
  std::atomic<bool> bound{false};
  // Null when the library has no cancel export.
  std::atomic<LetsCancelUpgradeFunction> cancelUpgrade{nullptr};
};

// The worker's parameter block: the settings of one arrival, and what the
// worker needs of the running service, its context, its stop step and the
// phase it shares with the removal procedure. The texts belong to the
// context.
struct UpgradeThreadParams {
  const char* updateFile;
  const wchar_t* devicePath;
  uint8_t bForce;
  uint8_t bUpdate;
  const char* version;
  GUID interfaceGuid;
  ServiceContext* context;
  void (*stopService)(ServiceContext* context);
  // A WorkerPhase. The worker leaves kWorkerUpgrading (or kWorkerEnding)
  // when the library returns, unless it is being killed.
  std::atomic<uint32_t>* phase;
  WorkerBinding* binding;  // may be null: nobody asks
  // The family's `sha256` setting, or null: the library sends only an image
  // with this digest.
  const char* imageSha256;
};

// Thread results of updateThread.
enum WorkerResult : DWORD {
  kWorkerDone = 0,
  kWorkerTransferFailed = 1,
  kWorkerLibraryNotLoaded = 2,
  // The device went away before the update started: the service and the
  // image stay for the next arrival.
  kWorkerDeviceWentAway = 3,
  // The device was told to start the update and restarted before it
  // confirmed: done, never sent again.
  kWorkerStartUnconfirmed = 4,
  // The exit code of a worker that the service ended on a device removal,
  // whether it was cancelled or, as the last resort, killed.
  kWorkerEnded = 0xFFFFFFFF,
};

// Thread start routine; `parameter` is the UpgradeThreadParams.
DWORD WINAPI updateThread(LPVOID parameter);

// Stops the service and removes its registration: every family on the PC is
// served. The main thread waits for the calling thread to end (see below).
void removeService(ServiceContext* context,
                   void (*stopService)(ServiceContext* context));

// Blocks until a worker that has begun removing the service has finished;
// returns at once when none has. The process must outlive the removal.
void waitForServiceRemoval();

#endif  // VELUNOR_SERVICE_UPGRADE_WORKER_H_
