// The slice of the Win32 API that the upgrade library uses. Windows builds take
// it from the SDK; the host build takes it from our Linux layer in
// platform/host, so the same library code compiles and runs on both.
#ifndef VELUNOR_PLATFORM_WIN32_H_
#define VELUNOR_PLATFORM_WIN32_H_

#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
// A UTF-16 literal of the platform's wide character type.
#define U16(text) L##text
#else
#include "platform/host/host_win32.h"
#define U16(text) u##text
#endif

// Opens a file for binary reading. On the host, Windows paths under the
// drivers folder are mapped onto the folder a test chose.
FILE* openBinaryFile(const char* path);

// The same, for a file that must stay as it is while the stream is open:
// on Windows nobody else may write, rename or delete it until then (its
// handle shares reading alone). The host has no such sharing and only opens
// it.
FILE* openBinaryFileHeld(const char* path);

// Number of UTF-16 units before the terminating NUL.
size_t wideLength(const WCHAR* text);

#endif  // VELUNOR_PLATFORM_WIN32_H_
