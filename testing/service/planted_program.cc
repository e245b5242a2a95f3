// A program planted where a service path read without quotes would lead
// Windows: when anything starts it, it leaves "<its own path>.ran" beside
// itself and ends.
#include <windows.h>

#include <cwchar>

int main() {
  wchar_t mark[MAX_PATH + 8];
  DWORD length = GetModuleFileNameW(nullptr, mark, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 1;
  wcscat(mark, L".ran");
  HANDLE file = CreateFileW(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(file);
  return 0;
}
