// Where an elevated runner stands. It loads the upgrade library from a path
// on its command line, AdbWinApi.dll beside it, and the recorder from the
// folder `recorder` beside itself: elevated, it does so only when nobody but
// SYSTEM, the Administrators and TrustedInstaller can change those files, the
// folders that hold them, and the folders above.
#ifndef VELUNOR_TOOLS_RUNNER_FOLDER_TRUST_H_
#define VELUNOR_TOOLS_RUNNER_FOLDER_TRUST_H_

#include <windows.h>

#include <string>

// The runner's exit code when it refuses to run elevated from where it is.
constexpr int kExitUntrustedFolder = 11;

// How a file or folder is held.
enum class Holding {
  kTrusted,
  kForeignOwner,    // owned by someone else: an owner can rewrite the rights
  kOthersMayChange, // someone else is granted a right that changes it
  kNoAccessList,    // no access list: everybody may do anything
  kUnreadable,      // not there, or its descriptor cannot be read
};

struct HoldingVerdict {
  Holding holding;
  std::wstring who;  // the owner or the account granted a right, as a SID
  DWORD error = 0;   // kUnreadable: why
};

// Which rights count. What the runner loads, and the folders that hold it,
// must give nobody else the right to write, append, delete, change the
// rights or take ownership. A folder above them only must not let anybody
// else delete or rename what it holds, nor change its own rights or owner:
// adding an entry to it replaces nothing (the root of a Windows drive lets
// every user create folders in it).
enum class Place { kLoadedFrom, kAbove };

// The verdict on a descriptor (its owner and access list).
HoldingVerdict judgeDescriptor(PSECURITY_DESCRIPTOR descriptor, Place place);

// The verdict on the file or folder at `path`, through a handle opened
// without following a reparse point at its end.
HoldingVerdict judgePath(const std::wstring& path, Place place);

// The path of the open file or folder, every link resolved, in the form
// "C:\..." or "\\server\share\..."; empty, with the last error set, when
// Windows cannot tell it.
std::wstring finalPathOfHandle(HANDLE file);

// Whether this process runs with an elevated token.
bool runsElevated();

// Called first in the runner's main with its arguments: when it runs
// elevated, checks its own folder, `recorder\`, the upgrade library named on
// the command line, the folder that holds it, and every folder above them.
// False, after saying on stderr which one and why, when one fails.
bool runnerFoldersTrusted(int argc, wchar_t** wide);

#endif  // VELUNOR_TOOLS_RUNNER_FOLDER_TRUST_H_
