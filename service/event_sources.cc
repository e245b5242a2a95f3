#include "service/event_sources.h"

#include <cwchar>

#include "common/event_report.h"
#include "service/device_family.h"
#include "service/registry_key.h"
#include "service/service_identity.h"

namespace {

const wchar_t* const kSources[] = {kServiceName, kLibraryEventSource};

constexpr size_t kSourceKeyUnits = 128;

// "...\Application\<source>"; the names are ours and fit.
void sourceKeyPath(const wchar_t* source,
                   wchar_t (&path)[kSourceKeyUnits]) {
  swprintf(path, kSourceKeyUnits, L"%ls\\%ls", kApplicationLogKey, source);
}

LSTATUS writeSource(const wchar_t* source, const wchar_t* messageFile) {
  wchar_t path[kSourceKeyUnits];
  sourceKeyPath(source, path);
  HKEY opened = nullptr;
  LSTATUS status =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, &opened, nullptr);
  if (status != ERROR_SUCCESS) return status;
  RegistryKey key(opened);
  DWORD fileBytes =
      static_cast<DWORD>((std::wcslen(messageFile) + 1) * sizeof(wchar_t));
  status = RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(messageFile),
                          fileBytes);
  if (status != ERROR_SUCCESS) return status;
  return RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&kEventTypesSupported),
                        sizeof kEventTypesSupported);
}

bool anyFamilyInstalled() {
  for (size_t i = 0; i < kFamilyCount; ++i) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, familyAt(i).registryKey, 0,
                      KEY_QUERY_VALUE, &opened) == ERROR_SUCCESS) {
      RegCloseKey(opened);
      return true;
    }
  }
  return false;
}

}  // namespace

bool registerEventSources() {
  wchar_t messageFile[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, messageFile, MAX_PATH);
  // A cut path would name some other file.
  LSTATUS status = length == 0 || length >= MAX_PATH
                       ? static_cast<LSTATUS>(ERROR_INSUFFICIENT_BUFFER)
                       : ERROR_SUCCESS;
  for (const wchar_t* source : kSources) {
    if (status == ERROR_SUCCESS) status = writeSource(source, messageFile);
  }
  if (status == ERROR_SUCCESS) return true;
  reportEventFormat(EVENTLOG_ERROR_TYPE, "register event sources fail: %ld",
                    static_cast<long>(status));
  return false;
}

void removeEventSourcesWithoutFamily() {
  if (anyFamilyInstalled()) return;
  for (const wchar_t* source : kSources) {
    wchar_t path[kSourceKeyUnits];
    sourceKeyPath(source, path);
    LSTATUS status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
      reportEventFormat(EVENTLOG_ERROR_TYPE, "remove event sources fail: %ld",
                        static_cast<long>(status));
      return;
    }
  }
}
