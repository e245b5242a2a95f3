// Where an elevated runner stands. It loads the upgrade library from a path
// on its command line, AdbWinApi.dll beside it, and the recorder from the
// folder `recorder` beside itself: elevated, it does so only when nobody but
// SYSTEM, the Administrators and TrustedInstaller can change those files, the
// folders that hold them, and the folders above (common/file_holding.h).
#ifndef VELUNOR_TOOLS_RUNNER_FOLDER_TRUST_H_
#define VELUNOR_TOOLS_RUNNER_FOLDER_TRUST_H_

// The runner's exit code when it refuses to run elevated from where it is.
constexpr int kExitUntrustedFolder = 11;

// Whether this process runs with an elevated token.
bool runsElevated();

// Called first in the runner's main with its arguments: when it runs
// elevated, checks its own folder, `recorder\`, the upgrade library named on
// the command line, the folder that holds it, and every folder above them.
// False, after saying on stderr which one and why, when one fails.
bool runnerFoldersTrusted(int argc, wchar_t** wide);

#endif  // VELUNOR_TOOLS_RUNNER_FOLDER_TRUST_H_
