// Registering the program as a Windows service, and removing it again.
#ifndef VELUNOR_SERVICE_INSTALLATION_H_
#define VELUNOR_SERVICE_INSTALLATION_H_

// Results of uninstallService.
enum UninstallResult : int {
  kUninstallDeleted = 0,
  kUninstallManagerNotOpened = 7,
  kUninstallServiceNotOpened = 8,
  kUninstallStatusNotQueried = 9,
  kUninstallDeleteFailed = 10,
  kUninstallNotStopped = 11,
};

// Registers this program, without arguments, as an automatically started
// LocalSystem service, and then both event sources (service/event_sources.h).
// Reports the outcome as events.
void installService();

// Deletes the service registration if the service is stopped; never stops it.
UninstallResult uninstallService();

#endif  // VELUNOR_SERVICE_INSTALLATION_H_
