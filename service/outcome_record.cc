#include "service/outcome_record.h"

#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/event_report.h"
#include "common/unique_handle.h"
#include "common/upgrade_contract.h"
#include "service/registry_key.h"

namespace {

// CreateFile says "none" with INVALID_HANDLE_VALUE, which cannot be a
// constant here; the owner takes null for it instead.
struct FileTraits {
  using Handle = HANDLE;
  static constexpr Handle kNone = nullptr;
  static void close(Handle file) { CloseHandle(file); }
};
using File = UniqueHandle<FileTraits>;

File openToRead(const char* path) {
  HANDLE file = CreateFileA(
      path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  return File(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

struct CryptProviderTraits {
  using Handle = HCRYPTPROV;
  static constexpr Handle kNone = 0;
  static void close(Handle provider) { CryptReleaseContext(provider, 0); }
};
struct CryptHashTraits {
  using Handle = HCRYPTHASH;
  static constexpr Handle kNone = 0;
  static void close(Handle hash) { CryptDestroyHash(hash); }
};

constexpr size_t kRecordPathUnits = 128;
constexpr size_t kDigestBytes = 32;
constexpr DWORD kDigestReadBytes = 64 * 1024;
constexpr size_t kStateUnits = 32;
// "2026-12-09T11:40:05Z" and its NUL.
constexpr size_t kTimeUnits = 21;

// The first failure of a record's update, reported once.
class RecordWrite {
 public:
  void note(LSTATUS status) {
    if (status != ERROR_SUCCESS && failure_ == ERROR_SUCCESS) failure_ = status;
  }
  // A value that is not there is already gone.
  void noteRemoval(LSTATUS status) {
    if (status != ERROR_FILE_NOT_FOUND) note(status);
  }
  ~RecordWrite() {
    if (failure_ == ERROR_SUCCESS) return;
    reportEventFormat(EVENTLOG_ERROR_TYPE, "write outcome record fail: %d",
                      static_cast<int>(failure_));
  }

 private:
  LSTATUS failure_ = ERROR_SUCCESS;
};

bool recordPath(const wchar_t* familyKey, wchar_t (&path)[kRecordPathUnits]) {
  size_t family = std::wcslen(familyKey);
  size_t name = std::wcslen(kOutcomeKeyName);
  if (family + 1 + name >= kRecordPathUnits) return false;
  std::wmemcpy(path, familyKey, family);
  path[family] = L'\\';
  std::wmemcpy(path + family + 1, kOutcomeKeyName, name + 1);
  return true;
}

// The record's key, created with the family's key when either is missing.
LSTATUS openRecord(const wchar_t* familyKey, RegistryKey* key) {
  wchar_t path[kRecordPathUnits];
  if (!recordPath(familyKey, path)) return ERROR_BUFFER_OVERFLOW;
  return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr,
                         REG_OPTION_NON_VOLATILE,
                         KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                         key->receive(), nullptr);
}

LSTATUS setText(HKEY key, const wchar_t* name, const wchar_t* text) {
  return RegSetValueExW(
      key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
      static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t)));
}

// The settings' texts go back as they were read: in the ANSI code page.
LSTATUS setNarrowText(HKEY key, const char* name, const char* text) {
  return RegSetValueExA(key, name, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(std::strlen(text) + 1));
}

LSTATUS setNumber(HKEY key, const wchar_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&value), sizeof value);
}

