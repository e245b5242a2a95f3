#include "service/outcome_record.h"

#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/event_report.h"
#include "common/unique_handle.h"
#include "common/upgrade_contract.h"
#include "service/device_identity.h"
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

constexpr size_t kRecordPathUnits = 128 + kIdentityUnits;
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

// `familyKey`\Outcome, and \Devices\`identity` behind it unless null.
bool recordPath(const wchar_t* familyKey, const wchar_t* identity,
                wchar_t (&path)[kRecordPathUnits]) {
  int length =
      identity == nullptr
          ? swprintf(path, kRecordPathUnits, L"%ls\\%ls", familyKey,
                     kOutcomeKeyName)
          : swprintf(path, kRecordPathUnits, L"%ls\\%ls\\%ls\\%ls",
                     familyKey, kOutcomeKeyName, kOutcomeDevicesKeyName,
                     identity);
  return length > 0 && static_cast<size_t>(length) < kRecordPathUnits;
}

// The record's key (or a device's entry), created with the keys above it
// when any is missing.
LSTATUS openRecord(const wchar_t* familyKey, RegistryKey* key,
                   const wchar_t* identity = nullptr) {
  wchar_t path[kRecordPathUnits];
  if (!recordPath(familyKey, identity, path)) return ERROR_BUFFER_OVERFLOW;
  return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr,
                         REG_OPTION_NON_VOLATILE,
                         KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                         key->receive(), nullptr);
}

// Read only: a look creates nothing.
bool openToLook(const wchar_t* familyKey, const wchar_t* identity,
                RegistryKey* key) {
  wchar_t path[kRecordPathUnits];
  return recordPath(familyKey, identity, path) &&
         RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE,
                       key->receive()) == ERROR_SUCCESS;
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

// A text value of at most `units` - 1 units, stored with or without its
// NUL; empty when absent, longer, or not text.
template <size_t units>
void readText(HKEY key, const wchar_t* name, wchar_t (&text)[units]) {
  std::wmemset(text, 0, units);
  DWORD size = units * sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type,
                       reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
      type != REG_SZ || wcsnlen(text, units) == units) {
    std::wmemset(text, 0, units);
  }
}

bool readNumber(HKEY key, const wchar_t* name, DWORD* value) {
  DWORD type = 0;
  DWORD size = sizeof *value;
  return RegQueryValueExW(key, name, nullptr, &type,
                          reinterpret_cast<BYTE*>(value),
                          &size) == ERROR_SUCCESS &&
         type == REG_DWORD;
}

bool stateIs(HKEY key, const wchar_t* expected) {
  wchar_t state[kStateUnits];
  readText(key, kOutcomeState, state);
  return std::wcscmp(state, expected) == 0;
}

bool isFinished(const wchar_t* state) {
  return std::wcscmp(state, kStateUpgraded) == 0 ||
         std::wcscmp(state, kStateStarted) == 0 ||
         std::wcscmp(state, kStateFailed) == 0;
}

// The digest as the record holds it; false for an empty one.
bool digestText(const ImageDigest& image, wchar_t (&text)[sizeof image.hex]) {
  for (size_t i = 0; i < sizeof image.hex; ++i) {
    text[i] = static_cast<wchar_t>(image.hex[i]);
  }
  return text[0] != 0;
}

