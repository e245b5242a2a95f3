#include "common/event_report.h"

#include <cstdarg>
#include <cstdio>

HANDLE eventSource = nullptr;
std::atomic<DWORD> eventCounter{1};

DWORD takeEventId(WORD strings) {
  return eventIdentifier(eventCounter.fetch_add(1), strings);
}

void registerEventSource(const WCHAR* sourceName) {
  eventSource = RegisterEventSourceW(nullptr, sourceName);
}

void reportEvent(WORD type, const WCHAR* text) {
  LPCWSTR strings[1] = {text};
  ReportEventW(eventSource, type, 0, takeEventId(1), nullptr, 1, 0, strings,
               nullptr);
}

void reportEventStrings(WORD type, const char** strings, WORD count) {
  ReportEventA(eventSource, type, 0, takeEventId(count), nullptr, count, 0,
               strings, nullptr);
}

void formatEventText(WCHAR (&text)[kEventTextUnits], const char* format,
                     va_list values) {
  // Every format the system uses is ASCII with numbers in it, so formatting
  // narrow and widening unit by unit gives the same text as wide formatting.
  char narrow[kEventTextUnits];
  int length = vsnprintf(narrow, sizeof narrow, format, values);
  if (length < 0) length = 0;
  size_t units = static_cast<size_t>(length) < kEventTextUnits - 1
                     ? static_cast<size_t>(length)
                     : kEventTextUnits - 1;
  for (size_t i = 0; i < units; ++i) {
    text[i] = static_cast<WCHAR>(static_cast<unsigned char>(narrow[i]));
  }
  text[units] = 0;
}

void reportEventFormat(WORD type, const char* format, ...) {
  WCHAR text[kEventTextUnits];
  va_list values;
  va_start(values, format);
  formatEventText(text, format, values);
  va_end(values);
  reportEvent(type, text);
}
