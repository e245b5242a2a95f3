// The runner's folder as a support engineer lays it out on a PC, made afresh
// for a test: the runner, the upgrade library and the recorder's folder
// copied from the build's bin, and the virtual device as the AdbWinApi.dll
// beside them (on a PC, the real one). The build keeps the virtual device out
// of bin, so a runner started from there has no AdbWinApi.dll of its own.
#ifndef VELUNOR_TESTING_RUNNER_FOLDER_H_
#define VELUNOR_TESTING_RUNNER_FOLDER_H_

#include <windows.h>

#include <string>
#include <vector>

class RunnerFolder {
 public:
  // A folder of its own in the temporary folder, unique to this process.
  RunnerFolder();
  // Deletes the copies and the folders.
  ~RunnerFolder();
  RunnerFolder(const RunnerFolder&) = delete;
  RunnerFolder& operator=(const RunnerFolder&) = delete;

  // Whether every file was copied.
  bool made() const { return made_; }
  // The folder, with its trailing backslash.
  const std::wstring& path() const { return path_; }
  // A file in it: "upgrade_runner.exe", "velunorUpdateExport.dll",
  // "AdbWinApi.dll" (the virtual device), "recorder\AdbWinApi.dll".
  std::wstring file(const wchar_t* name) const { return path_ + name; }

 private:
  bool copy(const std::wstring& from, const wchar_t* name);

  std::wstring path_;
  std::vector<std::wstring> copies_;
  bool made_ = false;
};

// Starts `program` (empty: the first word of `line`) with the command line
// `line`, inheriting handles, as from
// a prompt that is not elevated: with the limited token linked to this
// process's elevated one (Wine runs every program elevated, where the runner
// checks its folders). False when it cannot be started.
bool startUnelevated(const std::wstring& program, std::wstring line,
                     STARTUPINFOW* startup, PROCESS_INFORMATION* process);

#endif  // VELUNOR_TESTING_RUNNER_FOLDER_H_
