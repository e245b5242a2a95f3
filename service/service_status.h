// The service's status as the service control manager sees it: the states it
// reports, and the one stop step that ends them with STOPPED. The control
// handler, the cancel watch and the worker all report through here.
#ifndef VELUNOR_SERVICE_SERVICE_STATUS_H_
#define VELUNOR_SERVICE_SERVICE_STATUS_H_

#include <windows.h>

#include "service/service_context.h"

// Reports `state`, unless the service has already been reported stopped:
// the status never goes back from STOPPED.
void reportServiceState(ServiceContext* context, DWORD state);

// The service's stop step: stop pending, device notifications ended, stopped,
// once for the life of the service. The stop control takes it, and so does
// the worker after an upgrade, through its parameters; whichever comes second
// changes nothing.
void stopService(ServiceContext* context);

// While a stop waits for the worker: still stopping, and how far.
void reportStopPending(ServiceContext* context, DWORD checkPoint);

// The end of a stop control: its event, then the stop step.
void reportStopped(ServiceContext* context);

// Whether the service has been reported stopped.
bool serviceStopped(ServiceContext* context);

#endif  // VELUNOR_SERVICE_SERVICE_STATUS_H_
