// `upgrade_runner --record FILE ...`: one upgrade whose USB session is
// written to FILE. The runner opens FILE and runs the upgrade in a child
// runner that inherits its handle. The child loads the recorder by its full
// path from the folder `recorder` beside the runner, where it is stored as
// AdbWinApi.dll, and only then the upgrade library, whose import of
// AdbWinApi.dll Windows binds to the module of that name already loaded. No
// file is copied anywhere, and no path comes from the environment: the runner
// runs elevated, and a user without administrator rights may write to the
// temporary folder and to the environment of his later elevated processes.
#ifndef VELUNOR_TOOLS_RUNNER_RECORDED_RUN_H_
#define VELUNOR_TOOLS_RUNNER_RECORDED_RUN_H_

#include <windows.h>

#include <cstdint>
#include <string>

constexpr char kRecordOption[] = "--record";
// The child's first argument, followed by the recording's handle and then
// the six arguments of an upgrade.
constexpr char kRecordingChildOption[] = "--recording-child";
// The recording could not be made, the recorder not loaded or the child not
// started.
constexpr int kExitNotRecorded = 7;

// argv: the program, "--record", FILE, then the six arguments of an upgrade.
// Returns the child runner's exit code, or kExitNotRecorded.
int runRecorded(int argc, wchar_t** wide, char** argv);

// In the child, before anything else is loaded: takes over the inherited
// recording `handleText` and loads the recorder in front of the AdbWinApi.dll
// that `library` would bind. False, with a message, when it cannot.
bool startRecordingChild(const wchar_t* handleText, const wchar_t* library);

// In the child runner of a recorded upgrade: the real AdbWinApi.dll the
// recorder forwards to, so that the runner's own device list and watch reach
// the device without going into the recording. Null in any other run.
HMODULE realAdbWinApiWhileRecording();

// In the child runner of a recorded upgrade: writes what is run (device path,
// update file, version, flags) into the recording, before the library's first
// call. Nothing in any other run.
void noteRecordedRun(const std::wstring& devicePath, const char* updateFile,
                     const char* version, uint8_t bForce, uint8_t bUpdate);

#endif  // VELUNOR_TOOLS_RUNNER_RECORDED_RUN_H_
