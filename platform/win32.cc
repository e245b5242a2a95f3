#include "platform/win32.h"

#ifdef _WIN32
#include <fcntl.h>

namespace {

FILE* openSharing(const char* path, DWORD sharing) {
  HANDLE file = CreateFileA(path, GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file),
                                   _O_RDONLY | _O_BINARY);
  if (descriptor == -1) {
    CloseHandle(file);
    return nullptr;
  }
  FILE* stream = _fdopen(descriptor, "rb");
  if (stream == nullptr) _close(descriptor);
  return stream;
}

}  // namespace

// Images are opened with delete sharing: a worker ended by a device removal
// keeps its handle until the process ends, and the service must still be able
// to delete the update file after the next, successful upgrade.
FILE* openBinaryFile(const char* path) {
  return openSharing(path,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

FILE* openBinaryFileHeld(const char* path) {
  return openSharing(path, FILE_SHARE_READ);
}
#endif

size_t wideLength(const WCHAR* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}
