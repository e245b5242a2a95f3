#include "service/family_settings.h"

#include <cstddef>
#include <cstdint>
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
  return kArrivalWorkerStarted;
}

void reportSettings(const ServiceContext* context) {
  const char* strings[8] = {"update file : ", context->updateFile,
                            "bForce : ",      context->bForce ? "1" : "0",
                            "bUpdate : ",     context->bUpdate ? "1" : "0",
                            "version : ",     context->version};
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, strings, 8);
}
