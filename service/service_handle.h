// A handle of the service control manager, closed on every path.
#ifndef VELUNOR_SERVICE_SERVICE_HANDLE_H_
#define VELUNOR_SERVICE_SERVICE_HANDLE_H_

#include <windows.h>

#include "common/unique_handle.h"

struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static constexpr Handle kNone = nullptr;
  static void close(Handle handle) { CloseServiceHandle(handle); }
};
using ServiceHandle = UniqueHandle<ServiceHandleTraits>;

#endif  // VELUNOR_SERVICE_SERVICE_HANDLE_H_
