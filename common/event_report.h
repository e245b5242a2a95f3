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

// The sequence number of the next event: 1 when the binary is loaded.
// Atomic, so two threads reporting at once never share a number.
extern std::atomic<DWORD> eventCounter;

// The service program's message table (the EventMessageFile of both event
// sources) holds a message for every event ID from 1 to kEventMessageReach
// and every number of strings from 1 to kEventMostStrings: the strings
// alone, one a line. The build generates it from these two numbers
// (common/event_messages.py).
constexpr DWORD kEventMessageReach = 1024;
constexpr WORD kEventMostStrings = 8;

// The event ID reported for the event with sequence number `sequence` and
// `strings` strings. Its low word, the Event ID every viewer shows, is the
// sequence number; its high word (the qualifiers) is the number of strings
// of an event of more than one, so that the message found shows them all.
constexpr DWORD eventIdentifier(DWORD sequence, WORD strings) {
  return (sequence & 0xFFFFu) |
         (strings > 1 ? static_cast<DWORD>(strings) << 16 : 0u);
}

// Takes the next sequence number for an event of `strings` strings and
// returns its event ID.
DWORD takeEventId(WORD strings);

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
