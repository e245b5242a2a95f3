// Linux stand-ins for the Win32 calls and types the upgrade library uses.
// Only what the library calls is here. Wide text stays UTF-16 (char16_t), as it
// is on Windows, so the library handles device paths the same way on both.
#ifndef VELUNOR_PLATFORM_HOST_HOST_WIN32_H_
#define VELUNOR_PLATFORM_HOST_HOST_WIN32_H_

#include <cstdint>
#include <cstdio>

using BOOL = int;
using BYTE = uint8_t;
using UCHAR = uint8_t;
using WORD = uint16_t;
using USHORT = uint16_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using WCHAR = char16_t;
using HANDLE = void*;
using PSID = void*;
using LPVOID = void*;
using LPCSTR = const char*;
using LPCWSTR = const WCHAR*;

#define WINAPI

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

struct TIME_ZONE_INFORMATION {
  LONG Bias;
  WCHAR StandardName[32];
  SYSTEMTIME StandardDate;
  LONG StandardBias;
  WCHAR DaylightName[32];
  SYSTEMTIME DaylightDate;
  LONG DaylightBias;
};

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;

constexpr DWORD TIME_ZONE_ID_UNKNOWN = 0;
constexpr DWORD TIME_ZONE_ID_STANDARD = 1;
constexpr DWORD TIME_ZONE_ID_DAYLIGHT = 2;

HANDLE RegisterEventSourceW(LPCWSTR server_name, LPCWSTR source_name);
BOOL ReportEventW(HANDLE event_log, WORD type, WORD category, DWORD event_id,
                  PSID user_sid, WORD num_strings, DWORD data_size,
                  LPCWSTR* strings, LPVOID raw_data);
BOOL ReportEventA(HANDLE event_log, WORD type, WORD category, DWORD event_id,
                  PSID user_sid, WORD num_strings, DWORD data_size,
                  LPCSTR* strings, LPVOID raw_data);
DWORD GetLastError();
void SetLastError(DWORD error);
using UINT = uint32_t;
using LPWSTR = WCHAR*;
// The Windows folder: "C:\Windows", as on most PCs.
UINT GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size);
void Sleep(DWORD milliseconds);

// Manual-reset events, the one kind the library waits on. A wait with a
// finite time goes through the sleep hook when one is set, so tests keep
// virtual time: it records the wait and ends at once, signalled or not.
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
HANDLE CreateEventW(void* attributes, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObjectEx(HANDLE event, DWORD milliseconds, BOOL alertable);
void GetLocalTime(SYSTEMTIME* time);
DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* zone);

// The runtime library's narrow directory search (io.h).
constexpr unsigned _A_NORMAL = 0x00;
constexpr unsigned _A_RDONLY = 0x01;
constexpr unsigned _A_HIDDEN = 0x02;
constexpr unsigned _A_SYSTEM = 0x04;
constexpr unsigned _A_SUBDIR = 0x10;
constexpr unsigned _A_ARCH = 0x20;

struct _finddata_t {
  unsigned attrib;
  int64_t time_create;
  int64_t time_access;
  int64_t time_write;
  uint32_t size;
  char name[260];
};

intptr_t _findfirst(const char* pattern, _finddata_t* entry);
int _findnext(intptr_t search, _finddata_t* entry);
int _findclose(intptr_t search);

int _fseeki64(FILE* file, int64_t offset, int origin);
int64_t _ftelli64(FILE* file);

#endif  // VELUNOR_PLATFORM_HOST_HOST_WIN32_H_
