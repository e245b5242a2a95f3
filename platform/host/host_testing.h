// What tests and tools on the host set up in place of a Windows machine: where
// the drivers folder is, and who sees event reports and waits.
#ifndef VELUNOR_PLATFORM_HOST_HOST_TESTING_H_
#define VELUNOR_PLATFORM_HOST_HOST_TESTING_H_

#include "platform/win32.h"

using ReportEventWFunction = decltype(&ReportEventW);
using ReportEventAFunction = decltype(&ReportEventA);
using SleepFunction = decltype(&Sleep);
using GetLocalTimeFunction = decltype(&GetLocalTime);
using GetTimeZoneInformationFunction = decltype(&GetTimeZoneInformation);

// A directory search in place of the real folder's: the runtime's narrow
// find-first, find-next and close, with their results.
struct HostDirectorySearch {
  intptr_t (*first)(const char* pattern, _finddata_t* entry);
  int (*next)(intptr_t search, _finddata_t* entry);
  int (*close)(intptr_t search);
};

// Maps "C:\Windows\System32\drivers" (any letter case) and everything below it
// onto `folder`. Null removes the mapping.
void hostSetDriversDirectory(const char* folder);

// Translates a Windows path under the drivers folder into a host path; other
// paths are copied unchanged. Returns false when `out` is too small.
bool hostMapPath(const char* path, char* out, size_t out_size);

// Makes the files that openBinaryFile opens from now on under `path` (as it
// is given, before mapping) fail every read from byte `offset` on, as a disk
// with a bad sector would; reads before it and seeks still work. Null `path`
// ends it.
void hostFailReadsFrom(const char* path, int64_t offset);

// Replaces the event log and the wait; null restores the defaults (reports are
// dropped, Sleep really sleeps).
void hostSetReportEventHooks(ReportEventWFunction wide,
                             ReportEventAFunction narrow);
void hostSetSleepHook(SleepFunction sleep);

// Replaces the clock and the time zone; null restores the host's own.
void hostSetClockHooks(GetLocalTimeFunction local_time,
                       GetTimeZoneInformationFunction time_zone);

// Replaces the directory search (all three calls at once); null restores the
// search of the real, mapped folder.
void hostSetDirectorySearch(const HostDirectorySearch* search);

#endif  // VELUNOR_PLATFORM_HOST_HOST_TESTING_H_
