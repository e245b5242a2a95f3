#include "platform/win32.h"

#ifdef _WIN32
FILE* openBinaryFile(const char* path) { return fopen(path, "rb"); }
#endif

size_t wideLength(const WCHAR* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}
