#include "service/device_identity.h"

#include <cwchar>

namespace {

wchar_t lowerCase(wchar_t unit) {
  return unit >= L'A' && unit <= L'Z' ? static_cast<wchar_t>(unit + 32)
                                      : unit;
}

}  // namespace

DeviceIdentity identityOf(const wchar_t* devicePath) {
  DeviceIdentity identity = {};
  // The bus ends at the first '#', the class GUID starts at the last "#{".
  const wchar_t* begin = std::wcschr(devicePath, L'#');
  if (begin == nullptr) return identity;
  ++begin;
  const wchar_t* end = nullptr;
  for (const wchar_t* at = begin; (at = std::wcsstr(at, L"#{")) != nullptr;
       ++at) {
    end = at;
  }
  if (end == nullptr || end <= begin ||
      static_cast<size_t>(end - begin) >= kIdentityUnits) {
    return identity;
  }
  for (const wchar_t* at = begin; at < end; ++at) {
    // A backslash would make a path of registry keys.
    if (*at == L'\\' || *at < L' ') return DeviceIdentity{};
    identity.text[at - begin] = lowerCase(*at);
  }
  return identity;
}

void ServedDevices::add(const DeviceIdentity& identity) {
  std::lock_guard<std::mutex> hold(lock_);
  if (identity.text[0] == 0 || count_ == kCapacity) return;
  served_[count_++] = identity;
}

bool ServedDevices::contains(const DeviceIdentity& identity) const {
  std::lock_guard<std::mutex> hold(lock_);
  for (size_t i = 0; i < count_; ++i) {
    if (std::wcscmp(served_[i].text, identity.text) == 0) return true;
  }
  return false;
}
