// The package's check of its install folder, run before anything is
// installed (a custom action in the package's Binary table). The service
// program runs as LocalSystem from INSTALLDIR: a folder that a user made, or
// may write, or one below a folder that lets a user rename or replace what
// it holds, would let him replace the program. Such an INSTALLDIR is refused
// with a message that says why. The default, below Program Files, is Windows'
// own folder, which only administrators may change: it installs as ever.
#include <windows.h>
// After windows.h, which they build on.
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "common/file_holding.h"

namespace {

constexpr wchar_t kDefaultFolder[] = L"Velunor Update\\";

std::wstring property(MSIHANDLE install, const wchar_t* name) {
  wchar_t none[1] = L"";
  DWORD size = 0;
  if (MsiGetPropertyW(install, name, none, &size) != ERROR_MORE_DATA) {
    return std::wstring();
  }
  std::wstring value(++size, L'\0');
  if (MsiGetPropertyW(install, name, &value[0], &size) != ERROR_SUCCESS) {
    return std::wstring();
  }
  value.resize(size);
  return value;
}

bool sameText(const std::wstring& one, const std::wstring& other) {
  return CompareStringOrdinal(one.c_str(), static_cast<int>(one.size()),
                              other.c_str(), static_cast<int>(other.size()),
                              TRUE) == CSTR_EQUAL;
}

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The first folder, from `folder` up, that fails, and why; empty when none.
std::wstring firstUntrusted(const std::wstring& folder, std::wstring* path) {
  // An existing install folder may hold files planted beside the program:
  // nobody else may have been able to write to it. A folder still to be
  // made is made by the installer, as LocalSystem.
  Place place = Place::kLoadedFrom;
  for (std::wstring current = folder; !current.empty();
       current = folderAbove(current), place = Place::kAbove) {
    if (!exists(current)) continue;
    HoldingVerdict verdict = judgePath(current, place);
    if (verdict.holding == Holding::kTrusted) continue;
    verdict.who = namedAccount(verdict.who);
    *path = current;
    return describeHolding(verdict, place);
  }
  return std::wstring();
}

void reportError(MSIHANDLE install, const std::wstring& text) {
  MSIHANDLE record = MsiCreateRecord(0);
  if (record == 0) return;
  MsiRecordSetStringW(record, 0, text.c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_ERROR, record);
  MsiCloseHandle(record);
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckInstallFolder(
    MSIHANDLE install) {
  std::wstring folder = property(install, L"INSTALLDIR");
  if (folder.empty() ||
      sameText(folder, property(install, L"ProgramFiles64Folder") +
                           kDefaultFolder)) {
    return ERROR_SUCCESS;
  }
  if (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
  std::wstring path;
  std::wstring reason = firstUntrusted(folder, &path);
  if (reason.empty()) return ERROR_SUCCESS;
  reportError(install,
              L"INSTALLDIR " + folder + L" refused: " + path + L" " + reason +
                  L". A user could replace the service program, which runs "
                  L"as LocalSystem. Install into the default folder under "
                  L"Program Files, or into a folder that only SYSTEM, "
                  L"Administrators and TrustedInstaller can change.");
  return ERROR_INSTALL_FAILURE;
}
