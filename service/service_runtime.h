// The service's life with the service control manager: its start, its
// control handler, and the dispatcher that runs it until it has stopped.
#ifndef VELUNOR_SERVICE_SERVICE_RUNTIME_H_
#define VELUNOR_SERVICE_SERVICE_RUNTIME_H_

#include <windows.h>

// Registers the handler and the device notifications, reports the service
// running and then starts the scan for devices already present.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

// The service role of the program: hands the main thread to the service
// dispatcher until the service has stopped (and, after an upgrade, until its
// registration is removed), then writes the main thread's last event.
void runService();

// Stop and shutdown stop the service, device events go to their procedures
// (device_events.h), power events and the preshutdown to theirs
// (power_events.h); every other control is answered and changes nothing.
// `context` is the ServiceContext that ServiceMain registered.
DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD eventType,
                                  LPVOID eventData, LPVOID context);

#endif  // VELUNOR_SERVICE_SERVICE_RUNTIME_H_
