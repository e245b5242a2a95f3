#include "tools/runner/recording_folder.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/recorder/recording_format.h"

namespace {

constexpr wchar_t kRecordingVariable[] = L"VELUNOR_RECORDING";
constexpr wchar_t kForwardVariable[] = L"VELUNOR_RECORDER_FORWARD_TO";
constexpr wchar_t kRecorderFile[] = L"usb_recorder.dll";
constexpr int kUpgradeArguments = 6;

std::wstring environment(const wchar_t* name) {
  wchar_t value[MAX_PATH * 2];
  DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) return std::wstring();
  return std::wstring(value, length);
}

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

// The same choice the recorder makes.
std::wstring realLibraryPath() {
  std::wstring chosen = environment(kForwardVariable);
  if (!chosen.empty()) return chosen;
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

// The temporary folder with the library's copy and the recorder beside it.
class RecordingFolder {
 public:
  ~RecordingFolder() {
    for (const std::wstring& file : files_) DeleteFileW(file.c_str());
    if (!path_.empty()) RemoveDirectoryW(path_.c_str());
  }

  bool prepare(const std::wstring& library) {
    std::wstring recorder = folderOf(thisProgram()) + kRecorderFile;
    if (GetFileAttributesW(recorder.c_str()) == INVALID_FILE_ATTRIBUTES) {
      std::fprintf(stderr, "error: the recorder %ls is not beside the runner\n",
                   recorder.c_str());
      return false;
    }
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH) return failed("no temporary folder");
    wchar_t name[64];
    std::swprintf(name, 64, L"velunor_record_%lu_%llu", GetCurrentProcessId(),
                  static_cast<unsigned long long>(GetTickCount64()));
    std::wstring folder = std::wstring(temp, length) + name;
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
      return failed("cannot make the recording folder");
    }
    path_ = folder;
    std::wstring copy = folder + L"\\" + library.substr(library.find_last_of(L'\\') + 1);
    return place(library, copy) &&
           place(recorder, folder + L"\\AdbWinApi.dll") &&
           (library_ = copy, true);
  }

  const std::wstring& library() const { return library_; }

 private:
  bool place(const std::wstring& from, const std::wstring& to) {
    if (!CopyFileW(from.c_str(), to.c_str(), TRUE)) {
      std::fprintf(stderr, "error: cannot copy %ls to %ls (error %lu)\n",
                   from.c_str(), to.c_str(), GetLastError());
      return false;
    }
    files_.push_back(to);
    return true;
  }

  bool failed(const char* what) {
    std::fprintf(stderr, "error: %s (error %lu)\n", what, GetLastError());
    return false;
  }

  std::wstring path_;
  std::wstring library_;
  std::vector<std::wstring> files_;
};

// A new recording with its version line; an earlier one is never written
// over.
bool startRecording(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr,
                 "error: cannot make the recording %ls (error %lu); an "
                 "existing file is not written over\n",
                 path.c_str(), GetLastError());
    return false;
  }
  std::string line = std::string(recording::kVersionLine) + "\n";
  DWORD written = 0;
  bool ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()),
                      &written, nullptr) &&
            written == line.size();
  CloseHandle(file);
  return ok;
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
  RecordingFolder folder;
  if (!folder.prepare(library) || !startRecording(recordingFile)) {
    return kExitNotRecorded;
  }
  std::wstring commandLine = quoted(thisProgram()) + L" " + quoted(folder.library());
  for (int i = 4; i < argc; ++i) commandLine += L" " + quoted(wide[i]);
  SetEnvironmentVariableW(kRecordingVariable, recordingFile.c_str());
  DWORD exitCode = kExitNotRecorded;
  bool ran = runChild(commandLine, &exitCode);
  SetEnvironmentVariableW(kRecordingVariable, nullptr);
  if (!ran) return kExitNotRecorded;
  std::printf("recording: %ls (it holds the device's serial number and "
              "interface paths)\n",
              recordingFile.c_str());
  return static_cast<int>(exitCode);
}

HMODULE realAdbWinApiWhileRecording() {
  if (environment(kRecordingVariable).empty()) return nullptr;
  std::wstring real = realLibraryPath();
  return real.empty() ? nullptr : LoadLibraryW(real.c_str());
}

void noteRecordedRun(const std::wstring& devicePath, const char* updateFile,
                     const char* version, uint8_t bForce, uint8_t bUpdate) {
  std::wstring path = environment(kRecordingVariable);
  if (path.empty()) return;
  FILE* file = _wfopen(path.c_str(), L"ab");
  if (file == nullptr) return;
  std::vector<uint16_t> units(devicePath.begin(), devicePath.end());
  auto bytes = [](const char* text) {
    return recording::escapeBytes(reinterpret_cast<const uint8_t*>(text),
                                  std::strlen(text));
  };
  std::fprintf(file, "%s device_path=%s update_file=%s version=%s bforce=%u "
               "bupdate=%u\n",
               recording::kRunWord,
               recording::escapeText(units.data(), units.size()).c_str(),
               bytes(updateFile).c_str(), bytes(version).c_str(), bForce,
               bUpdate);
  std::fclose(file);
}
