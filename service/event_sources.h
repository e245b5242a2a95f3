// The two event sources in the Application log: the program's and the upgrade
// library's, each with this program's message table as its message file, so
// that a viewer shows an event's text without a preamble and lists the
// sources in its filters.
#ifndef VELUNOR_SERVICE_EVENT_SOURCES_H_
#define VELUNOR_SERVICE_EVENT_SOURCES_H_

#include <windows.h>

// The library's event source; the program's is kServiceName.
constexpr wchar_t kLibraryEventSource[] = L"velunorUpdateExport";

// Where the event log looks a source up, under HKEY_LOCAL_MACHINE.
constexpr wchar_t kApplicationLogKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

// The event types the sources write and a viewer may filter by: error,
// warning and information (a success event has no bit of its own).
constexpr DWORD kEventTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// Registers both sources with this program's file as their EventMessageFile.
// Reports an error event and returns false when a key or value could not be
// written.
bool registerEventSources();

// Removes both sources once no device family has its settings key left: the
// events of a family still installed stay readable. Reports an error event
// when a source could not be removed.
void removeEventSourcesWithoutFamily();

#endif  // VELUNOR_SERVICE_EVENT_SOURCES_H_
