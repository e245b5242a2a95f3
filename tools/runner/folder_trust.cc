#include "tools/runner/folder_trust.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <vector>

#include "common/file_holding.h"

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

// What `path` names, with every link resolved; empty when it cannot be
// opened.
std::wstring finalPathOf(const std::wstring& path, DWORD* error) {
  OwnedHandle file(CreateFileW(
      path.c_str(), READ_CONTROL,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    *error = GetLastError();
    return std::wstring();
  }
  std::wstring final = finalPathOfHandle(file.get());
  if (final.empty()) *error = GetLastError();
  return final;
}

// A file or folder that fails, and why.
struct Refusal {
  std::wstring path;
  std::wstring reason;
};

// Checks what `path` names as loaded from, then every folder above it;
// false, with the first that fails, when one does.
bool checkUpwards(const std::wstring& path, Refusal* refusal) {
  DWORD error = 0;
  std::wstring current = finalPathOf(path, &error);
  if (current.empty()) {
    *refusal = {path,
                describeHolding({Holding::kUnreadable, std::wstring(), error},
                                Place::kLoadedFrom)};
    return false;
  }
  for (Place place = Place::kLoadedFrom; !current.empty();
       current = folderAbove(current), place = Place::kAbove) {
    HoldingVerdict verdict = judgePath(current, place);
    if (verdict.holding != Holding::kTrusted) {
      verdict.who = namedAccount(verdict.who);
      *refusal = {current, describeHolding(verdict, place)};
      return false;
    }
  }
  return true;
}

std::wstring folderOf(const std::wstring& path) {
  size_t cut = path.find_last_of(L'\\');
  return cut == std::wstring::npos ? std::wstring(L".") : path.substr(0, cut);
}

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring thisProgram() {
  wchar_t path[MAX_PATH * 2];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) return std::wstring();
  return std::wstring(path, length);
}

std::wstring fullPath(const wchar_t* path) {
  wchar_t full[MAX_PATH * 2];
  DWORD length = GetFullPathNameW(path, MAX_PATH * 2, full, nullptr);
  if (length == 0 || length >= MAX_PATH * 2) return path;
  return std::wstring(full, length);
}

// The upgrade library a command line names, null for none: `list LIBRARY`,
// `--record FILE LIBRARY` and `--recording-child HANDLE LIBRARY` with the
// six arguments of an upgrade, `LIBRARY` and five more. Any other command
// line loads nothing: it ends with the usage.
const wchar_t* libraryArgument(int argc, wchar_t** wide) {
  constexpr int kUpgrade = 7;  // the program and six arguments
  if (argc == 3 && std::wcscmp(wide[1], L"list") == 0) return wide[2];
  if (argc == kUpgrade + 2 && (std::wcscmp(wide[1], L"--record") == 0 ||
                               std::wcscmp(wide[1], L"--recording-child") ==
                                   0)) {
    return wide[3];
  }
  return argc == kUpgrade ? wide[1] : nullptr;
}

// What the runner may load, each checked with the folders above it.
std::vector<std::wstring> loadedPaths(const wchar_t* library) {
  std::vector<std::wstring> paths;
  std::wstring program = thisProgram();
  std::wstring recorder = folderOf(program) + L"\\recorder";
  std::wstring besideProgram = folderOf(program) + L"\\AdbWinApi.dll";
  paths.push_back(folderOf(program));
  paths.push_back(program);
  // `list` without LIBRARY loads the one beside the runner, if any.
  if (exists(besideProgram)) paths.push_back(besideProgram);
  if (exists(recorder)) paths.push_back(recorder);
  if (exists(recorder + L"\\AdbWinApi.dll")) {
    paths.push_back(recorder + L"\\AdbWinApi.dll");
  }
  if (library != nullptr) {
    std::wstring file = fullPath(library);
    std::wstring beside = folderOf(file) + L"\\AdbWinApi.dll";
    paths.push_back(folderOf(file));
    paths.push_back(file);
    if (exists(beside)) paths.push_back(beside);
  }
  return paths;
}

}  // namespace

bool runsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return true;  // unknown: judged as the worst case
  }
  OwnedHandle owned(token);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation,
                           &size)) {
    return true;
  }
  return elevation.TokenIsElevated != 0;
}

bool runnerFoldersTrusted(int argc, wchar_t** wide) {
  // `status` reads the registry and loads nothing.
  if (argc >= 2 && std::wcscmp(wide[1], L"status") == 0) return true;
  if (!runsElevated()) return true;
  Refusal refusal;
  for (const std::wstring& path : loadedPaths(libraryArgument(argc, wide))) {
    if (checkUpwards(path, &refusal)) continue;
    std::fprintf(stderr,
                 "error: refused to run elevated: %ls %ls. Elevated, the "
                 "runner loads code only from folders that nobody but "
                 "SYSTEM, Administrators and TrustedInstaller can change: "
                 "copy it into a folder under Program Files.\n",
                 refusal.path.c_str(), refusal.reason.c_str());
    return false;
  }
  return true;
}