DWORD attemptsSoFar(HKEY key) {
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof value;
  if (RegQueryValueExW(key, kOutcomeAttempts, nullptr, &type,
                       reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD) {
    return 0;
  }
  return value;
}

bool stateIs(HKEY key, const wchar_t* expected) {
  wchar_t state[kStateUnits] = {};
  DWORD size = sizeof state - sizeof(wchar_t);
  DWORD type = 0;
  return RegQueryValueExW(key, kOutcomeState, nullptr, &type,
                          reinterpret_cast<BYTE*>(state),
                          &size) == ERROR_SUCCESS &&
         type == REG_SZ && std::wcscmp(state, expected) == 0;
}

// `state` and the moment it changed, in UTC to the second.
void setState(HKEY key, const wchar_t* state, RecordWrite* write) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  wchar_t time[kTimeUnits];
  swprintf(time, kTimeUnits, L"%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear,
           now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
  write->note(setText(key, kOutcomeTime, time));
  // Last, so that a reader never sees the new state with the old try's
  // values.
  write->note(setText(key, kOutcomeState, state));
}

bool hashFile(HANDLE file, HCRYPTHASH hash) {
  BYTE buffer[kDigestReadBytes];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &read, nullptr)) return false;
    if (read == 0) return true;
    if (!CryptHashData(hash, buffer, read, 0)) return false;
  }
}

}  // namespace

ImageDigest digestOfFile(const char* path) {
  ImageDigest digest = {};
  File file = openToRead(path);
  if (!file) return digest;
  UniqueHandle<CryptProviderTraits> provider;
  if (!CryptAcquireContextW(provider.receive(), nullptr, nullptr,
                            PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    return digest;
  }
  UniqueHandle<CryptHashTraits> hash;
  if (!CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.receive()) ||
      !hashFile(file.get(), hash.get())) {
    return digest;
  }
  BYTE value[kDigestBytes];
  DWORD size = sizeof value;
  if (!CryptGetHashParam(hash.get(), HP_HASHVAL, value, &size, 0) ||
      size != sizeof value) {
    return digest;
  }
  for (size_t i = 0; i < kDigestBytes; ++i) {
    snprintf(digest.hex + 2 * i, 3, "%02x", value[i]);
  }
  return digest;
}

void recordUpgradeStart(const OutcomeTry& attempt) {
  RecordWrite write;
  RegistryKey key;
  LSTATUS opened = openRecord(attempt.familyKey, &key);
  write.note(opened);
  if (opened != ERROR_SUCCESS) return;
  write.note(setNumber(key.get(), kOutcomeAttempts,
                       attemptsSoFar(key.get()) + 1));
  write.note(setText(key.get(), kOutcomeDevice, attempt.devicePath));
  write.note(setNarrowText(key.get(), kOutcomeUpdateFile, attempt.updateFile));
  write.note(setNarrowText(key.get(), kOutcomeVersion, attempt.version));
  write.noteRemoval(RegDeleteValueW(key.get(), kOutcomeResult));
  write.noteRemoval(RegDeleteValueW(key.get(), kOutcomeImage));
  setState(key.get(), kStateUpgrading, &write);
}

const wchar_t* outcomeStateOf(int32_t result) {
  switch (result) {
    case kUpgradeSucceeded:
      return kStateUpgraded;
    case kUpgradeDeviceWentAway:
      return kStateDeviceWentAway;
    default:
      return kStateFailed;
  }
}

void recordUpgradeEnd(const OutcomeTry& attempt, const wchar_t* state,
                      int32_t result, const ImageDigest& image) {
  RecordWrite write;
  RegistryKey key;
  LSTATUS opened = openRecord(attempt.familyKey, &key);
  write.note(opened);
  if (opened != ERROR_SUCCESS) return;
  write.note(setNumber(key.get(), kOutcomeResult, static_cast<DWORD>(result)));
  if (image.hex[0] != 0) {
    wchar_t text[sizeof image.hex];
    for (size_t i = 0; i < sizeof image.hex; ++i) {
      text[i] = static_cast<wchar_t>(image.hex[i]);
    }
    write.note(setText(key.get(), kOutcomeImage, text));
  }
  setState(key.get(), state, &write);
}

void recordKilledUpgrade(const wchar_t* familyKey) {
  RecordWrite write;
  RegistryKey key;
  LSTATUS opened = openRecord(familyKey, &key);
  write.note(opened);
  if (opened != ERROR_SUCCESS || !stateIs(key.get(), kStateUpgrading)) return;
  write.noteRemoval(RegDeleteValueW(key.get(), kOutcomeResult));
  setState(key.get(), kStateDeviceWentAway, &write);
}
