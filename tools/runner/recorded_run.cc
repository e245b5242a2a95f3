#include "tools/runner/recorded_run.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/file_holding.h"
#include "tools/recorder/recorder_start.h"
#include "tools/recorder/recording_format.h"

namespace {

constexpr wchar_t kRecorderFile[] = L"recorder\\AdbWinApi.dll";
constexpr int kUpgradeArguments = 6;

// The child's: the inherited recording and the real AdbWinApi.dll.
HANDLE childRecording = INVALID_HANDLE_VALUE;
HMODULE childRealAdbWinApi = nullptr;

std::wstring fullPath(const wchar_t* path) {
  wchar_t full[MAX_PATH * 2];
  DWORD length = GetFullPathNameW(path, MAX_PATH * 2, full, nullptr);
  if (length == 0 || length >= MAX_PATH * 2) return std::wstring();
  return std::wstring(full, length);
}

std::wstring folderOf(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring thisProgram() {
  wchar_t path[MAX_PATH * 2];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) return std::wstring();
  return std::wstring(path, length);
}

std::wstring recorderPath() { return folderOf(thisProgram()) + kRecorderFile; }

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The AdbWinApi.dll the library would bind without the recorder: the one
// beside it, else the system folder's, as the loader searches them.
std::wstring realLibraryPath(const std::wstring& library) {
  std::wstring beside = folderOf(library) + L"AdbWinApi.dll";
  if (exists(beside)) return beside;
  wchar_t system[MAX_PATH];
  UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(system, length) + L"\\AdbWinApi.dll";
}

// One argument as CommandLineToArgvW reads it back.
std::wstring quoted(const std::wstring& argument) {
  std::wstring text = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    text.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    text += c;
  }
  text.append(backslashes * 2, L'\\');
  return text + L"\"";
}

bool writeAll(HANDLE file, const std::string& text) {
  DWORD written = 0;
  return WriteFile(file, text.data(), static_cast<DWORD>(text.size()),
                   &written, nullptr) &&
         written == text.size();
}

bool sameText(const std::wstring& one, const std::wstring& other) {
  return CompareStringOrdinal(one.c_str(), static_cast<int>(one.size()),
                              other.c_str(), static_cast<int>(other.size()),
                              TRUE) == CSTR_EQUAL;
}

