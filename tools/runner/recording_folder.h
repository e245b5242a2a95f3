// `upgrade_runner --record FILE ...`: one upgrade whose USB session is
// written to FILE. The library's imports come from its own folder first, so
// the runner copies the library into a temporary folder with the recorder
// (usb_recorder.dll, beside the runner) as its AdbWinApi.dll, runs the
// upgrade with that copy in a child runner, and deletes the folder when the
// child has ended, however it ended.
#ifndef VELUNOR_TOOLS_RUNNER_RECORDING_FOLDER_H_
#define VELUNOR_TOOLS_RUNNER_RECORDING_FOLDER_H_

#include <windows.h>

#include <cstdint>
#include <string>

constexpr char kRecordOption[] = "--record";
// The recording's folder could not be made or the child not started.
constexpr int kExitNotRecorded = 7;

// argv: the program, "--record", FILE, then the six arguments of an upgrade.
// Returns the child runner's exit code, or kExitNotRecorded.
int runRecorded(int argc, wchar_t** wide, char** argv);

// In the child runner of a recorded upgrade: the real AdbWinApi.dll the
// recorder forwards to, so that the runner's own device list and watch reach
// the device without going into the recording. Null in any other run.
HMODULE realAdbWinApiWhileRecording();

// In the child runner of a recorded upgrade: writes what is run (device path,
// update file, version, flags) into the recording, before the library's first
// call. Nothing in any other run.
void noteRecordedRun(const std::wstring& devicePath, const char* updateFile,
                     const char* version, uint8_t bForce, uint8_t bUpdate);

#endif  // VELUNOR_TOOLS_RUNNER_RECORDING_FOLDER_H_
