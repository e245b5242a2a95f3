// An open registry key, closed on every path.
#ifndef VELUNOR_SERVICE_REGISTRY_KEY_H_
#define VELUNOR_SERVICE_REGISTRY_KEY_H_

#include <windows.h>

#include "common/unique_handle.h"

struct RegistryKeyTraits {
  using Handle = HKEY;
  static constexpr Handle kNone = nullptr;
  static void close(Handle key) { RegCloseKey(key); }
};
using RegistryKey = UniqueHandle<RegistryKeyTraits>;

#endif  // VELUNOR_SERVICE_REGISTRY_KEY_H_
