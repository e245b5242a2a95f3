// The recorder's one export of its own, beside the AdbWinApi calls it stands
// in for. The runner's recording child calls it right after loading the
// recorder by its full path, before the upgrade library is loaded: from then
// on the recorder writes to `recording`, a file the parent runner opened and
// the child inherited (never a file named by anyone else), and forwards to
// the AdbWinApi.dll at `realLibrary`, a full path. Returns false when it has
// started already.
#ifndef VELUNOR_TOOLS_RECORDER_RECORDER_START_H_
#define VELUNOR_TOOLS_RECORDER_RECORDER_START_H_

#include <windows.h>

constexpr char kStartRecordingExportName[] = "velunorStartRecording";
using StartRecordingFunction = bool (*)(HANDLE recording,
                                        const wchar_t* realLibrary);

#endif  // VELUNOR_TOOLS_RECORDER_RECORDER_START_H_