// The recording's folder, held open so that it cannot be renamed or removed
// while the file is made in it. Refused, after saying so, when the path to
// it goes through a link: the runner runs elevated, and a user may have
// swapped a junction in to have the file made elsewhere.
HANDLE openRecordingFolder(const std::wstring& folder) {
  HANDLE handle = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS |
                                  FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "error: cannot open the recording's folder %ls "
                 "(error %lu)\n", folder.c_str(), GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  // In its long form, as Windows tells the path of what is open.
  wchar_t longForm[MAX_PATH * 2];
  DWORD length = GetLongPathNameW(folder.c_str(), longForm, MAX_PATH * 2);
  std::wstring asked = length != 0 && length < MAX_PATH * 2
                           ? std::wstring(longForm, length)
                           : folder;
  if (asked.size() > 3 && asked.back() == L'\\') asked.pop_back();
  std::wstring reached = finalPathOfHandle(handle);
  if (!sameText(reached, asked)) {
    std::fprintf(stderr,
                 "error: the recording's folder %ls is reached through a link "
                 "(to %ls); the runner runs elevated and makes its file only "
                 "where the path says\n",
                 asked.c_str(), reached.c_str());
    CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

// Removes the file just made, by its handle: the name may point elsewhere.
void removeMadeFile(HANDLE file) {
  FILE_DISPOSITION_INFO remove{TRUE};
  SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
  CloseHandle(file);
}

// A new recording with its version line, its handle for the child to
// inherit; an earlier one is never written over, and it is made only in the
// folder the path names, through no link. INVALID_HANDLE_VALUE when it
// cannot be made.
HANDLE startRecording(const std::wstring& path) {
  const size_t cut = path.find_last_of(L'\\');
  HANDLE folder = openRecordingFolder(path.substr(0, cut + 1));
  if (folder == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE,
                            FILE_SHARE_READ, &inherited, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr,
                 "error: cannot make the recording %ls (error %lu); an "
                 "existing file is not written over\n",
                 path.c_str(), GetLastError());
    CloseHandle(folder);
    return INVALID_HANDLE_VALUE;
  }
  // Where it was made: in the folder held open, under its name.
  std::wstring expected = finalPathOfHandle(folder);
  if (expected.empty() || expected.back() != L'\\') expected += L'\\';
  expected += path.substr(cut + 1);
  std::wstring made = finalPathOfHandle(file);
  CloseHandle(folder);
  if (!sameText(made, expected)) {
    std::fprintf(stderr,
                 "error: the recording %ls was made at %ls, through a link; "
                 "removed\n",
                 path.c_str(), made.c_str());
    removeMadeFile(file);
    return INVALID_HANDLE_VALUE;
  }
  if (!writeAll(file, std::string(recording::kVersionLine) + "\n")) {
    std::fprintf(stderr, "error: cannot write the recording %ls (error %lu)\n",
                 path.c_str(), GetLastError());
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

// Runs the child and waits for it, however long the upgrade takes.
bool runChild(const std::wstring& commandLine, DWORD* exitCode) {
  std::wstring program = thisProgram();
  std::wstring line = commandLine;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "error: cannot start the recorded run (error %lu)\n",
                 GetLastError());
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// The handle's value as the child's command line carries it.
HANDLE parseHandle(const wchar_t* text) {
  wchar_t* end = nullptr;
  unsigned long long value = std::wcstoull(text, &end, 10);
  if (end == text || *end != L'\0') return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

}  // namespace

int runRecorded(int argc, wchar_t** wide, char** argv) {
  if (argc != 3 + kUpgradeArguments) {
    std::fprintf(stderr,
                 "usage: %s --record FILE LIBRARY DEVICE_PATH UPDATE_FILE "
                 "VERSION BFORCE BUPDATE\n",
                 argv[0]);
    return 2;
  }
  std::wstring recordingFile = fullPath(wide[2]);
  std::wstring library = fullPath(wide[3]);
  if (recordingFile.empty() || library.empty()) {
    std::fprintf(stderr, "error: the recording or library path is too long\n");
    return kExitNotRecorded;
  }
  if (!exists(recorderPath())) {
    std::fprintf(stderr, "error: the recorder %ls is not beside the runner\n",
                 recorderPath().c_str());
    return kExitNotRecorded;
  }
  HANDLE recording = startRecording(recordingFile);
  if (recording == INVALID_HANDLE_VALUE) return kExitNotRecorded;
  std::wstring commandLine =
      quoted(thisProgram()) + L" " +
      std::wstring(kRecordingChildOption,
                   kRecordingChildOption + sizeof kRecordingChildOption - 1) +
      L" " +
      std::to_wstring(reinterpret_cast<uintptr_t>(recording)) + L" " +
      quoted(library);
  for (int i = 4; i < argc; ++i) commandLine += L" " + quoted(wide[i]);
  DWORD exitCode = kExitNotRecorded;
  bool ran = runChild(commandLine, &exitCode);
  CloseHandle(recording);
  if (!ran) return kExitNotRecorded;
  std::printf("recording: %ls (it holds the device's serial number and "
              "interface paths)\n",
              recordingFile.c_str());
  return static_cast<int>(exitCode);
}

bool startRecordingChild(const wchar_t* handleText, const wchar_t* library) {
  HANDLE recording = parseHandle(handleText);
  if (GetFileType(recording) != FILE_TYPE_DISK) {
    std::fprintf(stderr, "error: %ls is not the handle of a recording\n",
                 handleText);
    return false;
  }
  std::wstring recorder = recorderPath();
  // By its full path; its own imports only from the system folder.
  HMODULE module = LoadLibraryExW(recorder.c_str(), nullptr,
                                  LOAD_LIBRARY_SEARCH_SYSTEM32);
  auto start = module == nullptr
                   ? nullptr
                   : reinterpret_cast<StartRecordingFunction>(
                         reinterpret_cast<void*>(GetProcAddress(
                             module, kStartRecordingExportName)));
  if (start == nullptr) {
    std::fprintf(stderr, "error: cannot load the recorder %ls (error %lu)\n",
                 recorder.c_str(), GetLastError());
    return false;
  }
  std::wstring real = realLibraryPath(fullPath(library));
  if (real.empty() || !start(recording, real.c_str())) {
    std::fprintf(stderr, "error: the recorder %ls did not start\n",
                 recorder.c_str());
    return false;
  }
  childRecording = recording;
  // By its full path: a module of the same name, the recorder, is loaded.
  childRealAdbWinApi = LoadLibraryExW(real.c_str(), nullptr,
                                      LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
                                          LOAD_LIBRARY_SEARCH_SYSTEM32);
  return true;
}

HMODULE realAdbWinApiWhileRecording() { return childRealAdbWinApi; }

void noteRecordedRun(const std::wstring& devicePath, const char* updateFile,
                     const char* version, uint8_t bForce, uint8_t bUpdate) {
  if (childRecording == INVALID_HANDLE_VALUE) return;
  std::vector<uint16_t> units(devicePath.begin(), devicePath.end());
  auto bytes = [](const char* text) {
    return recording::escapeBytes(reinterpret_cast<const uint8_t*>(text),
                                  std::strlen(text));
  };
  char flags[32];
  std::snprintf(flags, sizeof flags, " bforce=%u bupdate=%u\n", bForce,
                bUpdate);
  writeAll(childRecording,
           std::string(recording::kRunWord) + " device_path=" +
               recording::escapeText(units.data(), units.size()) +
               " update_file=" + bytes(updateFile) +
               " version=" + bytes(version) + flags);
}