// The first step of an update that changes the values `state` stands for.
void withdrawState(HKEY key, RecordWrite* write) {
  write->noteRemoval(RegDeleteValueW(key, kOutcomeState));
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

void setResult(HKEY key, int32_t result, RecordWrite* write) {
  write->note(setNumber(key, kOutcomeResult, static_cast<DWORD>(result)));
}

// A device's entry, to write; false after the error event when it cannot be
// opened, and quietly for a device without an identity.
bool openEntry(const wchar_t* familyKey, const wchar_t* devicePath,
               RegistryKey* key, RecordWrite* write) {
  DeviceIdentity identity = identityOf(devicePath);
  if (identity.text[0] == 0) return false;
  LSTATUS opened = openRecord(familyKey, key, identity.text);
  write->note(opened);
  return opened == ERROR_SUCCESS;
}

// The entry's final state after the library returned `result`: a device
// that crossed the line never went away with nothing changed.
void finishEntry(const OutcomeTry& attempt, int32_t result) {
  RecordWrite write;
  RegistryKey key;
  if (!openEntry(attempt.familyKey, attempt.devicePath, &key, &write)) return;
  if (result == kUpgradeDeviceWentAway) result = kUpgradeStartUnconfirmed;
  // The image too: the start notice may not have come (a library that does
  // not give it), or its entry may not have been written.
  wchar_t image[sizeof attempt.image.hex];
  digestText(attempt.image, image);
  withdrawState(key.get(), &write);
  write.note(setText(key.get(), kOutcomeImage, image));
  setResult(key.get(), result, &write);
  setState(key.get(), outcomeStateOf(result), &write);
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
  withdrawState(key.get(), &write);
  write.note(setNumber(key.get(), kOutcomeAttempts,
                       attemptsSoFar(key.get()) + 1));
  write.note(setText(key.get(), kOutcomeDevice, attempt.devicePath));
  write.note(setNarrowText(key.get(), kOutcomeUpdateFile, attempt.updateFile));
  write.note(setNarrowText(key.get(), kOutcomeVersion, attempt.version));
  write.noteRemoval(RegDeleteValueW(key.get(), kOutcomeResult));
  wchar_t image[sizeof attempt.image.hex];
  if (digestText(attempt.image, image)) {
    write.note(setText(key.get(), kOutcomeImage, image));
  } else {
    write.noteRemoval(RegDeleteValueW(key.get(), kOutcomeImage));
  }
  setState(key.get(), kStateUpgrading, &write);
}

void recordStartRequest(const OutcomeTry& attempt) {
  wchar_t image[sizeof attempt.image.hex];
  if (!digestText(attempt.image, image)) return;
  RecordWrite write;
  RegistryKey key;
  if (!openEntry(attempt.familyKey, attempt.devicePath, &key, &write)) return;
  withdrawState(key.get(), &write);
  write.note(setText(key.get(), kOutcomeImage, image));
  write.noteRemoval(RegDeleteValueW(key.get(), kOutcomeResult));
  setState(key.get(), kStateStarting, &write);
}

const wchar_t* outcomeStateOf(int32_t result) {
  switch (result) {
    case kUpgradeSucceeded:
      return kStateUpgraded;
    case kUpgradeStartUnconfirmed:
      return kStateStarted;
    case kUpgradeDeviceWentAway:
      return kStateDeviceWentAway;
    default:
      return kStateFailed;
  }
}

void recordUpgradeEnd(const OutcomeTry& attempt, int32_t result,
                      bool crossed) {
  // The device's entry before the family's state: a family record that says
  // finished always has its device's entry. Without a digest nothing could
  // tell this image from the next: no entry.
  if (crossed && attempt.image.hex[0] != 0) finishEntry(attempt, result);
  RecordWrite write;
  RegistryKey key;
  LSTATUS opened = openRecord(attempt.familyKey, &key);
  write.note(opened);
  if (opened != ERROR_SUCCESS) return;
  withdrawState(key.get(), &write);
  setResult(key.get(), result, &write);
  setState(key.get(), outcomeStateOf(result), &write);
}

DeviceTook deviceTook(const wchar_t* familyKey, const wchar_t* devicePath,
                      const ImageDigest& image) {
  DeviceTook took = {};
  wchar_t wanted[sizeof image.hex];
  DeviceIdentity identity = identityOf(devicePath);
  RegistryKey key;
  if (!digestText(image, wanted) || identity.text[0] == 0 ||
      !openToLook(familyKey, identity.text, &key)) {
    return took;
  }
  wchar_t held[sizeof image.hex];
  readText(key.get(), kOutcomeImage, held);
  readText(key.get(), kOutcomeState, took.state);
  // An entry without its state was being written before the start request
  // went out.
  took.took = took.state[0] != 0 && std::wcscmp(held, wanted) == 0;
  took.hasResult = readNumber(key.get(), kOutcomeResult, &took.result);
  return took;
}

void recordAlreadyTaken(const wchar_t* familyKey, const wchar_t* devicePath,
                        const ImageDigest& image, const DeviceTook& took) {
  RecordWrite write;
  RegistryKey key;
  LSTATUS opened = openRecord(familyKey, &key);
  write.note(opened);
  wchar_t state[kStateUnits];
  if (opened != ERROR_SUCCESS) return;
  readText(key.get(), kOutcomeState, state);
  if (isFinished(state)) return;
  bool starting = std::wcscmp(took.state, kStateStarting) == 0;
  withdrawState(key.get(), &write);
  write.note(setText(key.get(), kOutcomeDevice, devicePath));
  wchar_t text[sizeof image.hex];
  if (digestText(image, text)) {
    write.note(setText(key.get(), kOutcomeImage, text));
  }
  if (starting || !took.hasResult) {
    setResult(key.get(), kUpgradeStartUnconfirmed, &write);
  } else {
    write.note(setNumber(key.get(), kOutcomeResult, took.result));
  }
  setState(key.get(), starting ? kStateStarted : took.state, &write);
}

void recordKilledUpgrade(const wchar_t* familyKey) {
  RecordWrite write;
  RegistryKey key;
  wchar_t path[kRecordPathUnits];
  // A family without a record has nothing to resolve: none is made.
  if (!recordPath(familyKey, nullptr, path) ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE,
                    key.receive()) != ERROR_SUCCESS ||
      !stateIs(key.get(), kStateUpgrading)) {
    return;
  }
  OutcomeTry attempt{};
  wchar_t device[MAX_PATH];
  wchar_t image[sizeof attempt.image.hex];
  readText(key.get(), kOutcomeDevice, device);
  readText(key.get(), kOutcomeImage, image);
  for (size_t i = 0; i < sizeof attempt.image.hex; ++i) {
    attempt.image.hex[i] = static_cast<char>(image[i] & 0x7F);
  }
  attempt.familyKey = familyKey;
  attempt.devicePath = device;
  DeviceTook took = deviceTook(familyKey, device, attempt.image);
  withdrawState(key.get(), &write);
  if (!took.took) {
    write.noteRemoval(RegDeleteValueW(key.get(), kOutcomeResult));
    setState(key.get(), kStateDeviceWentAway, &write);
    return;
  }
  // Its entry says "starting": the start request went out and nothing came
  // back. An entry the worker finished holds its result already.
  int32_t result = kUpgradeStartUnconfirmed;
  if (std::wcscmp(took.state, kStateStarting) == 0) {
    finishEntry(attempt, result);
  } else if (took.hasResult) {
    result = static_cast<int32_t>(took.result);
  }
  setResult(key.get(), result, &write);
  setState(key.get(), outcomeStateOf(result), &write);
}

bool familyFinished(const wchar_t* familyKey) {
  RegistryKey key;
  if (!openToLook(familyKey, nullptr, &key)) return false;
  wchar_t state[kStateUnits];
  readText(key.get(), kOutcomeState, state);
  return isFinished(state);
}
