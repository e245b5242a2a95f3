// Event-log reporting, the system's main report. Each deliverable links its
// own copy, so the program and the library each have their own source handle
// and their own event numbering.
#ifndef VELUNOR_COMMON_EVENT_REPORT_H_
#define VELUNOR_COMMON_EVENT_REPORT_H_

#include <atomic>
#include <cstdarg>

#include "platform/win32.h"

// Texts that carry values are formatted into this many UTF-16 units, the
// terminating NUL included.
constexpr size_t kEventTextUnits = 256;

// The deliverable's event source; null until registered.
extern HANDLE eventSource;

// The ID of the next event: 1 when the binary is loaded. Atomic, so two
// threads reporting at once never share an ID.
extern std::atomic<DWORD> eventCounter;

// Registers `sourceName` on the local computer and keeps the handle in
// eventSource, also when it is null. An earlier handle is overwritten.
void registerEventSource(const WCHAR* sourceName);

// One event with one UTF-16 string.
void reportEvent(WORD type, const WCHAR* text);

// One event with `count` 8-bit strings, through ReportEventA.
void reportEventStrings(WORD type, const char** strings, WORD count);

// One event whose single UTF-16 string is `format` with its values, cut to
// kEventTextUnits - 1 units.
void reportEventFormat(WORD type, const char* format, ...)
#if defined(__MINGW32__)
    // The runtime formats with mingw's own (C99) printf, as stdio does here.
    __attribute__((format(gnu_printf, 2, 3)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Formats like reportEventFormat into `text` without reporting it.
void formatEventText(WCHAR (&text)[kEventTextUnits], const char* format,
                     va_list values);

#endif  // VELUNOR_COMMON_EVENT_REPORT_H_
