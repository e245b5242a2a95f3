// Who may change a file or folder, read from its security descriptor: what
// is loaded or run with more rights than its user's must be owned by SYSTEM,
// the Administrators or TrustedInstaller, and nobody else may change it.
#ifndef VELUNOR_COMMON_FILE_HOLDING_H_
#define VELUNOR_COMMON_FILE_HOLDING_H_

#include <windows.h>

#include <string>

// How a file or folder is held.
enum class Holding {
  kTrusted,
  kForeignOwner,     // owned by someone else: an owner can rewrite the rights
  kOthersMayChange,  // someone else is granted a right that changes it
  kNoAccessList,     // no access list: everybody may do anything
  kUnreadable,       // not there, or its descriptor cannot be read
};

struct HoldingVerdict {
  Holding holding;
  std::wstring who;  // the owner or the account granted a right, as a SID
  DWORD error = 0;   // kUnreadable: why
};

// Which rights count. What is loaded, and the folders that hold it, must
// give nobody else the right to write, append, delete, change the rights or
// take ownership. A folder above them only must not let anybody else delete
// or rename what it holds, nor change its own rights or owner: adding an
// entry to it replaces nothing (the root of a Windows drive lets every user
// create folders in it).
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

// The folder that holds `path` ("C:\a\b" gives "C:\a", "C:\a" gives
// "C:\"), or empty at the root of a drive or share.
std::wstring folderAbove(const std::wstring& path);

// `verdict` in words, after the path it is about: "is owned by ...".
std::wstring describeHolding(const HoldingVerdict& verdict, Place place);

// The SID with the account's name where Windows knows it.
std::wstring namedAccount(const std::wstring& sid);

#endif  // VELUNOR_COMMON_FILE_HOLDING_H_
