#include "service/family_settings.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "common/event_report.h"
#include "service/registry_key.h"

namespace {

// Digits a flag stored as text may have, with its terminator.
constexpr size_t kFlagTextUnits = 32;

// A text value; it stays terminated even when stored without its NUL.
bool queryText(HKEY key, const char* name, char* text) {
  DWORD size = kSettingTextBytes;
  if (RegQueryValueExA(key, name, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS) {
    return false;
  }
  if (size < kSettingTextBytes) text[size] = '\0';
  return true;
}

// The low-order byte of the number a flag stored as text spells in decimal
// digits; false for an empty text or one that is not such a number.
bool flagFromText(const wchar_t* text, size_t units, uint8_t* flag) {
  size_t length = wcsnlen(text, units);
  if (length == 0) return false;
  unsigned value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    // Only the low-order byte counts, so the number may be of any length.
    value = (value * 10 + static_cast<unsigned>(text[i] - L'0')) & 0xFF;
  }
  *flag = static_cast<uint8_t>(value);
  return true;
}

// Deployment scripts often write flags as text: read back as four raw
// bytes, "0" would arrive as 0x30, a set flag.
bool queryTextFlag(HKEY key, const wchar_t* name, uint8_t* flag) {
  wchar_t text[kFlagTextUnits] = {};
  DWORD size = sizeof text;
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  return flagFromText(text, size / sizeof(wchar_t), flag);
}

// A DWORD flag; only its low-order byte counts. A flag stored as text is
// its decimal number.
bool queryFlag(HKEY key, const wchar_t* name, uint8_t* flag) {
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof value;
  LSTATUS result = RegQueryValueExW(key, name, nullptr, &type,
                                    reinterpret_cast<BYTE*>(&value), &size);
  if (type == REG_SZ &&
      (result == ERROR_SUCCESS || result == ERROR_MORE_DATA)) {
    return queryTextFlag(key, name, flag);
  }
  if (result != ERROR_SUCCESS) return false;
  *flag = static_cast<uint8_t>(value & 0xFF);
  return true;
}

// The `sha256` setting, as 64 hexadecimal digits in lower case; empty when
// absent. False when present and anything else.
bool querySha256(HKEY key, char (&sha256)[kSha256TextBytes]) {
  sha256[0] = 0;
  char text[kSettingTextBytes + 1] = {};
  DWORD type = 0;
  DWORD size = kSettingTextBytes;
  LSTATUS result = RegQueryValueExA(key, "sha256", nullptr, &type,
                                    reinterpret_cast<BYTE*>(text), &size);
  if (result == ERROR_FILE_NOT_FOUND) return true;
  if (result != ERROR_SUCCESS || type != REG_SZ ||
      strnlen(text, sizeof text) != kSha256TextBytes - 1) {
    return false;
  }
  for (size_t i = 0; i + 1 < kSha256TextBytes; ++i) {
    char& digit = text[i];
    if (digit >= 'A' && digit <= 'F') digit = static_cast<char>(digit + 32);
    if (!((digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f'))) {
      return false;
    }
  }
  std::memcpy(sha256, text, kSha256TextBytes);
  return true;
}

}  // namespace

DWORD readSettings(ServiceContext* context, const DeviceFamily& family) {
  RegistryKey key;
  if (RegOpenKeyW(HKEY_LOCAL_MACHINE, family.registryKey, key.receive()) !=
      ERROR_SUCCESS) {
    reportEvent(EVENTLOG_ERROR_TYPE, family.keyFailureText);
    return kArrivalKeyNotOpened;
  }
  if (!queryText(key.get(), "updatefile", context->updateFile)) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"Query updatefile fail");
    return kArrivalUpdateFileNotRead;
  }
  if (!queryFlag(key.get(), L"bForce", &context->bForce)) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"Query bForce fail");
    return kArrivalForceNotRead;
  }
  if (!queryFlag(key.get(), L"bUpdate", &context->bUpdate)) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"Query bUpdate fail");
    return kArrivalUpdateNotRead;
  }
  if (!queryText(key.get(), "version", context->version)) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"Query version fail");
    return kArrivalVersionNotRead;
  }
  if (!querySha256(key.get(), context->imageSha256)) {
    reportEvent(EVENTLOG_ERROR_TYPE,
                L"Query sha256 fail: not a SHA-256 digest in hexadecimal");
    return kArrivalSha256NotRead;
  }
  return kArrivalWorkerStarted;
}

bool readFamilyImage(const DeviceFamily& family, FamilyImage* image) {
  RegistryKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, family.registryKey, 0, KEY_QUERY_VALUE,
                    key.receive()) != ERROR_SUCCESS) {
    return false;
  }
  image->updateFile[kSettingTextBytes] = 0;
  return queryText(key.get(), "updatefile", image->updateFile) &&
         querySha256(key.get(), image->sha256);
}

void reportSettings(const ServiceContext* context) {
  const char* strings[8] = {"update file : ", context->updateFile,
                            "bForce : ",      context->bForce ? "1" : "0",
                            "bUpdate : ",     context->bUpdate ? "1" : "0",
                            "version : ",     context->version};
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, strings, 8);
}
