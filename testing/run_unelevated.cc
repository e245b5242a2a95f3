// Runs a command line as from a prompt that is not elevated, and ends with
// its exit code: Wine runs every program elevated, where the runner checks
// its folders, and gives every file its user as owner, so the runner's
// demonstration runs it so.
//
//     run_unelevated.exe PROGRAM [ARGUMENTS...]
#include <windows.h>

#include <cwchar>
#include <string>

#include "testing/runner_folder.h"

namespace {

// The command line after this program's own name.
std::wstring restOfCommandLine() {
  const wchar_t* line = GetCommandLineW();
  if (*line == L'"') {
    line = std::wcschr(line + 1, L'"');
    line = line != nullptr ? line + 1 : L"";
  } else {
    while (*line != 0 && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

}  // namespace

int main() {
  std::wstring line = restOfCommandLine();
  if (line.empty()) return 2;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT,
                         HANDLE_FLAG_INHERIT);
  }
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!startUnelevated(std::wstring(), line, &startup, &process)) return 2;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}
