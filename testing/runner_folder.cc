#include "testing/runner_folder.h"

#include "testing/program_files.h"

namespace {

// A folder left by an earlier run of a process with the same ID is taken
// as it is: its files are written over.
bool makeFolder(const std::wstring& path) {
  return CreateDirectoryW(path.c_str(), nullptr) ||
         GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace

RunnerFolder::RunnerFolder() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  path_ = std::wstring(temp) + L"vlnr_runner_folder_" +
          std::to_wstring(GetCurrentProcessId()) + L"\\";
  const std::wstring shipped = shippedFolder();
  made_ =
      makeFolder(path_) && makeFolder(file(L"recorder")) &&
      copy(shipped + L"upgrade_runner.exe", L"upgrade_runner.exe") &&
      copy(shipped + L"velunorUpdateExport.dll", L"velunorUpdateExport.dll") &&
      copy(shipped + L"recorder\\AdbWinApi.dll", L"recorder\\AdbWinApi.dll") &&
      copy(folderOfThisProgram() + L"AdbWinApi.dll", L"AdbWinApi.dll");
}

RunnerFolder::~RunnerFolder() {
  for (const std::wstring& copy : copies_) DeleteFileW(copy.c_str());
  RemoveDirectoryW(file(L"recorder").c_str());
  RemoveDirectoryW(path_.c_str());
}

bool RunnerFolder::copy(const std::wstring& from, const wchar_t* name) {
  std::wstring to = file(name);
  if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) return false;
  copies_.push_back(to);
  return true;
}

bool startUnelevated(const std::wstring& program, std::wstring line,
                     STARTUPINFOW* startup, PROCESS_INFORMATION* process) {
  HANDLE own = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) return false;
  TOKEN_LINKED_TOKEN linked{};
  DWORD size = 0;
  TOKEN_ELEVATION elevation{};
  bool elevated = GetTokenInformation(own, TokenElevation, &elevation,
                                      sizeof elevation, &size) &&
                  elevation.TokenIsElevated != 0;
  bool haveLinked = elevated && GetTokenInformation(own, TokenLinkedToken,
                                                    &linked, sizeof linked,
                                                    &size);
  CloseHandle(own);
  // No program: the command line's first word names it.
  const wchar_t* name = program.empty() ? nullptr : program.c_str();
  if (!elevated) {
    return CreateProcessW(name, &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                          nullptr, startup, process);
  }
  if (!haveLinked) return false;
  HANDLE primary = nullptr;
  bool made = DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr,
                               SecurityImpersonation, TokenPrimary, &primary);
  CloseHandle(linked.LinkedToken);
  if (!made) return false;
  bool started = CreateProcessAsUserW(primary, name, &line[0], nullptr,
                                      nullptr, TRUE, 0, nullptr, nullptr,
                                      startup, process);
  CloseHandle(primary);
  return started;
}
